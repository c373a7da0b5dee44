#include "constants.h"
#include "conversionrun.h"
#include "errorreport.h"
#include "fakeautomation.h"
#include "qtprint.h"
#include "recorders.h"
#include "runfakes.h"
#include "stringlist.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace talvenor;
using namespace talvenor::testing;

namespace {

struct RunFixture : ::testing::Test {
    StringSourceList list;
    FakeOptions options;
    RecordingProgress progress;
    RecordingPointer pointer;
    CountingEventLoop events;
    RecordingMessageBox messages;
    RecordingConverter converter{progress, pointer};
    FakeFolderAccess access;
    ConversionRun run{list, options, progress, pointer, events, messages, converter, access};
    QTemporaryDir out;

    void SetUp() override {
        ASSERT_TRUE(out.isValid());
        options.t1 = out.path();
    }
};

TEST_F(RunFixture, RefusalsConvertNothingAndLeaveTheBarAlone) {
    struct Case {
        const char* name;
        QStringList files;
        bool o1, o2;
        QString folder; // "<out>" is the existing temporary folder
        QString message;
    };
    const QList<Case> cases = {
        {"empty list", {}, true, false, "<out>", runtext::NoFiles},
        {"empty list wins over a missing folder",
         {},
         true,
         false,
         "/no/such/folder",
         runtext::NoFiles},
        {"missing folder", {"/m/a.pst"}, true, false, "/no/such/folder", runtext::NoFolder},
        {"empty folder text", {"/m/a.pst"}, true, false, "", runtext::NoFolder},
        {"a file where the folder should be",
         {"/m/a.pst"},
         true,
         false,
         "<file>",
         runtext::NoFolder},
        {"no rule", {"/m/a.pst"}, false, false, "<out>", runtext::NoRule},
        {"no rule, missing folder", {"/m/a.pst"}, false, false, "/no/such", runtext::NoRule},
    };
    QFile plain(out.filePath("plain.txt"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        list.items = c.files;
        options.o1 = c.o1;
        options.o2 = c.o2;
        options.t1 = c.folder == "<out>"    ? out.path()
                     : c.folder == "<file>" ? plain.fileName()
                                            : c.folder;
        messages.shown.clear();
        progress.values.clear();
        progress.texts.clear();
        pointer.history.clear();
        converter.done.clear();

        run.PushButton2_Click();

        ASSERT_EQ(messages.shown.size(), 1);
        EXPECT_EQ(messages.shown[0].text, c.message);
        EXPECT_EQ(messages.shown[0].title, QStringLiteral("Talvenor"));
        EXPECT_EQ(messages.shown[0].buttons, MessageButtons::Ok);
        EXPECT_EQ(messages.shown[0].icon, MessageIcon::None);
        EXPECT_TRUE(converter.done.isEmpty());
        EXPECT_TRUE(progress.values.isEmpty());
        EXPECT_TRUE(progress.texts.isEmpty());
        EXPECT_TRUE(pointer.history.isEmpty());
        EXPECT_FALSE(run.IsConverting());
    }
}

TEST_F(RunFixture, BesideTheSourceTheFolderTextIsNotLookedAt) {
    list.items = {"/m/a.pst"};
    options.o1 = false;
    options.o2 = true;
    options.t1 = "/no/such/folder";
    run.PushButton2_Click();
    ASSERT_EQ(converter.done.size(), 1);
    EXPECT_EQ(converter.done[0].output, "/m/a.msg");
    EXPECT_EQ(messages.texts(), QStringList{runtext::Done});
}

TEST_F(RunFixture, FourFilesShowTheirShareAndNameThenTheBarRests) {
    list.items = {"/m/one.pst", "/m/two.pst", "/m/three.pst", "/m/four.pst"};
    run.PushButton2_Click();

    ASSERT_EQ(converter.done.size(), 4);
    // As a file starts, the bar shows the files before it; its items move it on.
    const int expected[] = {0, 25, 50, 75};
    const char* names[] = {"one.pst", "two.pst", "three.pst", "four.pst"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(converter.done[i].pst, list.items[i]);
        EXPECT_EQ(converter.done[i].progressValue, expected[i]);
        EXPECT_EQ(converter.done[i].progressText, QStringLiteral("Processing: ") + names[i]);
        EXPECT_TRUE(converter.done[i].busy);
    }
    EXPECT_EQ(progress.value, 0);
    EXPECT_EQ(progress.text, "Progress Bar");
    EXPECT_EQ(pointer.current, PointerMode::Default);
    EXPECT_EQ(events.yields, 4);
    EXPECT_EQ(messages.texts(), QStringList{"Done."});
    EXPECT_FALSE(run.IsConverting());
}

TEST_F(RunFixture, ProgressOfThreeFilesIsRounded) {
    list.items = {"/m/a.pst", "/m/b.pst", "/m/c.pst"};
    run.PushButton2_Click();
    EXPECT_EQ(progress.values, (QList<int>{0, 33, 67, 0}));
}

TEST_F(RunFixture, OutputPathsOfBothRules) {
    struct Case {
        QString pst;
        bool inFolder;
        QString folderSuffix; // appended to the temporary folder
        QString expected;     // "<out>" stands for the temporary folder
    };
    const QList<Case> cases = {
        {"/mail/archive.pst", true, "", "<out>/archive.msg"},
        {"/mail/archive.pst", true, "/", "<out>/archive.msg"},
        {"/srv/share/box.2020.pst", false, "", "/srv/share/box.2020.msg"},
        {"//srv/share/box.pst", false, "", "/srv/share/box.msg"},
        {"/mail/noext", false, "", "/mail/noext.msg"},
        {"/mail/.hidden", false, "", "/mail/.hidden.msg"},
        {"/почта/архив.pst", false, "", "/почта/архив.msg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pst.toStdString());
        list.items = {c.pst};
        options.o1 = c.inFolder;
        options.o2 = !c.inFolder;
        options.t1 = out.path() + c.folderSuffix;
        converter.done.clear();
        run.PushButton2_Click();
        ASSERT_EQ(converter.done.size(), 1);
        QString expected = c.expected;
        expected.replace("<out>", out.path());
        EXPECT_EQ(converter.done[0].output, expected);
    }
}

TEST_F(RunFixture, RuleAndFolderAreReadAfreshForEveryFile) {
    QTemporaryDir second;
    list.items = {"/m/a.pst", "/m/b.pst", "/n/c.pst"};
    int k = 0;
    converter.onConvert = [&] {
        ++k;
        if (k == 1)
            options.t1 = second.path();
        if (k == 2) {
            options.o1 = false;
            options.o2 = true;
        }
    };
    run.PushButton2_Click();
    ASSERT_EQ(converter.done.size(), 3);
    EXPECT_EQ(converter.done[0].output, out.path() + "/a.msg");
    EXPECT_EQ(converter.done[1].output, second.path() + "/b.msg");
    EXPECT_EQ(converter.done[2].output, "/n/c.msg");
}

TEST_F(RunFixture, ARuleTakenAwayDuringTheRunSkipsTheFileInsteadOfGuessing) {
    list.items = {"/m/a.pst", "/m/b.pst"};
    converter.onConvert = [&] { options.o1 = options.o2 = false; };
    run.PushButton2_Click();
    ASSERT_EQ(converter.done.size(), 1);
    EXPECT_EQ(messages.texts(), (QStringList{runtext::NoRule, runtext::Done}));
}

TEST_F(RunFixture, ASecondClickDuringTheRunDoesNothing) {
    list.items = {"/m/a.pst", "/m/b.pst"};
    int innerMessages = -1;
    events.onYield = [&] {
        EXPECT_TRUE(run.IsConverting());
        const auto before = messages.shown.size();
        run.PushButton2_Click();
        innerMessages = int(messages.shown.size() - before);
    };
    run.PushButton2_Click();
    EXPECT_EQ(innerMessages, 0);
    EXPECT_EQ(converter.done.size(), 2);
    EXPECT_EQ(messages.texts(), QStringList{"Done."});
    EXPECT_FALSE(run.IsConverting());
    // Idle again: the next click runs.
    run.PushButton2_Click();
    EXPECT_EQ(converter.done.size(), 4);
}

TEST_F(RunFixture, AFolderThatCannotBeWrittenGivesOneReportAndTheRunGoesOn) {
    QTemporaryDir locked;
    list.items = {locked.path() + "/a.pst", out.path() + "/b.pst", locked.path() + "/c.pst"};
    options.o1 = false;
    options.o2 = true;
    QTemporaryDir mounted;
    list.items << mounted.path() + "/d.pst";
    access.refused = {{locked.path() + "/", Cause::PermissionDenied},
                      {mounted.path() + "/", Cause::ReadOnly}};
    run.PushButton2_Click();

    ASSERT_EQ(converter.done.size(), 1);
    EXPECT_EQ(converter.done[0].pst, out.path() + "/b.pst");
    ASSERT_EQ(messages.shown.size(), 4);
    for (int i : {0, 1, 2}) {
        const Message& m = messages.shown[i];
        EXPECT_EQ(m.title, "Application Error");
        EXPECT_EQ(m.icon, MessageIcon::Warning);
        EXPECT_TRUE(m.text.contains("in Hollisk2021/08/31.Form1.PushButton2_Click at line 132\r\r"))
            << m.text.toStdString();
    }
    EXPECT_TRUE(messages.shown[0].text.startsWith("Permission denied: the results of \"a.pst\""));
    EXPECT_TRUE(messages.shown[1].text.contains("c.pst"));
    EXPECT_TRUE(messages.shown[1].text.contains(locked.path()));
    // A read-only mount is named as such: no permission the user could change would help.
    EXPECT_TRUE(messages.shown[2].text.startsWith(
        "The results of \"d.pst\" cannot be saved because the folder \"" + mounted.path() +
        "/\" is on a read-only file system."))
        << messages.shown[2].text.toStdString();
    EXPECT_EQ(messages.shown[3].text, "Done.");
    EXPECT_EQ(progress.value, 0);
}

TEST_F(RunFixture, AFailingEntryIsReportedAndTheRunFinishes) {
    // A list whose second entry cannot be read: the report names step 114 and the run
    // converts the previous path again rather than stopping.
    struct FlakyList : StringSourceList {
        QString text(int position) const override {
            if (position == 2)
                throw Failure(35600, "Index out of bounds");
            return StringSourceList::text(position);
        }
    } flaky;
    flaky.items = {"/m/a.pst", "/m/b.pst"};
    ConversionRun other{flaky, options, progress, pointer, events, messages, converter, access};
    other.PushButton2_Click();
    ASSERT_EQ(messages.shown.size(), 2);
    EXPECT_EQ(messages.shown[0].text,
              errorReportText("Index out of bounds", windowLocation("PushButton2_Click"), 114));
    EXPECT_EQ(messages.shown[1].text, "Done.");
    EXPECT_EQ(converter.done.size(), 2);
    EXPECT_FALSE(other.IsConverting());
}

// The run with the real session over the in-memory store: files land in the output folder.
TEST_F(RunFixture, ThroughTheSessionTheMessagesLandInTheOutputFolder) {
    FakeOutlook outlook;
    FakeFolder root{"Root", {}, {}};
    root.addFolder("Inbox").addItem("Hello").addItem("Hello");
    outlook.stores["/m/a.pst"] = root;
    ConversionSession session(outlook, messages, events, pointer);
    SessionConverter sessionConverter(session);
    ConversionRun real{list,   options,  progress,         pointer,
                       events, messages, sessionConverter, access};
    list.items = {"/m/a.pst"};
    real.PushButton2_Click();
    EXPECT_EQ(outlook.saved,
              (QStringList{out.path() + "/Hello.msg", out.path() + "/Hello (2).msg"}));
    EXPECT_EQ(messages.texts(), QStringList{"Done."});
    EXPECT_EQ(pointer.current, PointerMode::Default);
}

// Saves that fail for lack of space: one report for that file, and the next file is converted.
TEST_F(RunFixture, AFullDiskGivesOneReportAndTheNextFileIsConverted) {
    FakeOutlook outlook;
    FakeFolder full{"Root", {}, {}};
    FakeFolder& inbox = full.addFolder("Inbox");
    for (int k = 1; k <= 30; ++k)
        inbox.addItem(QStringLiteral("mail %1").arg(k));
    outlook.stores["/m/full.pst"] = full;
    FakeFolder next{"Root", {}, {}};
    next.addFolder("Inbox").addItem("after");
    outlook.stores["/m/next.pst"] = next;
    // The disk fills up after the first two messages of the first file.
    for (int k = 3; k <= 30; ++k)
        outlook.fail(QStringLiteral("Item.SaveAs %1/mail %2.msg").arg(out.path()).arg(k),
                     Cause::DiskFull, failures::DiskFull, "Cannot save: the disk is full.");
    ConversionSession session(outlook, messages, events, pointer);
    SessionConverter sessionConverter(session);
    ConversionRun real{list,   options,  progress,         pointer,
                       events, messages, sessionConverter, access};
    list.items = {"/m/full.pst", "/m/next.pst"};
    real.PushButton2_Click();

    EXPECT_EQ(outlook.saved, (QStringList{out.path() + "/mail 1.msg", out.path() + "/mail 2.msg",
                                          out.path() + "/after.msg"}));
    ASSERT_EQ(messages.shown.size(), 2) << messages.texts().join("|").toStdString();
    const QString& report = messages.shown[0].text;
    EXPECT_TRUE(report.contains("the disk is full")) << report.toStdString();
    EXPECT_TRUE(report.contains("28 messages of \"full.pst\" were not saved into the folder \"" +
                                out.path() + "/\""))
        << report.toStdString();
    // The closing box counts what was not written.
    EXPECT_EQ(messages.shown[1].text, "Done.\r\n\r\nMessages written: 3\r\nSaved from damaged "
                                      "data: 0\r\nReported: 28\r\nSkipped (not mail): 0");
}

TEST(ProgressText, GroupsDigitsAndShowsAFewTimesASecond) {
    EXPECT_EQ(processingText("big.pst", 12345, 20000), "Processing: big.pst - 12,345 of 20,000");
    EXPECT_EQ(processingText("a.pst", 0, 7), "Processing: a.pst - 0 of 7");
    EXPECT_EQ(processingText("a.pst", 1234567, 1234567),
              "Processing: a.pst - 1,234,567 of 1,234,567");

    struct ManualClock : IClock {
        std::chrono::milliseconds now() const override { return t; }
        std::chrono::milliseconds t{1000};
    } clock;
    RecordingProgress bar;
    FileProgressText text(bar, "big.pst", clock);
    struct Step {
        int advanceMs;
        std::int64_t done;
        bool shown;
    };
    const Step steps[] = {{0, 0, true},  {10, 1, false},  {239, 2, false},
                          {1, 3, true},  {100, 4, false}, {150, 5, true},
                          {0, 6, false}, {0, 10, true},   {0, 10, true}};
    qsizetype expected = 0;
    for (const auto& s : steps) {
        clock.t += std::chrono::milliseconds(s.advanceMs);
        text.itemsVisited(s.done, 10);
        expected += s.shown;
        ASSERT_EQ(bar.texts.size(), expected) << s.done;
        if (s.shown) {
            EXPECT_EQ(bar.text, processingText("big.pst", s.done, 10));
        }
    }
}

} // namespace
