#include "windowpointer.h"

#include <QWidget>

namespace talvenor {

QCursor WindowPointer::cursorFor(PointerMode mode) const {
    switch (mode) {
    case PointerMode::Busy:
        return QCursor(Qt::WaitCursor);
    case PointerMode::Hand:
        return hand_;
    case PointerMode::Default:
        break;
    }
    return QCursor(Qt::ArrowCursor);
}

void WindowPointer::setMode(PointerMode mode) {
    if (mode == mode_)
        return; // mouse moves ask for the same mode many times a second
    mode_ = mode;
    window_.setCursor(cursorFor(mode));
}

void WindowPointer::setHandCursor(const QCursor& cursor) {
    hand_ = cursor;
    if (mode_ == PointerMode::Hand)
        window_.setCursor(hand_);
}

} // namespace talvenor
