#pragma once

#include "ui.h"

#include <QCoreApplication>

namespace talvenor {

// Lets pending window events run: painting, clicks, the close box.
class QtEventLoop : public IEventLoop {
public:
    void yield() override { QCoreApplication::processEvents(); }
};

} // namespace talvenor
