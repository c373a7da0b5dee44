// The reading helper as a process of its own: started with posix_spawn from its own program,
// with nothing of this process but one end of a socket pair, and ended with it.
#pragma once

#include "readalong.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>

#include <sys/types.h>

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
    // How long, by that clock, the end of the helper is waited for (with the event loop's
    // turns) after it was stopped or closed its stream. A helper still there after that (stuck
    // in the kernel on a hung network share) is left to be reaped later, never waited for.
    std::chrono::milliseconds reapWithin = std::chrono::seconds(5);
    // Sends the helper a signal (kill(2)); a seam for the tests of a helper that does not die.
    std::function<int(pid_t pid, int signal)> sendSignal;
};

// Starts the helper; its socket end is its descriptor 3, stdin and stdout are /dev/null, and
// stderr stays this process's. A helper that cannot be started is a source that ends at once
// and tells why.
std::unique_ptr<RecordSource> spawnHelper(const HelperCommand& command);

// The reading helper's program beside the running executable.
QString helperBesideProgram();

} // namespace talvenor::nativestore::helper
