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
    files::FolderListing list(const QString& path) override {
        ++reads[path];
        if (refused.contains(path))
            throw Failure(failures::PermissionDenied, QStringLiteral("Permission denied"));
        return SystemDirectoryLister::list(path);
    }
    QStringList refused;
    QMap<QString, int> reads; // path -> how often it was listed
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

TEST(AddFolderCommand, EveryFolderIsReadOnce) {
    Tree t;
    mailTree(t);
    t.file("Mail/sub/deeper/c.pst");
    t.file("Mail/A/z.pst");
    Window w;
    w.picker.answer = t.path("Mail");
    w.command.PushButton4_Click();
    EXPECT_EQ(w.list.items.size(), 4);
    const QStringList folders{"Mail", "Mail/A", "Mail/sub", "Mail/sub/deeper",
                              "Mail/sub/folder.pst"};
    QStringList read;
    for (const QString& f : folders)
        read << t.entry(f);
    EXPECT_EQ(w.lister.reads.keys(), read);
    for (const QString& f : read)
        EXPECT_EQ(w.lister.reads.value(f), 1) << f.toStdString();
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
