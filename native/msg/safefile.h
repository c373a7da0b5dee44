// A file that appears under its final name only when it is complete, and never over another.
#pragma once

#include "msgfile.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

namespace talvenor {
class Failure;
}

namespace talvenor::msg {

// The failure for a file-system error number met while saving path.
Failure fileFailure(int error, const QString& path);

// A new file under a temporary name in the target's folder. It is removed again unless
// commit() succeeds, so a failed save leaves nothing behind.
class PendingFile {
public:
    explicit PendingFile(const QString& target); // throws Failure
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    const QString& target() const { return target_; }
    // The plain sink over the temporary file.
    std::unique_ptr<OutputSink> sink() const;
    // Sets the modification time (a FILETIME); nothing when absent.
    void setModificationTime(std::optional<std::uint64_t> filetime);
    // Moves the file to the target name; throws Failure (FileExists when the name is taken).
    void commit();

private:
    QString target_;
    QByteArray targetPath_;
    QByteArray tempPath_;
    int fd_ = -1;
    bool committed_ = false;
};

} // namespace talvenor::msg
