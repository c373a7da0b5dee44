#include "addfiles.h"
#include "constants.h"
#include "windowfixture.h"

using namespace talvenor;
using namespace talvenor::testing;

namespace {

class AddFilesTest : public WindowTest {};

struct AddCase {
    const char* name;
    QStringList before;
    QStringList chosen; // what the dialog hands back; empty: cancelled
    QStringList after;
};

TEST_F(AddFilesTest, ChosenFilesAreAppended) {
    const AddCase cases[] = {
        {"one file", {}, {"/d/x/a.pst"}, {"/d/x/a.pst"}},
        {"one file is taken as it is", {}, {"/d//x/a.pst"}, {"/d//x/a.pst"}},
        {"several, in the dialog's order",
         {"/old.pst"},
         {"/mail/b.pst", "/mail/a.pst"},
         {"/old.pst", "/mail/b.pst", "/mail/a.pst"}},
        {"several, doubled separators folded",
         {},
         {"//a.pst", "/m//b.pst"},
         {"/a.pst", "/m/b.pst"}},
        {"cancel", {"/keep.pst"}, {}, {"/keep.pst"}},
        {"a duplicate is added again", {"/m/a.pst"}, {"/m/a.pst"}, {"/m/a.pst", "/m/a.pst"}},
        {"upper-case names and names that do not exist",
         {},
         {"/m/ARCHIVE.PST", "/m/typed-only.pst"},
         {"/m/ARCHIVE.PST", "/m/typed-only.pst"}},
    };
    for (const AddCase& c : cases) {
        SCOPED_TRACE(c.name);
        list().clearAll();
        fill(c.before);
        fileDialog.answer = c.chosen;
        fileDialog.requests.clear();
        QTest::mouseClick(form->PushButton1, Qt::LeftButton);
        EXPECT_EQ(texts(), c.after);
        ASSERT_EQ(fileDialog.requests.size(), 1);
        const FileDialogRequest& r = fileDialog.requests[0];
        EXPECT_EQ(r.title, QStringLiteral("Add File(s) - Hold Ctrl to select multiple files"));
        EXPECT_EQ(r.filter, QStringLiteral("PST Files (*.pst)"));
        EXPECT_TRUE(r.multiSelect);
        EXPECT_TRUE(r.initialFileName.isEmpty());
    }
    EXPECT_TRUE(messages.shown.isEmpty());
}

TEST_F(AddFilesTest, BusyWindowDoesNotStopAdding) {
    form->pointer().setMode(PointerMode::Busy);
    fileDialog.answer = {"/a.pst"};
    form->PushButton1_Click();
    EXPECT_EQ(texts(), QStringList({"/a.pst"}));
}

TEST_F(AddFilesTest, DialogFailuresAreReportedAndAddNothing) {
    const struct {
        const char* name;
        Failure failure;
        QString text;
        QString title;
        MessageIcon icon;
    } cases[] = {
        {"selection too large", Failure(20476, "Buffer too small"),
         "You've selected too many files to add.\r\rPlease try adding via the \"Add All\" button.",
         applicationTitle(), MessageIcon::None},
        {"any other failure", Failure(32755, "Dialog failed"),
         "Dialog failed\r\nin Hollisk2021/08/31.Form1.PushButton1_Click at line 108\r\r"
         "Please email screenshot of this message to " +
             SupportEmail,
         "Application Error", MessageIcon::Warning},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        messages.shown.clear();
        fileDialog.failure = c.failure;
        form->PushButton1_Click();
        EXPECT_EQ(list().count(), 0);
        ASSERT_EQ(messages.shown.size(), 1);
        EXPECT_EQ(messages.shown[0].text, c.text);
        EXPECT_EQ(messages.shown[0].title, c.title);
        EXPECT_EQ(messages.shown[0].icon, c.icon);
        EXPECT_EQ(messages.shown[0].buttons, MessageButtons::Ok);
    }
}

// A list that refuses the second entry it is given.
class RefusingList : public ISourceList {
public:
    int count() const override { return int(items.size()); }
    QString text(int position) const override { return items.at(position - 1); }
    void append(const QString& text) override {
        if (++appends == 2)
            throw Failure(7, "Out of memory");
        items << text;
    }
    QStringList items;
    int appends = 0;
};

TEST(AddFilesCommand, FailedAppendSkipsOnlyThatFile) {
    RecordingMessageBox box;
    ScriptedFileDialog dialog;
    RefusingList target;
    dialog.answer = {"/a.pst", "/b.pst", "/c.pst"};
    addPstFiles(dialog, target, box);
    EXPECT_EQ(target.items, QStringList({"/a.pst", "/c.pst"}));
    ASSERT_EQ(box.shown.size(), 1);
    EXPECT_TRUE(box.shown[0].text.startsWith(
        "Out of memory\r\nin Hollisk2021/08/31.Form1.PushButton1_Click at line 132\r\r"));
}

} // namespace
