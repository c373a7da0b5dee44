// Outlook item files (.msg): a message with its recipients, attachments, embedded messages and
// named properties, stored as a compound file. writeMsg never leaves a half-written file under
// the target name and never replaces an existing file.
#pragma once

#include "mapi/mapi.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace talvenor::msg {

// Where the bytes of a file being written go. Each call reports failure with errno set.
class OutputSink {
public:
    virtual ~OutputSink() = default;
    virtual bool write(const std::uint8_t* data, std::size_t size) = 0;
    virtual bool seek(std::int64_t offset) = 0; // absolute position
    virtual std::int64_t position() const = 0;
    // Writes out whatever the sink still holds.
    virtual bool flush() = 0;
};

struct WriteOptions {
    // Lets a caller put its own sink in front of the file (tests use it to make writes fail,
    // as a full disk would). Empty: bytes go straight to the file.
    std::function<std::unique_ptr<OutputSink>(std::unique_ptr<OutputSink> file)> interpose;
};

// Writes the message as a .msg file at path. Throws talvenor::Failure: failures::FileExists
// when the name is taken (the existing file is left alone); any other failure names the file
// and its cause, and no file (not even a temporary one) remains.
void writeMsg(const mapi::Message& message, const QString& path, const WriteOptions& options = {});

} // namespace talvenor::msg
