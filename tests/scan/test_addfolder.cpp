#include "addfolder.h"
#include "errorreport.h"
#include "failure.h"
#include "recorders.h"
#include "stringlist.h"
#include "tree.h"

#include <gtest/gtest.h>

using namespace talvenor;
using namespace talvenor::testing;

namespace {

class ScriptedPicker : public IFolderPicker {
public:
    QString browseForFolder(const QString& title, const QString& initialFolder) override {
        titles << title;
        initialFolders << initialFolder;
        return answer;
    }
    QString answer;
    QStringList titles;
    QStringList initialFolders;
};

// The file system, except for the folders told to refuse their listing.
class RefusingLister : public files::SystemDirectoryLister {
public:
    std::vector<QByteArray> subFolderNames(const QString& path) override {
        if (refused.contains(path))
            throw Failure(failures::PermissionDenied, QStringLiteral("Permission denied"));
        return SystemDirectoryLister::subFolderNames(path);
    }
    QStringList refused;
};

class ThrowingList : public StringSourceList {
public:
    void append(const QString& text) override {
        if (text.endsWith(failOn))
            throw Failure(7, QStringLiteral("Out of memory"));
        StringSourceList::append(text);
    }
    QString failOn = QStringLiteral("\n"); // nothing ends so
};

struct Window {
    Window() : command(list, settings, picker, pointer, messages, events, &lister) {}
    ThrowingList list;
    MemorySettings settings;
    ScriptedPicker picker;
    RecordingPointer pointer;
    RecordingMessageBox messages;
    CountingEventLoop events;
    RefusingLister lister;
    AddFolderCommand command;
};

// a.pst, ~a.pst, notes.txt, the hidden .x.pst and sub holding b.PST.
void mailTree(const Tree& t) {
    t.file("Mail/a.pst");
    t.file("Mail/~a.pst");
    t.file("Mail/notes.txt");
    t.file("Mail/.x.pst");
    t.file("Mail/sub/b.PST");
    t.folder("Mail/sub/folder.pst");
}

TEST(AddFolderCommand, AppendsThePstFilesOfTheWholeTree) {
    Tree t;
    mailTree(t);
    t.file("Mail/sub/deeper/c.pst");
    t.file("Mail/A/z.pst");
    Window w;
    w.settings.values["LastFolder"] = "/before";
    w.picker.answer = t.path("Mail");
    w.command.PushButton4_Click();
    EXPECT_EQ(w.list.items,
              (QStringList{t.path("Mail/a.pst"), t.path("Mail/A/z.pst"), t.path("Mail/sub/b.PST"),
                           t.path("Mail/sub/deeper/c.pst")}));
    EXPECT_EQ(w.picker.titles, QStringList{"Please select folder:"});
    EXPECT_EQ(w.picker.initialFolders, QStringList{"/before"});
    EXPECT_EQ(w.settings.values["LastFolder"], t.path("Mail"));
    EXPECT_EQ(w.pointer.history, (QList<PointerMode>{PointerMode::Busy, PointerMode::Default}));
    EXPECT_TRUE(w.messages.shown.isEmpty());
}

TEST(AddFolderCommand, RunningTwiceListsEverythingTwice) {
    Tree t;
    mailTree(t);
    Window w;
    w.picker.answer = t.path("Mail");
    w.command.PushButton4_Click();
    w.command.PushButton4_Click();
    EXPECT_EQ(w.list.items, (QStringList{t.path("Mail/a.pst"), t.path("Mail/sub/b.PST"),
                                         t.path("Mail/a.pst"), t.path("Mail/sub/b.PST")}));
    EXPECT_EQ(w.picker.initialFolders, (QStringList{"", t.path("Mail")}));
}

TEST(AddFolderCommand, CancelAddsNothingAndKeepsLastFolder) {
    Window w;
    w.settings.values["LastFolder"] = "/kept";
    w.picker.answer = QString();
    w.command.PushButton4_Click();
    EXPECT_TRUE(w.list.items.isEmpty());
    EXPECT_EQ(w.settings.values["LastFolder"], "/kept");
    EXPECT_TRUE(w.pointer.history.isEmpty());
}

TEST(AddFolderCommand, BusyForTheWholeScan) {
    Tree t;
    mailTree(t);
    Window w;
    w.picker.answer = t.path("Mail");
    // What "Clear List" does while the scan yields: nothing, as long as the window is busy.
    int cleared = 0;
    w.events.onYield = [&] {
        if (!w.pointer.isBusy()) {
            w.list.items.clear();
            ++cleared;
        }
    };
    w.command.PushButton4_Click();
    EXPECT_GT(w.events.yields, 0);
    EXPECT_EQ(cleared, 0);
    EXPECT_EQ(w.list.items.size(), 2);
    EXPECT_FALSE(w.pointer.isBusy());
}

TEST(AddFolderCommand, AnUnreadableChosenFolderAddsNothing) {
    Tree t;
    mailTree(t);
    Window w;
    w.picker.answer = t.path("Mail");
    w.lister.refused << t.entry("Mail");
    w.command.PushButton4_Click();
    EXPECT_TRUE(w.list.items.isEmpty());
    EXPECT_TRUE(w.messages.shown.isEmpty());
    EXPECT_EQ(w.pointer.current, PointerMode::Default);
}

TEST(AddFolderCommand, FailuresAreReportedAndTheScanGoesOn) {
    Tree t;
    mailTree(t);
    Window w;
    w.picker.answer = t.path("Mail");
    w.settings.failWrites = true;
    w.list.failOn = "a.pst";
    w.command.PushButton4_Click();
    EXPECT_EQ(w.list.items, QStringList{t.path("Mail/sub/b.PST")});
    const QString location = "in Hollisk2021/08/31.Form1.PushButton4_Click ";
    EXPECT_EQ(w.messages.texts(),
              (QStringList{errorReportText("Path/File access error", location, 334),
                           errorReportText("Out of memory", location, 126)}));
    EXPECT_EQ(w.pointer.current, PointerMode::Default);
}

TEST(AddFolderCommand, AppendedPathsHaveNoDoubledSlashes) {
    Tree t;
    t.file("Mail/a.pst");
    Window w;
    w.picker.answer = t.path("Mail") + "/"; // a picker that keeps the trailing slash
    w.command.PushButton4_Click();
    EXPECT_EQ(w.list.items, QStringList{t.path("Mail/a.pst")});
}

TEST(DropOnTheList, FilesAsTheyAreFoldersScannedForEveryFile) {
    Tree t;
    mailTree(t);
    t.file("Other/x.doc");
    t.file("Other/in/y");
    struct Row {
        const char* what;
        QStringList dropped;  // relative
        QStringList expected; // relative
    } rows[] = {
        {"a file", {"Mail/notes.txt"}, {"Mail/notes.txt"}},
        {"a file the folder command skips", {"Mail/~a.pst"}, {"Mail/~a.pst"}},
        {"a missing path", {"gone.pst"}, {"gone.pst"}},
        {"the same file twice", {"Mail/a.pst", "Mail/a.pst"}, {"Mail/a.pst", "Mail/a.pst"}},
        {"a folder", {"Mail"}, {"Mail/a.pst", "Mail/notes.txt", "Mail/sub/b.PST"}},
        {"two folders",
         {"Mail", "Other"},
         {"Mail/a.pst", "Mail/notes.txt", "Mail/sub/b.PST", "Other/x.doc", "Other/in/y"}},
        {"a file and a folder",
         {"Mail/a.pst", "Other"},
         {"Mail/a.pst", "Other/x.doc", "Other/in/y"}},
    };
    for (const Row& r : rows) {
        Window w;
        QStringList dropped, expected;
        for (const QString& d : r.dropped)
            dropped << t.path(d);
        for (const QString& e : r.expected)
            expected << t.path(e);
        w.command.dropPaths(dropped);
        EXPECT_EQ(w.list.items, expected) << r.what;
        EXPECT_TRUE(w.pointer.history.isEmpty()) << r.what;
        EXPECT_TRUE(w.messages.shown.isEmpty()) << r.what;
    }
}

TEST(DropOnTheList, WorksWhileTheWindowIsBusy) {
    Tree t;
    t.file("Mail/a.pst");
    Window w;
    w.pointer.current = PointerMode::Busy;
    w.command.dropPaths({t.path("Mail")});
    EXPECT_EQ(w.list.items, QStringList{t.path("Mail/a.pst")});
    EXPECT_EQ(w.pointer.current, PointerMode::Busy);
    EXPECT_TRUE(w.pointer.history.isEmpty());
}

TEST(DropOnTheList, AnUnreadableFolderIsNamedAndTheRestAdded) {
    Tree t;
    mailTree(t);
    t.file("Other/x.doc");
    Window w;
    w.lister.refused << t.entry("Mail");
    w.command.dropPaths({t.path("Mail"), t.path("Other")});
    EXPECT_EQ(w.list.items, QStringList{t.path("Other/x.doc")});
    ASSERT_EQ(w.messages.shown.size(), 1);
    EXPECT_EQ(w.messages.shown[0].text, "Cannot read the folder:\r\n" + t.path("Mail"));
    EXPECT_EQ(w.messages.shown[0].title, "Talvenor");
}

} // namespace
