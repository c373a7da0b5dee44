#include "windowfixture.h"

#include <QScrollBar>

using namespace talvenor;
using namespace talvenor::testing;

namespace {

class SourceListTest : public WindowTest {};

enum class Removal { DeleteKey, ShiftDelete, DoubleClick, OtherKey };

struct RemovalCase {
    const char* name;
    QStringList items;
    int selected; // 0: none
    bool busy;
    Removal how;
    QStringList expected;
};

TEST_F(SourceListTest, DeleteKeyAndDoubleClickRemoveTheSelectedEntry) {
    const QStringList abc{"/p/A.pst", "/p/B.pst", "/p/C.pst"};
    const RemovalCase cases[] = {
        {"empty list, Delete", {}, 0, false, Removal::DeleteKey, {}},
        {"empty list, double-click", {}, 0, false, Removal::DoubleClick, {}},
        {"busy, Delete", abc, 2, true, Removal::DeleteKey, abc},
        {"busy, double-click", abc, 2, true, Removal::DoubleClick, abc},
        {"middle of three, Delete", abc, 2, false, Removal::DeleteKey, {"/p/A.pst", "/p/C.pst"}},
        {"middle of three, double-click",
         abc,
         2,
         false,
         Removal::DoubleClick,
         {"/p/A.pst", "/p/C.pst"}},
        {"last entry, Delete", abc, 3, false, Removal::DeleteKey, {"/p/A.pst", "/p/B.pst"}},
        {"first entry, Shift+Delete",
         abc,
         1,
         false,
         Removal::ShiftDelete,
         {"/p/B.pst", "/p/C.pst"}},
        {"nothing selected, Delete", abc, 0, false, Removal::DeleteKey, abc},
        {"another key", abc, 2, false, Removal::OtherKey, abc},
    };
    for (const RemovalCase& c : cases) {
        SCOPED_TRACE(c.name);
        list().clearAll();
        fill(c.items);
        list().clearSelection();
        if (c.selected)
            list().setCurrentItem(list().topLevelItem(c.selected - 1));
        form->pointer().setMode(c.busy ? PointerMode::Busy : PointerMode::Default);
        switch (c.how) {
        case Removal::DeleteKey:
            QTest::keyClick(&list(), Qt::Key_Delete);
            break;
        case Removal::ShiftDelete:
            QTest::keyClick(&list(), Qt::Key_Delete, Qt::ShiftModifier);
            break;
        case Removal::OtherKey:
            QTest::keyClick(&list(), Qt::Key_Backspace);
            break;
        case Removal::DoubleClick:
            doubleClick(c.items.isEmpty() ? QPoint(20, 20) : centreOf(c.selected));
            break;
        }
        EXPECT_EQ(texts(), c.expected);
        if (c.selected == 2 && !c.busy && c.how != Removal::OtherKey) {
            EXPECT_EQ(list().text(2), QStringLiteral("/p/C.pst"));
        }
    }
    EXPECT_TRUE(messages.shown.isEmpty());
}

TEST_F(SourceListTest, DoubleClickOnEmptySpaceRemovesTheEntryStillSelected) {
    fill({"/p/A.pst", "/p/B.pst"});
    list().setCurrentItem(list().topLevelItem(0));
    const QPoint below(20, list().viewport()->height() - 5);
    ASSERT_EQ(list().itemAt(below), nullptr);
    mouse(QEvent::MouseButtonDblClick, below, Qt::LeftButton);
    release(below);
    EXPECT_EQ(texts(), QStringList({"/p/B.pst"}));
}

TEST_F(SourceListTest, ClearListEmptiesTheListUnlessBusy) {
    const struct {
        bool busy;
        int expectedCount;
    } cases[] = {{false, 0}, {true, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.busy ? "busy" : "idle");
        list().clearAll();
        fill({"/a.pst", "/b.pst", "/a.pst"});
        form->pointer().setMode(c.busy ? PointerMode::Busy : PointerMode::Default);
        QTest::mouseClick(form->PushButton6, Qt::LeftButton);
        EXPECT_EQ(list().count(), c.expectedCount);
    }
    EXPECT_TRUE(messages.shown.isEmpty());
}

TEST_F(SourceListTest, ListHasItemComparesExactly) {
    fill({"/m/a.pst", "/m/b.pst", "/m/a.pst"});
    const std::pair<QString, bool> cases[] = {{"/m/a.pst", true},   {"/m/b.pst", true},
                                              {"/M/A.PST", false},  {"/m/a.pst ", false},
                                              {"/m//a.pst", false}, {"", false}};
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(ListHasItem(list(), text), expected) << text.toStdString();
    list().clearAll();
    EXPECT_FALSE(ListHasItem(list(), "/m/a.pst"));
    EXPECT_THROW(list().text(1), Failure);
}

struct DragCase {
    const char* name;
    QStringList items;
    int pressOn;          // 0: empty space below the entries
    QList<int> movesOver; // positions passed with the button held
    QStringList expected;
    int expectedSelected; // -1: where the release leaves the selection is the toolkit's
};

TEST_F(SourceListTest, DraggingMovesTheTextThroughTheList) {
    const DragCase cases[] = {
        {"A,B,C: A dragged over B then C", {"A", "B", "C"}, 1, {2, 3}, {"B", "C", "A"}, 3},
        {"A,B,C: C dragged up to the top", {"A", "B", "C"}, 3, {2, 1}, {"C", "A", "B"}, 1},
        {"A,A,B: A over its duplicate", {"A", "A", "B"}, 1, {2}, {"A", "A", "B"}, 1},
        {"A,A,B: A over the duplicate then B", {"A", "A", "B"}, 1, {2, 3}, {"B", "A", "A"}, 3},
        {"press on no entry", {"A", "B", "C"}, 0, {1, 2}, {"A", "B", "C"}, -1},
        {"back and forth", {"A", "B", "C"}, 1, {2, 1, 2}, {"B", "A", "C"}, 2},
    };
    for (const DragCase& c : cases) {
        SCOPED_TRACE(c.name);
        // A fresh window, so that no dragged entry is left over from the case before.
        SetUp();
        fill(c.items);
        const QPoint start =
            c.pressOn ? centreOf(c.pressOn) : QPoint(20, list().viewport()->height() - 5);
        press(start);
        QPoint last = start;
        for (int over : c.movesOver) {
            last = centreOf(over);
            moveHeld(last);
        }
        release(last);
        EXPECT_EQ(texts(), c.expected);
        if (c.expectedSelected >= 0) {
            EXPECT_EQ(list().selectedPosition(), c.expectedSelected);
        }
    }
}

TEST_F(SourceListTest, MovesWithoutTheButtonSwapNothing) {
    fill({"A", "B", "C"});
    press(centreOf(1));
    release(centreOf(1));
    moveFree(centreOf(2));
    moveFree(centreOf(3));
    EXPECT_EQ(texts(), QStringList({"A", "B", "C"}));
}

TEST_F(SourceListTest, DraggedEntryIsFollowedNotItsRow) {
    fill({"A", "B", "C", "D"});
    press(centreOf(3)); // C
    release(centreOf(3));
    list().setCurrentItem(list().topLevelItem(0));
    QTest::keyClick(&list(), Qt::Key_Delete);           // A goes; C is now second
    press(QPoint(20, list().viewport()->height() - 5)); // a press that clicks no entry
    moveHeld(centreOf(3));                              // over D
    release(centreOf(3));
    EXPECT_EQ(texts(), QStringList({"B", "D", "C"}));
}

TEST_F(SourceListTest, MovingOverTheListResetsThePointerUnlessBusy) {
    fill({"A"});
    const struct {
        PointerMode before, after;
    } cases[] = {{PointerMode::Hand, PointerMode::Default},
                 {PointerMode::Default, PointerMode::Default},
                 {PointerMode::Busy, PointerMode::Busy}};
    for (const auto& c : cases) {
        form->pointer().setMode(c.before);
        moveFree(centreOf(1));
        EXPECT_EQ(form->pointer().mode(), c.after);
    }
    form->pointer().setMode(PointerMode::Busy);
    EXPECT_EQ(form->cursor().shape(), Qt::WaitCursor);
}

TEST_F(SourceListTest, DragCursorComesFromTheFileBesideTheProgramAndEndsOnRelease) {
    fill({"A", "B"});
    press(centreOf(1));
    EXPECT_TRUE(list().viewport()->testAttribute(Qt::WA_SetCursor));
    EXPECT_EQ(list().viewport()->cursor().shape(), Qt::BitmapCursor);
    release(centreOf(1));
    EXPECT_FALSE(list().viewport()->testAttribute(Qt::WA_SetCursor));

    list().setDragCursorFile(dir.filePath("missing.ico")); // keeps the arrow
    press(centreOf(2));
    EXPECT_FALSE(list().viewport()->testAttribute(Qt::WA_SetCursor));
    release(centreOf(2));
}

TEST_F(SourceListTest, SwapsNearAnEdgeScrollTheNextEntryIntoView) {
    QStringList many;
    for (int i = 1; i <= 60; ++i)
        many << QStringLiteral("/p/%1.pst").arg(i);
    struct ScrollCase {
        const char* name;
        bool duplicateBelow; // the entry passed over has the dragged text
        bool nearBottom;     // pointer within one row of the bottom edge, else mid-list
        bool scrolls;
    };
    const ScrollCase cases[] = {
        {"swap near the bottom edge", false, true, true},
        {"swap in the middle", false, false, false},
        {"no swap near the bottom edge", true, true, false},
    };
    for (const ScrollCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        fill(many);
        list().scrollToTop();
        const int row = list().visualItemRect(list().topLevelItem(0)).height();
        const int height = list().viewport()->height();
        const QPoint target(20, c.nearBottom ? height - row / 2 - 1 : height / 2);
        QTreeWidgetItem* under = list().itemAt(target);
        ASSERT_NE(under, nullptr);
        if (c.duplicateBelow)
            under->setText(0, many[0]);
        press(centreOf(1));
        moveHeld(target);
        release(target);
        EXPECT_EQ(list().verticalScrollBar()->value() > 0, c.scrolls);
    }
}

TEST_F(SourceListTest, SwapNearTheTopEdgeScrollsTheEntryAboveIntoView) {
    QStringList many;
    for (int i = 1; i <= 60; ++i)
        many << QStringLiteral("/p/%1.pst").arg(i);
    fill(many);
    list().scrollToItem(list().topLevelItem(59));
    const int before = list().verticalScrollBar()->value();
    ASSERT_GT(before, 0);
    QTreeWidgetItem* last = list().topLevelItem(59);
    const QPoint top(20, list().visualItemRect(list().itemAt(QPoint(20, 2))).center().y());
    press(list().visualItemRect(last).center());
    moveHeld(top);
    release(top);
    EXPECT_LT(list().verticalScrollBar()->value(), before);
}

} // namespace
