#pragma once

#include "automation.h"

#include <memory>

namespace talvenor {

// The mail store the program converts with. This is the one place that chooses it.
std::unique_ptr<automation::ApplicationFactory> makeStoreFactory();

} // namespace talvenor
