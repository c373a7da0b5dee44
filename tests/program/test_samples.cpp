#include "constants.h"
#include "failure.h"
#include "qtprint.h"
#include "recorders.h"
#include "recordingshell.h"
#include "samples.h"
#include "settings.h"
#include "stringlist.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace talvenor;
using namespace talvenor::testing;

namespace {

TEST(ScrambleTest, Figures) {
    CountingEventLoop events;
    struct Case {
        int code, key, scrambled;
    };
    const Case cases[] = {{250, 120, 115}, {65, 120, 185}, {135, 120, 255},
                          {136, 120, 1},   {1, 255, 1},    {255, 255, 255}};
    for (const Case& c : cases) {
        const QString key(QChar(char16_t(c.key)));
        const QString s = ScrambleText(QString(QChar(char16_t(c.code))), key, events);
        ASSERT_EQ(s.size(), 1);
        EXPECT_EQ(s[0].unicode(), c.scrambled) << c.code << "+" << c.key;
        EXPECT_EQ(UnscrambleText(s, key, events)[0].unicode(), c.code);
    }
}

TEST(ScrambleTest, KeyRepeatsAndEveryCharacterYields) {
    CountingEventLoop events;
    const QString s = ScrambleText("AAAAAAAAAA", SnapshotKey, events);
    EXPECT_EQ(events.yields, 10);
    ASSERT_EQ(s.size(), 10);
    EXPECT_EQ(s[0], s[8]);
    EXPECT_EQ(s[1], s[9]);
    EXPECT_EQ(SnapshotKey.size(), 8);
    for (QChar c : SnapshotKey)
        EXPECT_TRUE(c >= 'a' && c <= 'z');
}

TEST(ScrambleTest, EveryCodeRoundTripsAndLongTextsHaveNoLimit) {
    CountingEventLoop events;
    QString all;
    for (int c = 1; c <= 255; ++c)
        all += QChar(char16_t(c));
    QString longText;
    while (longText.size() < 70000)
        longText += all;
    const QString s = ScrambleText(longText, SnapshotKey, events);
    EXPECT_EQ(s.size(), longText.size());
    EXPECT_EQ(UnscrambleText(s, SnapshotKey, events), longText);
}

TEST(ScrambleTest, CharactersBeyondTheByteRangeAreRefused) {
    CountingEventLoop events;
    EXPECT_THROW(ScrambleText("Ω", SnapshotKey, events), Failure);
}

TEST(ScrambleTest, NamesOfEveryScriptSurviveTheStore) {
    CountingEventLoop events;
    QTemporaryDir config;
    FileSettings settings(config.path());
    const QStringList names = {"/opt/Samples/archive.pst", "/opt/Samples/Почта 2020.pst",
                               "/opt/Samples/郵便.pst",    "/opt/Samples/ελληνικά|x.pst",
                               "/opt/Samples/emoji 📬.pst", "/opt/Samples/café\tline.pst"};
    for (const QString& name : names) {
        settings.writeSetting("Snapshot", scrambleForStore(name, SnapshotKey, events));
        FileSettings reread(config.path());
        EXPECT_EQ(unscrambleFromStore(reread.readSetting("Snapshot", ""), SnapshotKey, events),
                  name);
    }
    EXPECT_EQ(scrambleForStore("/a/b.pst", SnapshotKey, events).size(), 8);
}

struct SamplesFixture : ::testing::Test {
    QTemporaryDir program, config;
    std::unique_ptr<FileSettings> settings;
    CountingEventLoop events;
    RecordingMessageBox messages;
    RecordingShell shell;
    StringSourceList list;

    void SetUp() override {
        settings = std::make_unique<FileSettings>(config.path());
        QDir().mkpath(program.path() + "/Samples");
    }
    QString sample(const QString& name) { return program.path() + "/Samples/" + name; }
    void addSample(const QString& name) {
        QFile f(sample(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    void press() { PushButton7_Click(list, program.path(), *settings, messages, events, shell); }
    QString snapshot() {
        return unscrambleFromStore(settings->readSetting("Snapshot", ""), SnapshotKey, events);
    }
};

TEST_F(SamplesFixture, SnapshotListsTheSamplesInOrder) {
    addSample("s2.pst");
    addSample("s1.pst");
    addSample(".hidden.pst");
    QDir().mkpath(sample("sub"));
    SnapshotSamples(program.path(), *settings, events);
    const QString expected =
        sample(".hidden.pst") + "|" + sample("s1.pst") + "|" + sample("s2.pst");
    EXPECT_EQ(snapshot(), expected);
    EXPECT_EQ(settings->readSetting("Snapshot", "").size(), expected.size());
    EXPECT_NE(settings->readSetting("Snapshot", ""), expected);
}

TEST_F(SamplesFixture, TheCommandAppendsOnceSkipsDeletedAndLateFilesAndAlwaysAsks) {
    addSample("s1.pst");
    addSample("s2.pst");
    SnapshotSamples(program.path(), *settings, events);
    addSample("late.pst"); // copied in after the snapshot

    press();
    EXPECT_EQ(list.items, (QStringList{sample("s1.pst"), sample("s2.pst")}));
    press();
    EXPECT_EQ(list.items, (QStringList{sample("s1.pst"), sample("s2.pst")}));

    list.items.clear();
    QFile::remove(sample("s1.pst"));
    press();
    EXPECT_EQ(list.items, QStringList{sample("s2.pst")});

    ASSERT_EQ(messages.shown.size(), 3);
    for (const Message& m : messages.shown) {
        EXPECT_EQ(m.text, OpenSamplesQuestion);
        EXPECT_EQ(m.title, "Talvenor");
        EXPECT_EQ(m.buttons, MessageButtons::YesNo);
        EXPECT_EQ(m.icon, MessageIcon::None);
    }
    EXPECT_TRUE(shell.folders.isEmpty()); // every answer was No
}

TEST_F(SamplesFixture, EmptyOrMissingSamplesAddNothingAndStillAsk) {
    for (bool removeFolder : {false, true}) {
        if (removeFolder)
            QDir(program.path() + "/Samples").removeRecursively();
        SnapshotSamples(program.path(), *settings, events);
        EXPECT_EQ(settings->readSetting("Snapshot", "missing"), "");
        messages.shown.clear();
        press();
        EXPECT_TRUE(list.items.isEmpty());
        EXPECT_EQ(messages.texts(), QStringList{OpenSamplesQuestion});
    }
}

TEST_F(SamplesFixture, NoSnapshotAddsNothing) {
    addSample("s1.pst");
    press();
    EXPECT_TRUE(list.items.isEmpty());
    EXPECT_EQ(messages.shown.size(), 1);
}

TEST_F(SamplesFixture, YesOpensTheSamplesFolder) {
    messages.answers = {MessageAnswer::Yes};
    press();
    EXPECT_EQ(shell.folders, QStringList{program.path() + "/Samples/"});
    EXPECT_TRUE(shell.urls.isEmpty());
}

TEST_F(SamplesFixture, WithoutAFileManagerOneMessageNamesTheFolder) {
    shell.opens = false;
    messages.answers = {MessageAnswer::Yes};
    press();
    const QString folder = program.path() + "/Samples/";
    EXPECT_EQ(shell.folders, QStringList{folder});
    ASSERT_EQ(messages.shown.size(), 2);
    EXPECT_EQ(messages.shown[1].text, cannotOpenSamplesText(folder));
    EXPECT_TRUE(messages.shown[1].text.endsWith(folder));
    EXPECT_EQ(messages.shown[1].buttons, MessageButtons::Ok);
    EXPECT_EQ(messages.shown[1].title, applicationTitle());
}

TEST_F(SamplesFixture, NonLatinSampleNamesAreLoaded) {
    addSample("Почта.pst");
    addSample("郵便.pst");
    SnapshotSamples(program.path(), *settings, events);
    press();
    EXPECT_EQ(list.items, (QStringList{sample("Почта.pst"), sample("郵便.pst")}));
}

TEST_F(SamplesFixture, ADamagedSnapshotIsReportedAtStep100AndKeepsTheList) {
    list.items = {"/m/mine.pst"};
    settings->writeSetting("Snapshot", "Ω damaged");
    press();
    ASSERT_EQ(messages.shown.size(), 1);
    EXPECT_TRUE(messages.shown[0].text.contains(
        "in Hollisk2021/08/31.Form1.PushButton7_Click at line 100"));
    EXPECT_EQ(list.items, QStringList{"/m/mine.pst"});
}

} // namespace
