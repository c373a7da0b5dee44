#pragma once

#include <QObject>
#include <QStringList>

#include <functional>

class QAbstractItemView;
class QMimeData;

namespace talvenor {

// Lets files and folders from the desktop's file manager be dropped on a list: only drags
// that carry local file paths are accepted, every other drag is refused. The paths reach the
// handler after the drop has finished, so that a long folder scan never keeps the dragging
// program waiting.
class ListDropTarget : public QObject {
    Q_OBJECT
public:
    ListDropTarget(QAbstractItemView& list, std::function<void(const QStringList&)> onDrop);

    // The local file paths a drag carries, in its order; empty when it carries none.
    static QStringList localPaths(const QMimeData* data);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::function<void(const QStringList&)> onDrop_;
};

} // namespace talvenor
