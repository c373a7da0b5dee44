#include "constants.h"
#include "failure.h"
#include "fakeautomation.h"
#include "recorders.h"
#include "walk.h"
#include "windowoutcomes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

using namespace talvenor;
using namespace talvenor::testing;

namespace {

constexpr std::int32_t storeDamaged = -2147221221;

// Renders the walk's reports as the window does, and records how far it went.
struct RecordingWalkProgress : WindowOutcomes {
    explicit RecordingWalkProgress(IMessageBox& box) : WindowOutcomes(box, false) {}
    void itemsVisited(std::int64_t done, std::int64_t total) override {
        seen.emplace_back(done, total);
    }
    std::vector<std::pair<std::int64_t, std::int64_t>> seen;
};

class WalkTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(out.isValid()); }

    // Walks the store's root as the session would, with the output file of "archive.pst".
    void walk(const FakeFolder& root, WalkOptions options = {}) {
        outlook.stores["/in/archive.pst"] = root;
        auto app = outlook.create(automation::ApplicationClass);
        auto ns = app->getNamespace(automation::MapiNamespace);
        ns->addStore("\"/in/archive.pst\"");
        auto folder = ns->lastFolder();
        outlook.calls.clear();
        MailWalk(box, events, std::move(options)).getMailItems(*folder, outputFile());
    }
    // A new output folder and store, for the next case of a table.
    void startAfresh() {
        QTemporaryDir dir;
        out.swap(dir);
        outlook = FakeOutlook();
        box = RecordingMessageBox();
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

TEST_F(WalkTest, DepthFirstPostOrderAndTheRootsOwnItemsLast) {
    FakeFolder root{"Store", {}, {}};
    root.addItem("root item");
    FakeFolder& a = root.addFolder("A");
    a.addItem("a1").addItem("a2");
    a.addFolder("A1").addItem("a1-1");
    a.addFolder("A2").addItem("a2-1");
    root.addFolder("B").addItem("b1");

    walk(root);

    EXPECT_EQ(savedNames(),
              QStringList({"a1-1.msg", "a2-1.msg", "a1.msg", "a2.msg", "b1.msg", "root item.msg"}));
    EXPECT_TRUE(box.shown.isEmpty());
    // One yield per sub-folder and one per item.
    EXPECT_EQ(events.yields, 4 + 6);
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

    EXPECT_EQ(savedNames(),
              QStringList({"mail.msg", "news item.msg", "public item.msg", "case matters.msg"}));
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
    EXPECT_EQ(
        names.mid(0, 7),
        QStringList({"Re  a b.msg", "X.msg", "X (2).msg", "a b c d e f g.msg", "quote \" kept.msg",
                     "archive (no subject).msg", "archive (no subject) (2).msg"}));
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
        {"failed class read saves anyway", "Item.Class Store/Inbox 1", 116, {"one.msg", "two.msg"}},
        {"failed subject test uses the fallback",
         "Item.Subject Store/Inbox 1",
         120,
         {"archive (no subject).msg", "two.msg"}},
        {"failed item count skips the folder", "Items.Count Store/Inbox", 110, {}},
        {"failed folder name walks anyway", "Folder.Name Store", 100, {"one.msg", "two.msg"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        startAfresh();
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

TEST_F(WalkTest, TheNextFreeNumberIsFoundAtOnceAndAPlantedFileIsNeverOverwritten) {
    auto plant = [&](const QString& name, const QByteArray& content) {
        QFile f(out.path() + "/" + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
    };
    plant("X.msg", "earlier");
    for (int n = 2; n <= 500; ++n)
        plant(QStringLiteral("X (%1).msg").arg(n), "earlier");
    FakeFolder root{"Store", {}, {}};
    root.addFolder("Inbox").addItem("X").addItem("X").addItem("X");
    // After the folder has been read, another program takes the name the second message
    // would have had.
    int itemYields = 0;
    events.onYield = [&] {
        if (++itemYields == 3)
            plant("X (502).msg", "planted");
    };

    walk(root);

    EXPECT_EQ(savedNames(), QStringList({"X (501).msg", "X (503).msg", "X (504).msg"}));
    QFile planted(out.path() + "/X (502).msg");
    ASSERT_TRUE(planted.open(QIODevice::ReadOnly));
    EXPECT_EQ(planted.readAll(), QByteArray("planted"));
    EXPECT_TRUE(box.shown.isEmpty());
    // Names are looked up in what the walk knows, not probed from "X.msg" on every time.
    EXPECT_EQ(outlook.calls.filter("Item.SaveAs").size(), 4);
}

TEST_F(WalkTest, NoFileIsHiddenOrHoldsControlCharacters) {
    FakeFolder root{"Store", {}, {}};
    root.addFolder("Inbox")
        .addItem(".")
        .addItem("..")
        .addItem(".profile")
        .addItem("line\nbreak\r\tand\x1b escape")
        .addItem(QStringLiteral("c1 \u0085 \u009f del \u007f"))
        .addItem("...and then");

    walk(root);

    EXPECT_EQ(savedNames(), QStringList({"archive (no subject).msg", "archive (no subject) (2).msg",
                                         "profile.msg", "line break  and  escape.msg",
                                         "c1     del  _.msg", "and then.msg"}));
    for (const QString& name : files()) {
        EXPECT_FALSE(name.startsWith('.')) << name.toStdString();
        for (QChar c : name)
            EXPECT_FALSE(c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() <= 0x9F))
                << name.toStdString();
    }
}

TEST_F(WalkTest, ADamagedMessageGivesOneReport) {
    struct Case {
        const char* name;
        QStringList failing;
        int step;
    };
    const Case cases[] = {
        {"the item cannot be had", {"Items.Item Store/Inbox 1"}, 116},
        {"nothing of it can be read",
         {"Item.Class Store/Inbox 1", "Item.Subject Store/Inbox 1",
          "Item.SaveAs %1/archive (no "
          "subject).msg"},
         116},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        startAfresh();
        for (const QString& call : c.failing)
            outlook.fail(call.contains("%1") ? call.arg(out.path()) : call, storeDamaged,
                         "The file is damaged.");
        FakeFolder root{"Store", {}, {}};
        root.addFolder("Inbox").addItem("one").addItem("two");

        walk(root);

        EXPECT_EQ(savedNames(), QStringList{"two.msg"});
        ASSERT_EQ(box.shown.size(), 1);
        EXPECT_TRUE(box.shown[0].text.contains(QStringLiteral("at line %1").arg(c.step)))
            << box.shown[0].text.toStdString();
    }
}

TEST_F(WalkTest, SavesTheFolderRefusesGiveOneReportForTheStore) {
    struct Case {
        const char* name;
        Cause cause;
        std::int32_t failure;
    };
    const Case cases[] = {
        {"disk full", Cause::DiskFull, failures::DiskFull},
        {"folder gone", Cause::NotFound, failures::PathNotFound},
        {"folder not writable", Cause::PermissionDenied, failures::PermissionDenied},
        {"read-only file system", Cause::ReadOnly, failures::PermissionDenied}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        startAfresh();
        FakeFolder root{"Store", {}, {}};
        FakeFolder& inbox = root.addFolder("Inbox");
        inbox.addItem("first");
        for (int k = 0; k < 20; ++k)
            inbox.addItem(QStringLiteral("later %1").arg(k));
        inbox.addItem("a contact", 40);
        root.addFolder("Sent").addItem("sent one").addItem("sent two");
        for (int k = 0; k < 20; ++k)
            outlook.fail(QStringLiteral("Item.SaveAs %1/later %2.msg").arg(out.path()).arg(k),
                         c.cause, c.failure, "Cannot save: refused.");
        outlook.fail("Item.SaveAs " + out.path() + "/sent one.msg", c.cause, c.failure,
                     "Cannot save: refused.");
        WalkOptions options;
        options.storeName = "archive.pst";

        walk(root, std::move(options));

        EXPECT_EQ(savedNames(), QStringList{"first.msg"});
        ASSERT_EQ(box.shown.size(), 1);
        const QString& text = box.shown[0].text;
        EXPECT_TRUE(text.contains("Cannot save: refused.")) << text.toStdString();
        EXPECT_TRUE(text.contains("22 messages of \"archive.pst\" were not saved into the "
                                  "folder \"" +
                                  out.path() + "/\""))
            << text.toStdString();
        EXPECT_TRUE(text.contains("at line 144"));
        // Nothing more is tried in that folder once it has refused.
        EXPECT_EQ(outlook.calls.filter("Item.SaveAs").size(), 2);
    }
}

TEST_F(WalkTest, AStoreWhoseFileCanNoLongerBeReadIsReportedOnce) {
    FakeFolder root{"Store", {}, {}};
    FakeFolder& inbox = root.addFolder("Inbox");
    for (int k = 1; k <= 10; ++k)
        inbox.addItem(QStringLiteral("m%1").arg(k));
    root.addFolder("Sent").addItem("never reached");
    for (int k = 4; k <= 10; ++k)
        outlook.fail(QStringLiteral("Items.Item Store/Inbox %1").arg(k), storeDamaged,
                     "The file is damaged: cannot read item.");
    bool readable = true;
    int visited = 0;
    events.onYield = [&] {
        if (++visited == 5) // the yield before the fourth item of the inbox
            readable = false;
    };
    RecordingWalkProgress progress(box);
    WalkOptions options;
    options.observer = &progress;
    options.storeReadable = [&] { return readable; };
    options.storeName = "archive.pst";

    walk(root, std::move(options));

    EXPECT_EQ(savedNames(), QStringList({"m1.msg", "m2.msg", "m3.msg"}));
    ASSERT_EQ(box.shown.size(), 1);
    EXPECT_TRUE(box.shown[0].text.contains("The file \"archive.pst\" can no longer be read: 8 of "
                                           "its 11 items were not converted."))
        << box.shown[0].text.toStdString();
    EXPECT_FALSE(outlook.calls.contains("Items.Item Store/Inbox 5"));
}

TEST_F(WalkTest, ProgressCountsEveryItemTheWalkVisits) {
    FakeFolder root{"Store", {}, {}};
    root.addItem("on the root: visited last");
    FakeFolder& a = root.addFolder("A");
    a.addItem("a1").addItem("contact", 40);
    a.addFolder("A1").addItem("a1-1");
    FakeFolder& pub = root.addFolder("All Public Folders");
    pub.addItem("public");
    pub.addFolder("Sub").addItem("never");
    RecordingWalkProgress progress(box);
    WalkOptions options;
    options.observer = &progress;

    walk(root, std::move(options));

    EXPECT_EQ(progress.seen, (std::vector<std::pair<std::int64_t, std::int64_t>>{
                                 {0, 5}, {1, 5}, {2, 5}, {3, 5}, {4, 5}, {5, 5}}));
}

TEST_F(WalkTest, AStoreWithoutSubFoldersWritesTheMailOfItsTopFolder) {
    FakeFolder root{"Store", {}, {}};
    root.addItem("only on the root").addItem("a contact", 40);
    walk(root);
    EXPECT_EQ(files(), QStringList({"only on the root.msg"}));
}

// Names that are what they show and that Windows can create; everything else stays as the
// subject has it.
TEST_F(WalkTest, FileNamesShowWhatTheyAreAndCopyToWindows) {
    const std::pair<QString, QString> cases[] = {
        {QString::fromUtf16(u"invoice\u202Egpj.exe"), "invoice gpj.exe.msg"},
        {QString::fromUtf16(u"a\u061Cb\u200Bc\u200Dd\u200Fe\u202Af\u2066g\u2069h\u2060i\uFEFFj"
                            u"\u2028k\u2029l"),
         "a b c d e f g h i j k l.msg"},
        {QString::fromUtf16(u" \u200B\u202E"), "archive (no subject).msg"},
        {"...", "archive (no subject) (2).msg"},
        {"CON", "CON_.msg"},
        {"aux.txt", "aux_.txt.msg"},
        {"nul .tar.gz", "nul_ .tar.gz.msg"},
        {"com1", "com1_.msg"},
        {"LPT²", "LPT²_.msg"},
        {"LPT10", "LPT10.msg"},
        {"Conference", "Conference.msg"},
        {"trailing dot.", "trailing dot._.msg"},
        {"Re. ", "Re. _.msg"},
        {"CON", "CON_ (2).msg"},
        {"会議 😀 é", "会議 😀 é.msg"},
    };
    FakeFolder root{"Store", {}, {}};
    FakeFolder& inbox = root.addFolder("Inbox");
    QStringList expected;
    for (const auto& [subject, file] : cases) {
        inbox.addItem(subject);
        expected << file;
    }
    walk(root);
    EXPECT_EQ(savedNames(), expected);
    // Cut to fit, the name would end in a dot; mended, it would be one byte too long.
    EXPECT_EQ(naming::candidate(QString(250, 'b') + ". c", 1), QString(249, 'b') + ".msg");
}

// A store that lists one folder twice, or nests its folders without end: each folder is walked
// once, where it was met first, and each shape is one report.
TEST_F(WalkTest, EachFolderIsWalkedOnceAndNoDeeperThanTheBound) {
    const struct {
        const char* name;
        std::function<FakeFolder()> store;
        int maxDepth;
        QStringList saved;
        QString report;
    } cases[] = {
        {"listed twice",
         [] {
             FakeFolder root{"Store", {}, {}, "root"};
             FakeFolder& a = root.addFolder("A");
             a.entryId = "a";
             a.addItem("a1");
             FakeFolder& shared = a.addFolder("Shared");
             shared.entryId = "s";
             shared.addItem("s1");
             FakeFolder& b = root.addFolder("B");
             b.entryId = "b";
             b.addItem("b1");
             b.folders.push_back(shared);
             return root;
         },
         300, QStringList({"s1.msg", "a1.msg", "b1.msg"}),
         "The folder \"Shared\" is listed a second time in the store, as \"B/Shared\"; it is "
         "converted once, as \"A/Shared\"."},
        {"too deep",
         [] {
             FakeFolder root{"Store", {}, {}};
             FakeFolder* f = &root;
             for (int depth = 1; depth <= 5; ++depth)
                 f = &f->addFolder(QString::number(depth)).addItem(QString("d%1").arg(depth));
             return root;
         },
         3, QStringList({"d3.msg", "d2.msg", "d1.msg"}),
         "The folders of \"archive.pst\" are nested more than 3 levels deep, which no store "
         "has: the sub-folders of \"1/2/3\" are not converted."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        startAfresh();
        RecordingWalkProgress progress(box);
        WalkOptions options;
        options.observer = &progress;
        options.storeName = "archive.pst";
        options.maxDepth = c.maxDepth;
        walk(c.store(), std::move(options));
        EXPECT_EQ(savedNames(), c.saved);
        ASSERT_EQ(box.shown.size(), 1);
        EXPECT_TRUE(box.shown[0].text.contains(c.report)) << box.shown[0].text.toStdString();
        ASSERT_FALSE(progress.seen.empty());
        EXPECT_EQ(progress.seen.back(),
                  std::make_pair(std::int64_t(c.saved.size()), std::int64_t(c.saved.size())));
    }
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
struct CountingObserver : IRunObserver {
    void itemWritten(const QString& path) override { paths << QFileInfo(path).fileName(); }
    void itemReported(const ItemReport& report) override {
        if (!report.written)
            ++reports;
    }
    void itemSkipped(ItemKind kind) override { notMail.push_back(kind); }
    QStringList paths;
    int reports = 0;
    std::vector<ItemKind> notMail;
};
} // namespace

TEST(WalkObserver, EveryItemIsCountedOnceAsWrittenReportedOrNotMail) {
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
        root.addItem("contact", 40).addItem("meeting", 53);
        outlook.stores["/in/archive.pst"] = root;
        auto app = outlook.create(automation::ApplicationClass);
        auto ns = app->getNamespace(automation::MapiNamespace);
        ns->addStore("\"/in/archive.pst\"");
        auto folder = ns->lastFolder();

        WalkOptions options;
        options.observer = &observer;
        MailWalk(box, events, std::move(options))
            .getMailItems(*folder, out.path() + "/archive.msg");

        EXPECT_EQ(observer.paths, c.written);
        EXPECT_EQ(observer.reports, c.reported);
        EXPECT_EQ(observer.notMail, (std::vector<ItemKind>{ItemKind::Other, ItemKind::Contact,
                                                           ItemKind::MeetingItem}));
    }
}
