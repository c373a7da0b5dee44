#include "errorreport.h"
#include "failure.h"
#include "folderscan.h"
#include "recorders.h"
#include "tree.h"

#include <gtest/gtest.h>

#include <QSet>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace talvenor;
using namespace talvenor::files;
using talvenor::testing::CountingEventLoop;
using talvenor::testing::RecordingMessageBox;
using talvenor::testing::Tree;

namespace {

// The real file system, except for the folders told to fail or to look different.
class ScriptedLister : public SystemDirectoryLister {
public:
    FolderListing list(const QString& path) override {
        if (listFailures.contains(path))
            throw Failure(listFailures[path], QStringLiteral("Scripted listing failure"));
        return SystemDirectoryLister::list(path);
    }
    FolderInfo folder(const QString& path) override {
        if (folderFailures.contains(path))
            throw Failure(folderFailures[path], QStringLiteral("Scripted folder failure"));
        FolderInfo info = SystemDirectoryLister::folder(path);
        if (attributeOverrides.contains(path))
            info.attributes = attributeOverrides[path];
        if (roots.contains(path))
            info.isRoot = true;
        return info;
    }
    QMap<QString, int> listFailures;
    QMap<QString, int> folderFailures;
    QMap<QString, int> attributeOverrides;
    QSet<QString> roots;
};

struct Scan {
    QStringList run(QStringList folders, bool recursive = true) {
        GetSubDirectories2016(folders, recursive, messages, events, &lister);
        return folders;
    }
    RecordingMessageBox messages;
    CountingEventLoop events;
    ScriptedLister lister;
};

// Data with A and B, A holding A1.
void exampleTree(const Tree& t) {
    t.folder("Data/A/A1");
    t.folder("Data/B");
}

TEST(FolderScan, LevelByLevelInNameOrder) {
    Tree t;
    exampleTree(t);
    Scan s;
    EXPECT_EQ(s.run({t.entry("Data")}), (QStringList{t.entry("Data"), t.entry("Data/A"),
                                                     t.entry("Data/B"), t.entry("Data/A/A1")}));
    EXPECT_TRUE(s.messages.shown.isEmpty());
    // Every folder examined (4), every sub-folder taken (3), every merge: A1 into the first
    // level's list, then A, B and A1 into the caller's (4).
    EXPECT_EQ(s.events.yields, 11);
}

TEST(FolderScan, StartFolderWithoutSubFoldersStaysAlone) {
    Tree t;
    t.folder("Data");
    t.file("Data/a.pst");
    Scan s;
    EXPECT_EQ(s.run({t.entry("Data")}), QStringList{t.entry("Data")});
}

TEST(FolderScan, RecursiveFalseTakesOnlyTheFirstLevel) {
    Tree t;
    exampleTree(t);
    t.folder("Data/.hidden/deep");
    Scan s;
    EXPECT_EQ(s.run({t.entry("Data")}, false),
              (QStringList{t.entry("Data"), t.entry("Data/.hidden"), t.entry("Data/A"),
                           t.entry("Data/B")}));
}

TEST(FolderScan, NestedStartEntriesListTheDeeperOneTwice) {
    Tree t;
    exampleTree(t);
    Scan s;
    EXPECT_EQ(s.run({t.entry("Data"), t.entry("Data/A")}),
              (QStringList{t.entry("Data"), t.entry("Data/A"), t.entry("Data/A"), t.entry("Data/B"),
                           t.entry("Data/A/A1"), t.entry("Data/A/A1")}));
}

TEST(FolderScan, HiddenFoldersAreListedTrashIsNot) {
    Tree t;
    t.folder("Data/.hidden/inner");
    t.folder("Data/Trash/files/deleted"); // the desktop's trash when data home is Data
    t.folder("Data/Trashy");
    const QByteArray oldData = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(t.path("Data")));
    Scan s;
    const QStringList got = s.run({t.entry("Data")});
    if (oldData.isNull())
        qunsetenv("XDG_DATA_HOME");
    else
        qputenv("XDG_DATA_HOME", oldData);
    EXPECT_EQ(got, (QStringList{t.entry("Data"), t.entry("Data/.hidden"), t.entry("Data/Trashy"),
                                t.entry("Data/.hidden/inner")}));
}

TEST(FolderScan, EligibilityByAttributeValue) {
    struct Row {
        int attributes;
        bool root;
        bool listed;
    } rows[] = {
        {16, false, true},   {18, false, true},  {20, false, true},    {54, false, true},
        {1040, false, true}, {22, false, false}, {1046, false, false},
    };
    for (const Row& r : rows) {
        Tree t;
        t.folder("Data/X/below");
        Scan s;
        s.lister.attributeOverrides[t.entry("Data/X")] = r.attributes;
        const QStringList got = s.run({t.entry("Data")});
        const QStringList expected =
            r.listed ? QStringList{t.entry("Data"), t.entry("Data/X"), t.entry("Data/X/below")}
                     : QStringList{t.entry("Data")};
        EXPECT_EQ(got, expected) << "attributes " << r.attributes;
    }
    // A root folder is examined whatever its attributes.
    for (int value : {22, 1046}) {
        Tree t;
        t.folder("Data/X");
        Scan s;
        s.lister.attributeOverrides[t.entry("Data")] = value;
        s.lister.roots.insert(t.entry("Data"));
        EXPECT_EQ(s.run({t.entry("Data")}), (QStringList{t.entry("Data"), t.entry("Data/X")}));
    }
}

TEST(FolderScan, UnsafeNamesAreSkippedWithEverythingBelow) {
    struct Row {
        QString name;
        bool listed;
    } rows[] = {
        {QStringLiteral("bad\x01name"), false},
        {QStringLiteral("tab\there"), false},
        {QString::fromUtf16(u"c1\u0085name"), false},
        {QStringLiteral("del\x7F"), false},
        {QStringLiteral("what?"), true},
        {QString::fromUtf16(u"en\u2013dash \u201cq\u201d"), true},
        {QString::fromUtf16(u"\u65e5\u672c"), true},
        {QStringLiteral("x\u00a0nbsp"), true},
    };
    for (const Row& r : rows) {
        Tree t;
        t.folder("Data/" + r.name + "/inner");
        Scan s;
        const QStringList got = s.run({t.entry("Data")});
        const QStringList expected = r.listed
                                         ? QStringList{t.entry("Data"), t.entry("Data/" + r.name),
                                                       t.entry("Data/" + r.name + "/inner")}
                                         : QStringList{t.entry("Data")};
        EXPECT_EQ(got, expected) << r.name.toStdString();
    }
    EXPECT_FALSE(HasUnsafeCharacters(QString()));
    EXPECT_TRUE(HasUnsafeCharacters(QString(QChar(0x9F))));
    EXPECT_FALSE(HasUnsafeCharacters(QString(QChar(0xA0))));
}

TEST(FolderScan, NamesThatAreNotUtf8AreLeftOut) {
    Tree t;
    t.folder("Data/ok");
    const QByteArray bad = QFile::encodeName(t.path("Data")) + "/bad\xfe";
    ASSERT_EQ(::mkdir(bad.constData(), 0755), 0);
    Scan s;
    EXPECT_EQ(s.run({t.entry("Data")}), (QStringList{t.entry("Data"), t.entry("Data/ok")}));
    ::rmdir(bad.constData()); // the temporary folder cannot name it either
}

TEST(FolderScan, LinksIntoVisitedFoldersAreNotFollowed) {
    Tree t;
    exampleTree(t);
    t.folder("Outside/X");
    t.link("Data/A/up", t.path("Data"));    // a cycle
    t.link("Data/B/toA", t.path("Data/A")); // a tree already entered
    t.link("Data/C", t.path("Outside"));    // somewhere new: followed
    t.link("Data/A/A1/loop", t.path("Data/A/A1"));
    Scan s;
    EXPECT_EQ(s.run({t.entry("Data")}),
              (QStringList{t.entry("Data"), t.entry("Data/A"), t.entry("Data/B"), t.entry("Data/C"),
                           t.entry("Data/A/A1"), t.entry("Data/C/X")}));
    // Without descending, a link back to the folder itself is still not taken.
    Scan flat;
    EXPECT_EQ(flat.run({t.entry("Data/A/A1")}, false), QStringList{t.entry("Data/A/A1")});
}

TEST(FolderScan, DeepTreesAndLongNamesAreScanned) {
    Tree t;
    const QString longName(255, QLatin1Char('n'));
    QString relative = "Data";
    for (int i = 0; i < 12; ++i)
        relative += "/" + longName.left(200 + i);
    t.folder(relative);
    t.folder("Data/" + longName);
    Scan s;
    const QStringList got = s.run({t.entry("Data")});
    ASSERT_EQ(got.size(), 14);
    EXPECT_EQ(got.last(), t.entry(relative));
    EXPECT_GT(got.last().size(), 2400);
}

TEST(FolderScan, FoldersThatCannotBeListedAreRemoved) {
    struct Row {
        const char* failing;
        int number;
        QStringList expected; // relative entries
    } rows[] = {
        {"Data/A", failures::PermissionDenied, {"Data", "Data/B"}},
        {"Data/A", failures::PathNotFound, {"Data", "Data/B"}},
        {"Data/A", 75, {"Data", "Data/A", "Data/B"}}, // other failures keep the folder
        {"Data/A/A1", failures::PermissionDenied, {"Data", "Data/A", "Data/B"}},
        {"Data", failures::PermissionDenied, {}},
        {"Data", failures::PathNotFound, {}},
    };
    for (const Row& r : rows) {
        Tree t;
        exampleTree(t);
        Scan s;
        s.lister.listFailures[t.entry(r.failing)] = r.number;
        QStringList expected;
        for (const QString& e : r.expected)
            expected << t.entry(e);
        EXPECT_EQ(s.run({t.entry("Data")}), expected) << r.failing << " " << r.number;
        EXPECT_TRUE(s.messages.shown.isEmpty());
    }
}

TEST(FolderScan, ADuplicateRemovesOnlyOneEntryPerFailure) {
    Tree t;
    t.folder("Data");
    t.folder("Other");
    Scan s;
    s.lister.listFailures[t.entry("Data")] = failures::PermissionDenied;
    EXPECT_EQ(s.run({t.entry("Data"), t.entry("Other"), t.entry("Data")}),
              QStringList{t.entry("Other")});
}

TEST(FolderScan, EntriesThatAreNotFoldersStayUnexamined) {
    Tree t;
    t.file("file");
    Scan s;
    const QStringList start{t.entry("missing"), t.path("file") + "/", QString()};
    EXPECT_EQ(s.run(start), start);
    EXPECT_TRUE(s.messages.shown.isEmpty());
}

TEST(FolderScan, FailuresBeforeTheFirstListingAreReported) {
    Tree t;
    exampleTree(t);
    Scan s;
    s.lister.folderFailures[t.entry("Data")] = 75;
    EXPECT_EQ(s.run({t.entry("Data")}), QStringList{t.entry("Data")});
    ASSERT_EQ(s.messages.shown.size(), 1);
    EXPECT_EQ(s.messages.shown[0].text,
              errorReportText("Scripted folder failure",
                              "in Wendrup2021/08/31.AddFolder.GetSubDirectories2016 ", 112));
    EXPECT_EQ(s.messages.shown[0].title, "Application Error");
}

TEST(FolderScan, FailuresAfterTheFirstListingTakeTheFolderPath) {
    Tree t;
    exampleTree(t);
    t.folder("Other");
    Scan s;
    // Vanishing after the first entry was listed: removed without a report.
    s.lister.folderFailures[t.entry("Other")] = failures::PathNotFound;
    EXPECT_EQ(
        s.run({t.entry("Data"), t.entry("Other")}),
        (QStringList{t.entry("Data"), t.entry("Data/A"), t.entry("Data/B"), t.entry("Data/A/A1")}));
    EXPECT_TRUE(s.messages.shown.isEmpty());
}

TEST(FolderScan, AFailedEligibilityTestWhileMergingLetsTheFolderIn) {
    Tree t;
    t.folder("Data/A");
    Scan s;
    // The deeper call meets the failure first (its own report at 112), the merge second (158).
    s.lister.folderFailures[t.entry("Data/A")] = 75;
    EXPECT_EQ(s.run({t.entry("Data")}), (QStringList{t.entry("Data"), t.entry("Data/A")}));
    ASSERT_EQ(s.messages.shown.size(), 2);
    EXPECT_TRUE(s.messages.shown[0].text.contains("GetSubDirectories2016 at line 112"));
    EXPECT_TRUE(s.messages.shown[1].text.contains("GetSubDirectories2016 at line 158"));
}

// Really refused: a child process without privileges scans a tree with a locked folder.
TEST(FolderScan, ARealPermissionDenialRemovesTheFolder) {
    Tree t;
    exampleTree(t);
    t.folder("Locked/inner");
    const passwd* nobody = ::getpwnam("nobody");
    if (::geteuid() == 0 && !nobody)
        GTEST_SKIP() << "running as root without a user 'nobody' to drop privileges to";
    for (const QString& p : {t.root(), t.path("Data"), t.path("Data/A"), t.path("Data/A/A1"),
                             t.path("Data/B"), t.path("Locked")})
        ASSERT_EQ(::chmod(QFile::encodeName(p).constData(), 0755), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(t.path("Locked")).constData(), 0), 0);

    const QStringList expectedData{t.entry("Data"), t.entry("Data/A"), t.entry("Data/B"),
                                   t.entry("Data/A/A1")};
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 ||
                                 ::setuid(nobody->pw_uid) != 0))
            ::_exit(3);
        RecordingMessageBox messages;
        CountingEventLoop events;
        QStringList locked{t.entry("Locked")};
        GetSubDirectories2016(locked, true, messages, events);
        QStringList mixed{t.entry("Data"), t.entry("Locked")};
        GetSubDirectories2016(mixed, true, messages, events);
        const bool ok = locked.isEmpty() && mixed == expectedData && messages.shown.isEmpty();
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::chmod(QFile::encodeName(t.path("Locked")).constData(), 0755);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 3)
        GTEST_SKIP() << "could not drop privileges in the child";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the unprivileged scan gave another list";
}

} // namespace
