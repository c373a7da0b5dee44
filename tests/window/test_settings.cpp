#include "failure.h"
#include "settings.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace talvenor;

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    // What the next start of the program reads.
    QString afterRestart(const QString& key, const QString& defaultText = "<absent>") {
        return FileSettings(dir.path()).readSetting(key, defaultText);
    }
    QTemporaryDir dir;
};

TEST_F(SettingsTest, EmptyStoreGivesEveryDefaultAsText) {
    FileSettings s(dir.path());
    const struct {
        const char* key;
        QString defaultText;
        QString expected;
    } cases[] = {
        {"Option1", settingText(1), "1"},
        {"Option2", settingText(0), "0"},
        {"Text1", "/home/u/Desktop/", "/home/u/Desktop/"},
        {"LastFolderDot", "", ""},
        {"LastFolder", "", ""},
        {"Snapshot", settingText(false), "False"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(s.readSetting(c.key, c.defaultText), c.expected) << c.key;
    EXPECT_TRUE(toBoolean(s.readSetting("Option1", settingText(1))));
    EXPECT_FALSE(toBoolean(s.readSetting("Option2", settingText(0))));
    // Reading created nothing.
    EXPECT_EQ(afterRestart("Option1"), "<absent>");
    EXPECT_FALSE(QFile::exists(s.fileName()) && QFile(s.fileName()).size() > 0 &&
                 afterRestart("Text1") != "<absent>");
}

TEST_F(SettingsTest, WrittenTextsComeBackExactlyAfterARestart) {
    const QString texts[] = {
        "",             // an emptied box stays empty; the default is not applied
        "/home/u/out/", // trailing separator kept
        "C:\\Mail\\",   // backslashes kept
        "  blanks around  ",
        "a;b,c=d #e [f]",
        "quote\" and 'single'",
        "Ünïcödé ✓ 日本",
        "True",
        "%General",
    };
    for (const QString& t : texts) {
        FileSettings(dir.path()).writeSetting("Text1", t);
        EXPECT_EQ(afterRestart("Text1", "/default/"), t) << t.toStdString();
    }
}

TEST_F(SettingsTest, AllKeysLiveInTheOneSectionOfTheOneApplication) {
    FileSettings s(dir.path());
    s.writeSetting("Option1", settingText(false));
    s.writeSetting("Option2", settingText(true));
    EXPECT_TRUE(s.fileName().endsWith("/Quorvane.conf"));
    QFile f(s.fileName());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray ini = f.readAll();
    EXPECT_TRUE(ini.contains("[Talvenor%20Software]")) << ini.constData();
    EXPECT_EQ(afterRestart("Option1"), "False");
    EXPECT_EQ(afterRestart("Option2"), "True");
}

TEST_F(SettingsTest, OneUsersValuesAreNotAnothers) {
    QTemporaryDir other;
    FileSettings(dir.path()).writeSetting("LastFolder", "/home/a/pst");
    EXPECT_EQ(FileSettings(other.path()).readSetting("LastFolder", ""), "");
}

TEST_F(SettingsTest, AnotherCopysWriteIsSeenAndTheLastWriteWins) {
    FileSettings first(dir.path());
    FileSettings second(dir.path());
    first.writeSetting("Text1", "/one/");
    EXPECT_EQ(second.readSetting("Text1", ""), "/one/");
    second.writeSetting("Text1", "/two/");
    EXPECT_EQ(first.readSetting("Text1", ""), "/two/");
}

TEST_F(SettingsTest, StoreThatCannotBeWrittenFailsTheWrite) {
    // A regular file where the folder should be: no privilege lets that be written.
    QFile blocker(dir.filePath("blocker"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    FileSettings s(dir.filePath("blocker/config"));
    try {
        s.writeSetting("Text1", "/x/");
        FAIL() << "the write should fail";
    } catch (const Failure& f) {
        EXPECT_EQ(f.number(), 70);
        EXPECT_TRUE(f.description().contains(s.fileName()));
    }
}

TEST(BooleanSetting, TrueFalseInAnyCaseAndAnyNumber) {
    const std::pair<const char*, bool> cases[] = {
        {"True", true}, {"true", true}, {"TRUE", true}, {"False", false}, {"fALSE", false},
        {"-1", true},   {"1", true},    {"2.5", true},  {"0", false},     {"0.0", false},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(toBoolean(text), expected) << text;
}

TEST(BooleanSetting, AnyOtherTextIsATypeMismatch) {
    for (const char* text : {"", "yes", "Truee", "1 2", "/home/u"}) {
        try {
            toBoolean(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const Failure& f) {
            EXPECT_EQ(f.number(), 13) << text;
        }
    }
}

} // namespace
