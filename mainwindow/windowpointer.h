#pragma once

#include "ui.h"

#include <QCursor>

class QWidget;

namespace talvenor {

// The main window's pointer: mode 0 the arrow, 11 the wait cursor, 99 the hand image.
class WindowPointer : public IPointer {
public:
    explicit WindowPointer(QWidget& window) : window_(window) {}
    PointerMode mode() const override { return mode_; }
    void setMode(PointerMode mode) override;
    // The picture shown in mode 99; the platform's pointing hand until one is loaded.
    void setHandCursor(const QCursor& cursor);

private:
    QCursor cursorFor(PointerMode mode) const;

    QWidget& window_;
    PointerMode mode_ = PointerMode::Default;
    QCursor hand_{Qt::PointingHandCursor};
};

} // namespace talvenor
