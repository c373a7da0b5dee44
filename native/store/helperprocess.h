// The reading helper as a process of its own: started with posix_spawn from its own program,
// with nothing of this process but one end of a socket pair, and ended with it.
#pragma once

#include "readalong.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>

namespace talvenor::nativestore::helper {

struct HelperCommand {
    QString program;
    QStringList arguments;
    // Called again and again while waiting for the helper (the program's event-loop yield).
    std::function<void()> whileWaiting;
    // The clock the helper's silence is measured by.
    std::function<std::chrono::steady_clock::time_point()> clock = [] {
        return std::chrono::steady_clock::now();
    };
};

// Starts the helper; its socket end is its descriptor 3, stdin and stdout are /dev/null, and
// stderr stays this process's. A helper that cannot be started is a source that ends at once
// and tells why.
std::unique_ptr<RecordSource> spawnHelper(const HelperCommand& command);

// The reading helper's program beside the running executable.
QString helperBesideProgram();

} // namespace talvenor::nativestore::helper
