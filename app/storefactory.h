#pragma once

#include "automation.h"
#include "ui.h"

#include <memory>

namespace talvenor {

// The mail store the program converts with. This is the one place that chooses it. While it
// waits for the reading helper it gives the event loop its turns.
std::unique_ptr<automation::ApplicationFactory> makeStoreFactory(IEventLoop& events);

} // namespace talvenor
