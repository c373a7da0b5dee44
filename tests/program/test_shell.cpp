#include "constants.h"
#include "shell.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace talvenor;

namespace {

TEST(ShellTest, DesktopFolderFallsBackToHomeAndEndsInOneSlash) {
    QTemporaryDir home;
    const QString desk = home.path() + "/Desktop";
    struct Case {
        QString desktop, home, expected;
    };
    const QList<Case> missing = {
        {desk, home.path(), home.path() + "/"},
        {"", home.path() + "/", home.path() + "/"},
    };
    for (const Case& c : missing)
        EXPECT_EQ(desktopFolderFrom(c.desktop, c.home), c.expected);
    ASSERT_TRUE(QDir().mkpath(desk));
    EXPECT_EQ(desktopFolderFrom(desk, home.path()), desk + "/");
    EXPECT_EQ(desktopFolderFrom(desk + "/", home.path()), desk + "/");
    EXPECT_EQ(desktopFolderFrom("/", home.path()), "/");
}

TEST(ShellTest, DesktopFolderOfTheUser) {
    QTemporaryDir home;
    const QByteArray oldHome = qgetenv("HOME");
    const QByteArray oldXdg = qgetenv("XDG_CONFIG_HOME");
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toUtf8());
    EXPECT_EQ(GetDesktopFolder(), home.path() + "/");
    QDir().mkpath(home.path() + "/Desktop");
    EXPECT_EQ(GetDesktopFolder(), home.path() + "/Desktop/");
    qputenv("HOME", oldHome);
    qputenv("XDG_CONFIG_HOME", oldXdg);
}

TEST(ShellTest, PathExists) {
    QTemporaryDir dir;
    QFile f(dir.filePath("s1.pst"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    QFile::link(dir.filePath("gone"), dir.filePath("dangling"));
    struct Case {
        QString path;
        bool exists;
    };
    const QList<Case> cases = {
        {f.fileName(), true}, {dir.path(), true},         {dir.path() + "/", true},
        {"", false},          {dir.filePath("x"), false}, {dir.filePath("dangling"), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(PathExists(c.path), c.exists) << c.path.toStdString();
}

TEST(ShellTest, SkinOnlyWhenItsFileIsPresent) {
    QTemporaryDir program;
    EXPECT_FALSE(readSkin(program.path()).has_value());
    QDir().mkpath(program.path() + "/x/o.cjs"); // a folder of that name is no skin
    EXPECT_FALSE(readSkin(program.path()).has_value());
    QDir().rmdir(program.path() + "/x/o.cjs");
    QFile skin(program.path() + "/x/o.cjs");
    ASSERT_TRUE(skin.open(QIODevice::WriteOnly));
    skin.write("QWidget { background: #d4d0c8; }");
    skin.close();
    EXPECT_EQ(skinFilePath(program.path()), program.path() + "/x/o.cjs");
    EXPECT_EQ(readSkin(program.path()).value_or(""), "QWidget { background: #d4d0c8; }");
}

TEST(ShellTest, ApplicationTitleIsTheProductNameWithoutItsLastWord) {
    const QString before = QCoreApplication::applicationName();
    EXPECT_EQ(SetApplicationTitle(), "Talvenor");
    EXPECT_EQ(QCoreApplication::applicationName(), "Talvenor");
    QCoreApplication::setApplicationName(before);
}

TEST(ShellTest, RandomDrawStaysWithinOneToAHundred) {
    SystemRandomDraw r;
    int seen[101] = {};
    for (int i = 0; i < 20000; ++i) {
        const int v = r.draw();
        ASSERT_GE(v, 1);
        ASSERT_LE(v, 100);
        ++seen[v];
    }
    EXPECT_GT(seen[1], 0);
    EXPECT_GT(seen[100], 0);
}

} // namespace
