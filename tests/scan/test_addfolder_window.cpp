#include "layout.h"
#include "listdrop.h"
#include "tree.h"
#include "windowfixture.h"

#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

using namespace talvenor;
using namespace talvenor::testing;

namespace {

class AddFolderWindowTest : public WindowTest {
protected:
    // A drag over the list and, when it is accepted, the drop; true when the list took it.
    bool dragAndDrop(QMimeData& data) {
        QWidget* surface = list().viewport();
        const QPoint at = surface->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(surface, &enter);
        QDragMoveEvent move(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(surface, &move);
        QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(surface, &drop);
        EXPECT_EQ(enter.isAccepted(), move.isAccepted());
        EXPECT_EQ(enter.isAccepted(), drop.isAccepted());
        QCoreApplication::processEvents(); // the dropped paths are taken after the drop
        return drop.isAccepted();
    }
    bool dropPaths(const QStringList& paths) {
        QMimeData data;
        QList<QUrl> urls;
        for (const QString& p : paths)
            urls << QUrl::fromLocalFile(p);
        data.setUrls(urls);
        return dragAndDrop(data);
    }
};

TEST_F(AddFolderWindowTest, TheButtonStandsWhereItWasDesigned) {
    QPushButton* button = form->findChild<QPushButton*>("PushButton4");
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), "Add All PST File(s) In Folder");
    EXPECT_EQ(button->parentWidget(), form.get());
    EXPECT_EQ(button->geometry(), QRect(272, 217, 256, 27));
    EXPECT_EQ(button->font().pointSizeF(), 11.25);
    EXPECT_EQ(list().toolTip().isEmpty(), false);
}

TEST_F(AddFolderWindowTest, TheButtonAddsTheTreesPstFilesAndClearListWaits) {
    Tree t;
    t.file("Mail/a.pst");
    t.file("Mail/~a.pst");
    t.file("Mail/notes.txt");
    t.file("Mail/sub/b.PST");
    fill({"earlier.pst"});
    picker.answers.push_back(t.path("Mail"));
    bool busyThroughout = true;
    events.onYield = [&] {
        busyThroughout =
            busyThroughout && form->pointer().isBusy() && form->cursor().shape() == Qt::WaitCursor;
        form->PushButton6->click(); // "Clear List" in the middle of the scan
    };
    QTest::mouseClick(form->PushButton4, Qt::LeftButton);
    EXPECT_GT(events.yields, 0);
    EXPECT_TRUE(busyThroughout);
    EXPECT_EQ(texts(),
              (QStringList{"earlier.pst", t.path("Mail/a.pst"), t.path("Mail/sub/b.PST")}));
    EXPECT_FALSE(form->pointer().isBusy());
    EXPECT_EQ(storedAfterRestart("LastFolder"), t.path("Mail"));
    EXPECT_TRUE(messages.shown.isEmpty());
    // Once the scan is over, "Clear List" works again.
    events.onYield = nullptr;
    form->PushButton6->click();
    EXPECT_EQ(list().count(), 0);
}

TEST_F(AddFolderWindowTest, CancellingThePickerLeavesEverything) {
    settings->writeSetting("LastFolder", "/kept");
    picker.answers.push_back(QString());
    form->PushButton4->click();
    ASSERT_EQ(picker.calls.size(), 1);
    EXPECT_EQ(picker.calls[0], (std::pair<QString, QString>{"Please select folder:", "/kept"}));
    EXPECT_EQ(list().count(), 0);
    EXPECT_EQ(storedAfterRestart("LastFolder"), "/kept");
}

TEST_F(AddFolderWindowTest, DroppedFilesAndFolders) {
    Tree t;
    t.file("Mail/a.pst");
    t.file("Mail/~lock.pst");
    t.file("Mail/.x.pst");
    t.file("Mail/sub/c.doc");
    t.file("Other/x.txt");
    t.file("note.txt");
    struct Row {
        const char* what;
        QStringList dropped;
        QStringList expected;
    } rows[] = {
        {"a file", {"note.txt"}, {"note.txt"}},
        {"a file the folder command skips", {"Mail/~lock.pst"}, {"Mail/~lock.pst"}},
        {"a missing path", {"gone.pst"}, {"gone.pst"}},
        {"a file and a folder", {"note.txt", "Other"}, {"note.txt", "Other/x.txt"}},
        {"the same file twice", {"Mail/a.pst", "Mail/a.pst"}, {"Mail/a.pst", "Mail/a.pst"}},
        {"a folder", {"Mail"}, {"Mail/a.pst", "Mail/sub/c.doc"}},
        {"two folders", {"Mail", "Other"}, {"Mail/a.pst", "Mail/sub/c.doc", "Other/x.txt"}},
    };
    for (const Row& r : rows) {
        list().clearAll();
        QStringList dropped, expected;
        for (const QString& d : r.dropped)
            dropped << t.path(d);
        for (const QString& e : r.expected)
            expected << t.path(e);
        EXPECT_TRUE(dropPaths(dropped)) << r.what;
        EXPECT_EQ(texts(), expected) << r.what;
        EXPECT_FALSE(form->pointer().isBusy()) << r.what;
    }
}

TEST_F(AddFolderWindowTest, DropsWithoutLocalFilesAreRefused) {
    fill({"kept.pst"});
    QMimeData text;
    text.setText("/tmp/some.pst");
    EXPECT_FALSE(dragAndDrop(text));
    QMimeData web;
    web.setUrls({QUrl("https://example.com/a.pst")});
    EXPECT_FALSE(dragAndDrop(web));
    QMimeData nothing;
    EXPECT_FALSE(dragAndDrop(nothing));
    EXPECT_EQ(texts(), QStringList{"kept.pst"});
}

TEST_F(AddFolderWindowTest, ADropNeitherWaitsForNorSetsBusy) {
    Tree t;
    t.file("Mail/a.pst");
    form->pointer().setMode(PointerMode::Busy);
    EXPECT_TRUE(dropPaths({t.path("Mail")}));
    EXPECT_EQ(texts(), QStringList{t.path("Mail/a.pst")});
    EXPECT_TRUE(form->pointer().isBusy());
}

TEST(ListDropTarget, OnlyLocalPathsCount) {
    QMimeData mixed;
    mixed.setUrls({QUrl("https://example.com/a.pst"), QUrl::fromLocalFile("/tmp/b.pst"),
                   QUrl::fromLocalFile("/tmp/dir/")});
    EXPECT_EQ(ListDropTarget::localPaths(&mixed), (QStringList{"/tmp/b.pst", "/tmp/dir/"}));
    EXPECT_TRUE(ListDropTarget::localPaths(nullptr).isEmpty());
}

} // namespace
