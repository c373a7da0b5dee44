#include "filelisting.h"
#include "tree.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace talvenor;
using namespace talvenor::files;
using talvenor::testing::Tree;

namespace {

TEST(MatchesPattern, WindowsWildcards) {
    struct Row {
        const char* name;
        const char* pattern;
        bool matches;
    } rows[] = {
        {"a.pst", "*.pst", true},         {"A.PST", "*.pst", true},
        {"archive.Pst", "*.pst", true},   {"a.pst.bak", "*.pst", false},
        {"a.pstx", "*.pst", false},       {"pst", "*.pst", false},
        {".pst", "*.pst", true},          {"[a].pst", "*.pst", true},
        {"[a].pst", "[a].pst", true},     {"b.pst", "[ab].pst", false},
        {"ab.pst", "?b.pst", true},       {"b.pst", "?b.pst", false},
        {"noext", "*.*", true},           {"a.b.c", "*.*", true},
        {"noext", "n*.*", true},          {"x.txt", "*", true},
        {"ÄRGER.PST", "ärger.pst", true},
    };
    for (const Row& r : rows)
        EXPECT_EQ(matchesPattern(QString::fromUtf8(r.name), QString::fromUtf8(r.pattern)),
                  r.matches)
            << r.name << " / " << r.pattern;
}

TEST(ListFiles, HiddenFilesAreListedDirectoriesNever) {
    Tree t;
    t.file("a.pst");
    t.file("b.txt");
    t.file(".c.pst");
    t.file("D.PST");
    t.folder("e.pst");
    EXPECT_EQ(listFiles(t.root(), "*.pst"), (QStringList{".c.pst", "D.PST", "a.pst"}));
    EXPECT_EQ(listFiles(t.root(), "*.*"), (QStringList{".c.pst", "D.PST", "a.pst", "b.txt"}));
}

TEST(ListFiles, TrailingSlashOrNotGivesTheSameNames) {
    Tree t;
    for (int i = 1; i <= 150; ++i)
        t.file(QStringLiteral("f%1.pst").arg(i, 3, 10, QLatin1Char('0')));
    const QStringList plain = listFiles(t.root(), "*.pst");
    ASSERT_EQ(plain.size(), 150);
    EXPECT_EQ(plain.first(), "f001.pst");
    EXPECT_EQ(plain.last(), "f150.pst");
    EXPECT_EQ(listFiles(t.root() + "/", "*.pst"), plain);
}

TEST(ListFiles, NothingToListGivesAnEmptyList) {
    Tree t;
    t.folder("empty");
    t.file("only.txt");
    EXPECT_TRUE(listFiles(t.path("empty"), "*.*").isEmpty());
    EXPECT_TRUE(listFiles(t.root(), "*.pst").isEmpty());
    EXPECT_TRUE(listFiles(t.path("missing"), "*.*").isEmpty());
}

TEST(ListFiles, LinksCountByWhatTheyLeadTo) {
    Tree t;
    t.file("real.pst");
    t.link("tofile.pst", t.path("real.pst"));
    t.link("dangling.pst", t.path("gone.pst"));
    t.folder("dir");
    t.link("todir.pst", t.path("dir"));
    EXPECT_EQ(listFiles(t.root(), "*.pst"), (QStringList{"real.pst", "tofile.pst"}));
}

TEST(ListFiles, NamesThatAreNotUtf8AreLeftOut) {
    Tree t;
    t.file("good.pst");
    const QByteArray bad = QFile::encodeName(t.root()) + "/bad\xff.pst";
    const int fd = ::open(bad.constData(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(listFiles(t.root(), "*.pst"), QStringList{"good.pst"});
    ::unlink(bad.constData()); // the temporary folder cannot name it either
}

TEST(FileExists, OnlyRegularFilesExist) {
    Tree t;
    t.file("a.pst");
    t.folder("dir");
    t.link("link.pst", t.path("a.pst"));
    t.link("dangling.pst", t.path("nothing"));
    EXPECT_TRUE(fileExists(t.path("a.pst")));
    EXPECT_TRUE(fileExists(t.path("link.pst")));
    EXPECT_FALSE(fileExists(t.path("a.pst") + "/"));
    EXPECT_FALSE(fileExists(t.path("dir")));
    EXPECT_FALSE(fileExists(t.path("dir") + "/"));
    EXPECT_FALSE(fileExists(t.path("dangling.pst")));
    EXPECT_FALSE(fileExists(t.path("missing.pst")));
    EXPECT_FALSE(fileExists(QString()));
}

TEST(Attributes, ValuesAsTheFolderCommandsTestThem) {
    Tree t;
    t.file("a.pst");
    t.file(".h.pst");
    t.folder("dir");
    t.folder(".hdir");
    t.link("link.pst", t.path("a.pst"));
    t.link("dirlink", t.path("dir"));
    t.link("dangling", t.path("nothing"));
    t.folder("data/Trash");
    const QByteArray oldData = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(t.path("data")));
    struct Row {
        const char* relative;
        int value;
    } rows[] = {
        {"a.pst", 32},  {".h.pst", 34},     {"dir", 16},       {"dir/", 16},
        {".hdir", 18},  {"link.pst", 1056}, {"dirlink", 1040}, {"dangling", 1024},
        {"missing", 0}, {"data/Trash", 22}, {"data", 16},
    };
    for (const Row& r : rows) {
        const QString p = t.path(r.relative);
        EXPECT_EQ(attributes(p), r.value) << r.relative;
        // The combined question agrees with asking both.
        EXPECT_EQ(existingFileAttributes(p), fileExists(p) ? attributes(p) : -1) << r.relative;
    }
    EXPECT_EQ(existingFileAttributes(t.path("a.pst") + "/"), -1);
    if (oldData.isNull())
        qunsetenv("XDG_DATA_HOME");
    else
        qputenv("XDG_DATA_HOME", oldData);
}

} // namespace
