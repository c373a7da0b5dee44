// The reading helper's program: checks its arguments, ties its life to the program's, and runs
// the producer over the store into its socket until everything is read, the store cannot be
// opened, or it has grown large enough to make room for a fresh helper.
#pragma once

#include "arguments.h"

#include <producer.h>

#include <chrono>
#include <functional>

namespace talvenor::nativestore::reader {

// Where a test-only build of the helper puts its faults in; the shipped program has none.
struct ReaderHooks {
    // Before the store is opened; resumed: this helper goes on after an item.
    std::function<void(bool resumed)> beforeOpening;
    // Before each item is read.
    std::function<void(int index, Producer& producer)> beforeItem;
    // The clock the producer measures the time between its progress records by.
    std::function<std::chrono::steady_clock::time_point()> clock;
};

// Returns the exit code (helper::exits).
int readerMain(int argc, char** argv, const ReaderHooks& hooks = {});

} // namespace talvenor::nativestore::reader
