#include "layout.h"
#include "qtfolderpicker.h"
#include "qtmessagebox.h"
#include "windowfixture.h"

#include <QAbstractButton>
#include <QGroupBox>
#include <QHeaderView>
#include <QRegularExpression>
#include <QToolTip>

using namespace talvenor;
using namespace talvenor::testing;

namespace {

struct DesignedControl {
    const char* name;
    const char* container;
    const char* caption; // text of buttons, title of frames; nullptr when the control has none
    int left, top, width, height; // twips, as designed
    qreal points;                 // font size
};

// The designed window: pixels are twips / 15, rounded.
const DesignedControl Designed[] = {
    {"ListView1", "Form1", nullptr, 120, 630, 7800, 2535, 9},
    {"PushButton1", "Form1", "Add PST File(s)", 120, 3250, 3840, 405, 11.25},
    {"PushButton6", "Form1", "Clear List", 120, 3760, 3840, 405, 11.25},
    {"Frame1", "Form1", "Save Option", 120, 4190, 7800, 1815, 9},
    {"Option1", "Frame1", "Save results to this folder:", 240, 300, 3615, 255, 9},
    {"Frame4", "Frame1", "", 480, 510, 6840, 810, 9},
    {"Text1", "Frame4", nullptr, 240, 300, 5670, 345, 9},
    {"PushButton9", "Frame4", "...", 6000, 300, 600, 345, 11.25},
    {"Option2", "Frame1", "Save results in folder of original file", 240, 1410, 3615, 255, 9},
};

class LayoutTest : public WindowTest {};

TEST_F(LayoutTest, EveryControlStandsWhereItWasDesigned) {
    for (const DesignedControl& d : Designed) {
        SCOPED_TRACE(d.name);
        auto* w = form->findChild<QWidget*>(QString::fromLatin1(d.name));
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->parentWidget()->objectName(), QString::fromLatin1(d.container));
        const QRect expected(qRound(d.left / 15.0), qRound(d.top / 15.0), qRound(d.width / 15.0),
                             qRound(d.height / 15.0));
        EXPECT_EQ(w->geometry(), expected);
        EXPECT_TRUE(w->isVisible());
        if (d.caption) {
            const QString caption = QString::fromUtf8(d.caption);
            if (auto* b = qobject_cast<QAbstractButton*>(w))
                EXPECT_EQ(b->text(), caption);
            else if (auto* g = qobject_cast<QGroupBox*>(w))
                EXPECT_EQ(g->title(), caption);
            else
                ADD_FAILURE() << "a caption for a control that has none";
        }
        EXPECT_EQ(w->font().family(), QStringLiteral("Arial"));
        EXPECT_TRUE(w->font().bold());
        EXPECT_DOUBLE_EQ(w->font().pointSizeF(), d.points);
    }
}

TEST_F(LayoutTest, WindowIsFixedWhiteAndTitled) {
    EXPECT_EQ(form->size(), QSize(536, 477));
    EXPECT_EQ(form->minimumSize(), form->maximumSize());
    EXPECT_EQ(form->palette().color(QPalette::Window), QColor(Qt::white));
    EXPECT_TRUE(form->autoFillBackground());
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Talvenor Software"));
    EXPECT_TRUE(form->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(form->Option1->isChecked()); // as designed, before any setting is restored
    EXPECT_FALSE(form->Option2->isChecked());
    EXPECT_TRUE(form->Text1->text().isEmpty());
}

TEST_F(LayoutTest, ListHasOneHeadedColumnAndItsTip) {
    SourceListView& l = list();
    EXPECT_EQ(l.columnCount(), 1);
    EXPECT_EQ(l.headerItem()->text(0), QStringLiteral("PST File(s)"));
    EXPECT_EQ(l.columnWidth(0), 467); // 7000 twips
    EXPECT_FALSE(l.header()->stretchLastSection());
    EXPECT_EQ(l.toolTip(), QStringLiteral("Drag and drop files here. Double-click item to remove "
                                          "it. Move | line to right and out of window to reveal "
                                          "full names."));
    EXPECT_EQ(l.selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_FALSE(l.rootIsDecorated());
}

TEST_F(LayoutTest, HoverTipShowsOverEntriesAndEmptySpace) {
    fill({"/p/a.pst"});
    for (const QPoint& at : {centreOf(1), QPoint(20, list().viewport()->height() - 5)}) {
        QToolTip::hideText();
        QHelpEvent tip(QEvent::ToolTip, at, list().viewport()->mapToGlobal(at));
        QApplication::sendEvent(list().viewport(), &tip);
        EXPECT_EQ(QToolTip::text(), list().toolTip());
    }
}

TEST_F(LayoutTest, TabVisitsTheControlsInDesignedOrder) {
    QStringList visited;
    QWidget* w = form->ListView1;
    for (int i = 0; i < 12; ++i) {
        visited << w->objectName();
        w = w->nextInFocusChain();
        while (w->focusPolicy() == Qt::NoFocus ||
               !w->objectName().contains(QRegularExpression("[0-9]$")))
            w = w->nextInFocusChain();
    }
    EXPECT_EQ(visited, QStringList({"ListView1", "PushButton1", "PushButton4", "PushButton2",
                                    "PushButton6", "PushButton7", "PushButton3", "Text1",
                                    "PushButton9", "Option1", "Option2", "ListView1"}));
}

TEST(MessageBoxText, LineBreaksAreOnlyTurnedIntoNewlinesWhenDrawn) {
    EXPECT_EQ(QtMessageBox::displayText("a\r\nb\r\rc"), QStringLiteral("a\nb\n\nc"));
    EXPECT_EQ(QtMessageBox::displayText("plain"), QStringLiteral("plain"));
}

TEST(FolderPickerResult, RootKeepsItsSlashOthersLoseTheirs) {
    const std::pair<QString, QString> cases[] = {
        {"", ""}, {"/", "/"}, {"/home/u/Mail", "/home/u/Mail"}, {"/home/u/Mail/", "/home/u/Mail"}};
    for (const auto& [chosen, expected] : cases)
        EXPECT_EQ(QtFolderPicker::normalised(chosen), expected) << chosen.toStdString();
}

} // namespace
