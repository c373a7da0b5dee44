#pragma once

#include "ui.h"

namespace talvenor {

// Ends the program at once. Every setting is already on disk when it changes, and a message
// file only ever appears under its final name when it is complete, so nothing is lost.
class QtProcess : public IProcess {
public:
    void exit(int code) override;
};

} // namespace talvenor
