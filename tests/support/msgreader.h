// Reads message files back, for the tests and benchmarks that check what the writer wrote.
#pragma once

#include <mapi/mapi.h>

#include <QString>

namespace talvenor::msg {

// Reads a .msg file back. Named properties carry their names; their ids are those of the
// file's own mapping. Throws talvenor::Failure when the file cannot be read or is damaged.
mapi::Message readMsg(const QString& path);

} // namespace talvenor::msg
