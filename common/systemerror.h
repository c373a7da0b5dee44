#pragma once

#include "failure.h"

#include <QString>

#include <cstdint>

namespace talvenor {

// What an errno value means to this program: the cause and the number of the failure it
// becomes. The one place that maps the system's error codes; callers word the description for
// what they were doing.
struct SystemError {
    Cause cause = Cause::Other;
    std::int32_t number = failures::FileAccess;
};
SystemError systemError(int error);

// The system's own text for an errno value ("Read-only file system").
QString systemErrorText(int error);

} // namespace talvenor
