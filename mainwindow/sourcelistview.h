#pragma once

#include "sourcelist.h"
#include "ui.h"

#include <QPersistentModelIndex>
#include <QTreeWidget>

#include <functional>

namespace talvenor {

inline const QString ListHeaderText = QStringLiteral("PST File(s)");
inline const QString ListToolTip =
    QStringLiteral("Drag and drop files here. Double-click item to remove it. Move | line to "
                   "right and out of window to reveal full names.");

// The source list as the user sees it: one headed column of file paths. The Delete key and a
// double-click remove the selected entry, dragging an entry moves its text through the list,
// and all of it waits while the window is busy.
class SourceListView : public QTreeWidget, public ISourceList {
    Q_OBJECT
public:
    SourceListView(IPointer& windowPointer, QWidget* parent = nullptr);

    int count() const override;
    QString text(int position) const override; // 1-based; Failure 35600 when out of range
    void append(const QString& text) override;

    // 1-based position of the selected entry, 0 when none is selected.
    int selectedPosition() const;
    // Removes the selected entry unless the window is busy or nothing is selected.
    void removeSelected();
    void clearAll();

    // While this answers true (a conversion run is under way) removal, clearing and drag
    // reordering do nothing, so that the run sees the entries it counted, in their order.
    void setLocked(std::function<bool()> locked) { locked_ = std::move(locked); }
    bool isLocked() const { return locked_ && locked_(); }

    // The file the drag cursor is loaded from (drag.ico beside the program by default).
    void setDragCursorFile(const QString& path) { dragCursorFile_ = path; }

protected:
    bool viewportEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void itemClick();
    void dragOver(const QPoint& pos);
    void scrollNearEdge(int position, int y);

    IPointer& windowPointer_;
    std::function<bool()> locked_;
    QString dragCursorFile_;
    bool pressed_ = false;
    // Follows the dragged entry itself, not its row: it stays right when entries above it
    // go, and turns invalid when the entry itself is removed.
    QPersistentModelIndex dragged_;
};

} // namespace talvenor
