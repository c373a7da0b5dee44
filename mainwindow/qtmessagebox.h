#pragma once

#include "ui.h"

namespace talvenor {

// Messages as modal Qt message boxes over the active window. The texts keep their CR LF and
// bare CR characters until they are drawn.
class QtMessageBox : public IMessageBox {
public:
    MessageAnswer show(const Message& message) override;
    // The text as the box draws it: every CR LF and every bare CR is one line break.
    static QString displayText(const QString& text);
};

} // namespace talvenor
