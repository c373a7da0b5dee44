#include "sourcelistview.h"

#include "failure.h"
#include "layout.h"
#include "paths.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPixmap>
#include <QToolTip>

namespace talvenor {

SourceListView::SourceListView(IPointer& windowPointer, QWidget* parent)
    : QTreeWidget(parent), windowPointer_(windowPointer),
      dragCursorFile_(paths::programFolder() + QStringLiteral("/drag.ico")) {
    setColumnCount(1);
    setHeaderLabels({ListHeaderText});
    header()->setStretchLastSection(false); // the column keeps its width; the list scrolls sideways
    setColumnWidth(0, twipsToPixels(ListColumnWidthTwips));
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setDragEnabled(false);           // never a drag source toward other programs
    setTextElideMode(Qt::ElideNone); // long paths are cut off at the column's edge
    setToolTip(ListToolTip);
    viewport()->setMouseTracking(true); // the pointer is reset on every move, button or not
}

int SourceListView::count() const {
    return topLevelItemCount();
}

QString SourceListView::text(int position) const {
    if (position < 1 || position > count())
        throw Failure(35600, QStringLiteral("Index out of bounds"));
    return topLevelItem(position - 1)->text(0);
}

void SourceListView::append(const QString& text) {
    auto* item = new QTreeWidgetItem(QStringList{text});
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    addTopLevelItem(item);
}

int SourceListView::selectedPosition() const {
    const QList<QTreeWidgetItem*> selected = selectedItems();
    return selected.isEmpty() ? 0 : indexOfTopLevelItem(selected.first()) + 1;
}

void SourceListView::removeSelected() {
    if (windowPointer_.isBusy() || isLocked())
        return;
    if (count() == 0)
        return;
    const int position = selectedPosition();
    if (position == 0)
        return;
    delete takeTopLevelItem(position - 1);
}

void SourceListView::clearAll() {
    if (isLocked())
        return;
    clear();
}

bool SourceListView::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        // One tip for the whole list, over entries and empty space alike.
        QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), toolTip(), this);
        return true;
    }
    return QTreeWidget::viewportEvent(event);
}

void SourceListView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Delete) {
        removeSelected();
        event->accept();
        return;
    }
    QTreeWidget::keyPressEvent(event);
}

void SourceListView::mousePressEvent(QMouseEvent* event) {
    pressed_ = true;
    QTreeWidget::mousePressEvent(event); // selects the entry under the pointer
    if (event->button() == Qt::LeftButton && itemAt(event->position().toPoint()))
        itemClick();
}

void SourceListView::mouseDoubleClickEvent(QMouseEvent* event) {
    pressed_ = true;
    // The selected entry goes, not necessarily the one under the pointer.
    removeSelected();
    event->accept();
}

void SourceListView::itemClick() {
    const QPixmap picture(dragCursorFile_);
    if (!picture.isNull())
        viewport()->setCursor(QCursor(picture, 0, 0));
    const int position = selectedPosition();
    dragged_ =
        position ? QPersistentModelIndex(model()->index(position - 1, 0)) : QPersistentModelIndex();
}

void SourceListView::mouseMoveEvent(QMouseEvent* event) {
    if (!windowPointer_.isBusy())
        windowPointer_.setMode(PointerMode::Default);
    if (!pressed_) {
        QTreeWidget::mouseMoveEvent(event);
        return;
    }
    // While the button is held the list's own drag selection stays out of the way.
    dragOver(event->position().toPoint());
    event->accept();
}

void SourceListView::dragOver(const QPoint& pos) {
    QTreeWidgetItem* under = itemAt(pos);
    if (!under || !dragged_.isValid() || isLocked())
        return;
    QTreeWidgetItem* dragged = topLevelItem(dragged_.row());
    if (!dragged || under->text(0) == dragged->text(0))
        return; // a duplicate of the dragged text is never exchanged with it
    const QString kept = dragged->text(0);
    dragged->setText(0, under->text(0));
    under->setText(0, kept);
    setCurrentItem(under);
    const int position = indexOfTopLevelItem(under) + 1;
    dragged_ = QPersistentModelIndex(model()->index(position - 1, 0));
    scrollNearEdge(position, pos.y());
}

void SourceListView::scrollNearEdge(int position, int y) {
    const int row = visualItemRect(topLevelItem(position - 1)).height();
    if (y < row && position >= 2)
        scrollToItem(topLevelItem(position - 2));
    else if (y >= viewport()->height() - row && position < count())
        scrollToItem(topLevelItem(position));
}

void SourceListView::mouseReleaseEvent(QMouseEvent* event) {
    pressed_ = false;
    viewport()->unsetCursor(); // back to the window's pointer
    QTreeWidget::mouseReleaseEvent(event);
}

} // namespace talvenor
