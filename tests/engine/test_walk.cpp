#include "constants.h"
#include "fakeautomation.h"
#include "failure.h"
#include "recorders.h"
#include "walk.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace talvenor;
using namespace talvenor::testing;

namespace {

class WalkTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(out.isValid()); }

    // Walks the store's root as the session would, with the output file of "archive.pst".
    void walk(const FakeFolder& root) {
        outlook.stores["/in/archive.pst"] = root;
        auto app = outlook.create(automation::ApplicationClass);
        auto ns = app->getNamespace(automation::MapiNamespace);
        ns->addStore("\"/in/archive.pst\"");
        auto folder = ns->lastFolder();
        outlook.calls.clear();
        MailWalk(box, events).getMailItems(*folder, outputFile());
    }
    QString outputFile() const { return out.path() + "/archive.msg"; }
    QStringList files() const {
        return QDir(out.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }
    QStringList savedNames() const {
        QStringList names;
        for (const auto& p : outlook.saved)
            names << p.mid(out.path().size() + 1);
        return names;
    }

    QTemporaryDir out;
    FakeOutlook outlook;
    RecordingMessageBox box;
    CountingEventLoop events;
};

TEST_F(WalkTest, DepthFirstPostOrderAndTheRootsOwnItemsAreNotSaved) {
    FakeFolder root{"Store", {}, {}};
    root.addItem("root item");
    FakeFolder& a = root.addFolder("A");
    a.addItem("a1").addItem("a2");
    a.addFolder("A1").addItem("a1-1");
    a.addFolder("A2").addItem("a2-1");
    root.addFolder("B").addItem("b1");

    walk(root);

    EXPECT_EQ(savedNames(), QStringList({"a1-1.msg", "a2-1.msg", "a1.msg", "a2.msg", "b1.msg"}));
    EXPECT_TRUE(box.shown.isEmpty());
    // One yield per sub-folder and one per item.
    EXPECT_EQ(events.yields, 4 + 5);
}

TEST_F(WalkTest, OtherClassesAreSkippedSilentlyAndExcludedFoldersAreNotEntered) {
    FakeFolder root{"Store", {}, {}};
    FakeFolder& inbox = root.addFolder("Inbox");
    inbox.addItem("meeting", 26).addItem("contact", 40).addItem("mail");
    FakeFolder& news = root.addFolder("Internet Newsgroups");
    news.addItem("news item");
    news.addFolder("comp.lang").addItem("never");
    FakeFolder& pub = root.addFolder("All Public Folders");
    pub.addItem("public item");
    pub.addFolder("Sub").addItem("never either");
    root.addFolder("internet newsgroups").addFolder("Deep").addItem("case matters");

    walk(root);

    EXPECT_EQ(savedNames(), QStringList({"mail.msg", "news item.msg", "public item.msg",
                                         "case matters.msg"}));
    EXPECT_FALSE(outlook.calls.contains("Folders.Count Store/Internet Newsgroups"));
    EXPECT_FALSE(outlook.calls.contains("Folders.Count Store/All Public Folders"));
    EXPECT_TRUE(box.shown.isEmpty());
}

TEST_F(WalkTest, NamesAreMadeSafeUniqueAndShortEnough) {
    const QString longSubject = QString(400, QChar(u'ж'));
    FakeFolder root{"Store", {}, {}};
    root.addFolder("Inbox")
        .addItem("Re: a/b")
        .addItem("X")
        .addItem("X")
        .addItem("a*b?c<d>e|f\\g")
        .addItem("quote \" kept")
        .addItem("")
        .addItem("")
        .addItem(longSubject)
        .addItem(longSubject)
        .addItem(QStringLiteral("日本語の件名"));
    root.addFolder("Other").addItem("X");

    walk(root);

    const QStringList names = savedNames();
    ASSERT_EQ(names.size(), 11);
    EXPECT_EQ(names.mid(0, 7),
              QStringList({"Re  a b.msg", "X.msg", "X (2).msg", "a b c d e f g.msg",
                           "quote \" kept.msg", "archive (no subject).msg",
                           "archive (no subject) (2).msg"}));
    for (int k : {7, 8}) {
        EXPECT_LE(names[k].toUtf8().size(), 255) << k;
        EXPECT_TRUE(names[k].startsWith(QString(100, QChar(u'ж'))));
    }
    EXPECT_TRUE(names[8].endsWith(" (2).msg"));
    EXPECT_EQ(names[9], QStringLiteral("日本語の件名.msg"));
    EXPECT_EQ(names[10], "X (3).msg");
    EXPECT_EQ(files().size(), 11);
}

TEST_F(WalkTest, ExistingFilesAreNeverOverwritten) {
    QFile earlier(out.path() + "/X.msg");
    ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
    earlier.write("earlier run");
    earlier.close();
    FakeFolder root{"Store", {}, {}};
    root.addFolder("Inbox").addItem("X");

    walk(root);

    EXPECT_EQ(savedNames(), QStringList({"X (2).msg"}));
    QFile check(out.path() + "/X.msg");
    ASSERT_TRUE(check.open(QIODevice::ReadOnly));
    EXPECT_EQ(check.readAll(), QByteArray("earlier run"));
}

TEST_F(WalkTest, AFileAppearingDuringTheSaveTakesTheNextNumber) {
    FakeFolder root{"Store", {}, {}};
    root.addFolder("Inbox").addItem("X");
    const QString first = out.path() + "/X.msg";
    outlook.fail("Item.SaveAs " + first, failures::FileExists, "The file exists.");

    walk(root);

    EXPECT_EQ(savedNames(), QStringList({"X (2).msg"}));
    EXPECT_TRUE(box.shown.isEmpty());
}

TEST_F(WalkTest, FailuresAreReportedWithTheirStepAndTheWalkGoesOn) {
    struct Case {
        const char* name;
        QString call;
        int step;
        QStringList saved;
    };
    const Case cases[] = {
        {"failed save", "Item.SaveAs %1/one.msg", 144, {"two.msg"}},
        {"failed class read saves anyway", "Item.Class Store/Inbox 1", 116,
         {"one.msg", "two.msg"}},
        {"failed subject test uses the fallback", "Item.Subject Store/Inbox 1", 120,
         {"archive (no subject).msg", "two.msg"}},
        {"failed item count skips the folder", "Items.Count Store/Inbox", 110, {}},
        {"failed folder name walks anyway", "Folder.Name Store", 100, {"one.msg", "two.msg"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        out.swap(dir);
        outlook = FakeOutlook();
        box = RecordingMessageBox();
        outlook.fail(c.call.arg(out.path()), -2147286788, "Something went wrong.", 1);
        FakeFolder root{"Store", {}, {}};
        root.addFolder("Inbox").addItem("one").addItem("two", 43);

        walk(root);

        EXPECT_EQ(savedNames(), c.saved);
        ASSERT_EQ(box.shown.size(), 1);
        EXPECT_EQ(box.shown[0].text,
                  QStringLiteral("Something went wrong.\r\nin Hollisk2021/08/31.Form1.GetMailItems "
                                 "at line %1\r\rPlease email screenshot of this message to ")
                          .arg(c.step) +
                      SupportEmail);
        EXPECT_EQ(box.shown[0].title, "Application Error");
    }
}

TEST_F(WalkTest, AStoreWithoutSubFoldersWritesNothing) {
    FakeFolder root{"Store", {}, {}};
    root.addItem("only on the root");
    walk(root);
    EXPECT_TRUE(files().isEmpty());
}

TEST(Naming, FitNameCutsAtCharacterBoundaries) {
    const QString emoji = QStringLiteral("😀"); // four bytes, two UTF-16 units
    QString subject;
    for (int i = 0; i < 100; ++i)
        subject += emoji;
    const QString fitted = naming::fitName(subject, " (12)");
    EXPECT_LE((fitted + " (12).msg").toUtf8().size(), 255);
    EXPECT_EQ(fitted.size() % 2, 0);
    EXPECT_TRUE(fitted.endsWith(emoji));
    EXPECT_EQ(naming::fitName("short", ""), "short");
    EXPECT_EQ(naming::candidate("a", 1), "a.msg");
    EXPECT_EQ(naming::candidate("a", 3), "a (3).msg");
    EXPECT_EQ(naming::fallbackName("/out/box.2020.msg"), "box.2020 (no subject)");
}

} // namespace

namespace {
struct CountingObserver : IItemObserver {
    void written(const QString& path) override { paths << QFileInfo(path).fileName(); }
    void reported() override { ++reports; }
    QStringList paths;
    int reports = 0;
};
} // namespace

TEST(WalkObserver, EveryMailItemIsCountedOnceAsWrittenOrReported) {
    struct Case {
        const char* name;
        QString failing; // a call failing every time; empty for none
        QStringList written;
        int reported;
    };
    const Case cases[] = {
        {"all written", "", {"one.msg", "two.msg"}, 0},
        {"a failed save is one report", "Item.SaveAs %1/one.msg", {"two.msg"}, 1},
        {"a failed subject read still writes",
         "Item.Subject Store/Inbox 1",
         {"archive (no subject).msg", "two.msg"},
         0},
        {"an unreadable item is reported once", "Items.Item Store/Inbox 1", {"two.msg"}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir out;
        FakeOutlook outlook;
        RecordingMessageBox box;
        CountingEventLoop events;
        CountingObserver observer;
        if (!c.failing.isEmpty())
            outlook.fail(c.failing.arg(out.path()), -2147286788, "Something went wrong.");
        FakeFolder root{"Store", {}, {}};
        root.addFolder("Inbox").addItem("one").addItem("two").addItem("note", 5);
        outlook.stores["/in/archive.pst"] = root;
        auto app = outlook.create(automation::ApplicationClass);
        auto ns = app->getNamespace(automation::MapiNamespace);
        ns->addStore("\"/in/archive.pst\"");
        auto folder = ns->lastFolder();

        MailWalk(box, events, &observer).getMailItems(*folder, out.path() + "/archive.msg");

        EXPECT_EQ(observer.paths, c.written);
        EXPECT_EQ(observer.reports, c.reported);
    }
}
