// libgsf gives storages a modification time but never a creation time; files of the mail
// program carry both on every storage. This mends the directory of a finished compound file.
#pragma once

#include "msgfile.h"

#include <cstdint>

namespace talvenor::msg {

// Gives every storage without a creation or modification time the time stamp (a FILETIME),
// and the root a modification time. False with errno set when the file cannot be read or
// written back, or is not laid out as a compound file.
bool stampStorageTimes(OutputSink& file, std::uint64_t stamp);

} // namespace talvenor::msg
