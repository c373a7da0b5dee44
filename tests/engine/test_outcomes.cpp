// The run's outcomes as the window renders them: the closing box and its counts, one report per
// file for messages saved from damaged data with the list beside the results, causes that
// decide the wording, and a bar that moves inside a file.
#include "constants.h"
#include "conversionrun.h"
#include "errorreport.h"
#include "fakeautomation.h"
#include "outcometext.h"
#include "qtprint.h"
#include "recorders.h"
#include "runfakes.h"
#include "stringlist.h"
#include "windowoutcomes.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace talvenor;
using namespace talvenor::testing;

namespace {

FileCounts counts(std::int64_t written, std::int64_t saved, std::int64_t reported,
                  std::int64_t contacts, std::int64_t notConverted = 0) {
    FileCounts c;
    c.written = written;
    c.savedFromDamage = saved;
    c.reported = reported;
    c.skipped.add(ItemKind::Contact, contacts);
    c.notConverted = notConverted;
    return c;
}

TEST(DoneBox, SaysDoneAloneOnlyWhenEverythingWasSimplyWritten) {
    struct Case {
        const char* name;
        FileCounts totals;
        QString text;
    };
    const QString counted = "Done.\r\n\r\nMessages written: %1\r\nSaved from damaged data: "
                            "%2\r\nReported: %3\r\nSkipped (not mail): %4";
    const Case cases[] = {
        {"nothing at all", counts(0, 0, 0, 0), "Done."},
        {"all written", counts(20000, 0, 0, 0), "Done."},
        {"saved from damage", counts(1999, 164, 0, 0), counted.arg("1,999", "164", "0", "0")},
        {"reported", counts(185, 0, 19815, 0), counted.arg("185", "0", "19,815", "0")},
        {"skipped", counts(3, 0, 0, 2), counted.arg("3", "0", "0", "2")},
        {"lost with the file", counts(3, 0, 1, 0, 12277), counted.arg("3", "0", "12,278", "0")},
        {"found in no folder",
         [] {
             FileCounts c = counts(98, 0, 0, 0);
             c.recovered = 98;
             return c;
         }(),
         counted.arg("98", "0", "0", "0") + "\r\nFound in no folder (\"Recovered items\"): 98"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(doneText(c.totals), c.text);
        EXPECT_TRUE(doneText(c.totals).startsWith("Done."));
    }
}

TEST(ReportLines, NameTheFileTheFolderAndTheItem) {
    struct Case {
        const char* name;
        QString line;
        QString expected;
    };
    ItemReport unread;
    unread.cause = Cause::Damaged;
    unread.reason = "The item cannot be read.\r\nIts block is damaged.";
    unread.folder = "Inbox/Receipts";
    unread.subject = "Hello";
    ItemReport contact = unread;
    contact.kind = ItemKind::Contact;
    contact.subject.clear();
    contact.folder.clear();
    ItemReport stillWritten = unread;
    stillWritten.written = true;
    ItemReport hostile = unread;
    hostile.folder = "Box \x1b[31mred";
    hostile.subject = "A \x1b]0;owned\x07\r\nB";
    const Case cases[] = {
        {"saved from damage",
         savedFromDamageLine("/in/a.pst", {"/out/Hello.msg", "Inbox", "Hello", "its body"}),
         "/in/a.pst: folder \"Inbox\", item \"Hello\": saved from damaged data as \"Hello.msg\": "
         "its body"},
        {"not written", itemReportLine("/in/a.pst", unread),
         "/in/a.pst: folder \"Inbox/Receipts\", item \"Hello\": not written: The item cannot be "
         "read. | Its block is damaged."},
        {"a contact without subject or folder", itemReportLine("/in/a.pst", contact),
         "/in/a.pst: a contact without a subject: not written: The item cannot be read. | "
         "Its block is damaged."},
        {"written all the same", itemReportLine("/in/a.pst", stillWritten),
         "/in/a.pst: folder \"Inbox/Receipts\", item \"Hello\": written, but: The item cannot be "
         "read. | Its block is damaged."},
        {"control characters of the store as escapes", itemReportLine("/in/a.pst", hostile),
         "/in/a.pst: folder \"Box \\x1b[31mred\", item \"A \\x1b]0;owned\\x07\\x0d\\x0aB\": not "
         "written: The item cannot be read. | Its block is damaged."},
        {"the whole store",
         storeReportLine("/in/a.pst", {Cause::CutShort, "The file ends early.", {}, 12}),
         "/in/a.pst: The file ends early."},
        {"the file", fileFailureLine("/in/a.pst", {Cause::InUse, "It is locked.", {}}),
         "/in/a.pst: It is locked."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.line, c.expected);
        EXPECT_FALSE(c.line.contains('\r') || c.line.contains('\n'));
    }
    EXPECT_EQ(conversionReportName("/in/box.2020.pst"), "box.2020 - conversion report.txt");
}

struct WindowRun : ::testing::Test {
    StringSourceList list;
    FakeOptions options;
    RecordingProgress progress;
    RecordingPointer pointer;
    CountingEventLoop events;
    RecordingMessageBox messages;
    FakeFolderAccess access;
    FakeOutlook outlook;
    ConversionSession session{outlook, messages, events, pointer};
    SessionConverter converter{session};
    ConversionRun run{list, options, progress, pointer, events, messages, converter, access};
    QTemporaryDir out;

    void SetUp() override {
        ASSERT_TRUE(out.isValid());
        options.t1 = out.path();
    }
    QStringList reportLines(const QString& pstName) const {
        QFile f(out.filePath(pstName + " - conversion report.txt"));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }
};

TEST_F(WindowRun, MessagesSavedFromDamagedDataAreOneReportPerFileWithTheirListBeside) {
    struct Store {
        QString name;
        int damaged, whole;
        bool unreadable; // one more item whose save fails
    };
    const Store stores[] = {{"a", 3, 2, false}, {"b", 0, 2, false}, {"c", 2, 0, true}};
    for (const auto& s : stores) {
        FakeFolder root{"Root", {}, {}};
        FakeFolder& inbox = root.addFolder("Inbox");
        for (int k = 0; k < s.damaged; ++k)
            inbox.addDamagedItem(QStringLiteral("%1 damaged %2").arg(s.name).arg(k),
                                 "its attachment could not be read");
        for (int k = 0; k < s.whole; ++k)
            inbox.addItem(QStringLiteral("%1 whole %2").arg(s.name).arg(k));
        if (s.unreadable) {
            inbox.addItem("broken");
            outlook.fail("Item.SaveAs " + out.path() + "/broken.msg", Cause::Damaged, -2147286788,
                         "The item is damaged.");
        }
        outlook.stores["/m/" + s.name + ".pst"] = root;
        list.items << "/m/" + s.name + ".pst";
    }
    run.convertAll();

    // a: one report for its three; b: nothing; c: the failed item's own report, then one for
    // its two; then the closing box.
    ASSERT_EQ(messages.shown.size(), 4) << messages.texts().join('|').toStdString();
    EXPECT_EQ(messages.shown[0].text,
              savedFromDamageText("/m/a.pst", 3, out.path() + "/a - conversion report.txt"));
    EXPECT_TRUE(
        messages.shown[0].text.startsWith("3 messages of \"a.pst\" were saved from damaged data"));
    EXPECT_EQ(messages.shown[1].text,
              errorReportText("The item is damaged.", windowLocation("GetMailItems"), 144));
    EXPECT_EQ(messages.shown[2].text,
              savedFromDamageText("/m/c.pst", 2, out.path() + "/c - conversion report.txt"));
    EXPECT_EQ(messages.shown[3].text, doneText(counts(4, 5, 1, 0)));

    EXPECT_EQ(reportLines("a").size(), 3);
    EXPECT_TRUE(reportLines("b").isEmpty());
    EXPECT_FALSE(QFile::exists(out.filePath("b - conversion report.txt")));
    const QStringList c = reportLines("c");
    ASSERT_EQ(c.size(), 3);
    EXPECT_EQ(c[2], "/m/c.pst: folder \"Inbox\", item \"broken\": not written: The item is "
                    "damaged.");
    for (const QString& line : reportLines("a") + c)
        EXPECT_TRUE(line.startsWith("/m/")) << line.toStdString();
}

TEST_F(WindowRun, TheCauseDecidesHowAFileThatCouldNotBeConvertedIsTold) {
    const QString helper = "the reading helper could not be started: "
                           "/usr/lib/talvenor/talvenor-reader: No such file or directory";
    struct Case {
        const char* name;
        Cause cause;
        std::int32_t number;
        QString description;
        bool inUse;
    };
    const Case cases[] = {
        {"held by another program", Cause::InUse, failures::InUse, "locked", true},
        {"no reading helper", Cause::ReaderNotStarted, failures::InUse, helper, false},
        {"the helper failed", Cause::ReaderFailed, -2147221000, "the helper ended", false},
        {"not a store", Cause::NotAStore, -2147024894, "not a PST file", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        outlook = FakeOutlook();
        messages.shown.clear();
        list.items = {"/m/a.pst"};
        outlook.stores["/m/a.pst"] = FakeFolder{"Root", {}, {}};
        outlook.fail("CreateObject Outlook.Application", c.cause, c.number, c.description);
        run.convertAll();
        ASSERT_EQ(messages.shown.size(), 2) << messages.texts().join('|').toStdString();
        if (c.inUse) {
            EXPECT_EQ(messages.shown[0].text, inUseMessageText());
        } else {
            EXPECT_EQ(messages.shown[0].text,
                      errorReportText(c.description, windowLocation("PST2MSG"), 102));
            EXPECT_EQ(messages.shown[0].title, "Application Error");
            EXPECT_FALSE(messages.shown[0].text.contains("Error #0731"));
        }
        EXPECT_EQ(messages.shown[1].text, "Done.");
        // The list beside the results names the file.
        EXPECT_EQ(reportLines("a"), QStringList{"/m/a.pst: " + c.description});
    }
}

TEST(RunProgress, TheBarMovesInsideAFileAndRestsAtTheEnd) {
    struct ManualClock : IClock {
        std::chrono::milliseconds now() const override { return t; }
        std::chrono::milliseconds t{0};
    } clock;
    StringSourceList list;
    list.items = {"/m/one.pst", "/m/two.pst"};
    FakeOptions options;
    QTemporaryDir out;
    options.t1 = out.path();
    RecordingProgress progress;
    RecordingPointer pointer;
    CountingEventLoop events;
    RecordingMessageBox messages;
    FakeFolderAccess access;
    RecordingConverter converter{progress, pointer};
    // Each file has 4 items, one every 300 ms; the bar is shown a few times a second.
    converter.onWalk = [&](IRunObserver& walk) {
        for (int k = 0; k <= 4; ++k) {
            walk.itemsVisited(k, 4);
            clock.t += std::chrono::milliseconds(300);
        }
    };
    ConversionRun run{list,     options,   progress, pointer, events,
                      messages, converter, access,   &clock};
    run.convertAll();
    EXPECT_EQ(progress.values, (QList<int>{0, 0, 12, 25, 38, 50, 50, 50, 62, 75, 88, 100, 0}));
    EXPECT_EQ(progress.texts.last(), "Progress Bar");
    EXPECT_TRUE(progress.texts.contains("Processing: two.pst - 3 of 4"));
    EXPECT_EQ(runProgressValue(1, 1, 7741, 20000), 39);
    EXPECT_EQ(runProgressValue(2, 3, 0, 0), 33);
    EXPECT_EQ(runProgressValue(1, 0, 1, 1), 0);
}

} // namespace
