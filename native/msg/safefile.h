// Files that appear under their final name only when they are complete, and never over another.
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

// What an output folder holds open.
class OutputFolder::Impl {
public:
    int fd = -1;
    FolderCalls calls;
    // Set once the file system has refused a file without a name; named temporaries then.
    bool unnamedRefused = false;
    ~Impl();
};

// Removes the temporaries that a killed run left in the folder. A temporary still being
// written is locked by its writer and stays.
void removeLeftovers(int folderFd);

// A new file in a folder that has no name there yet: a file without a name (O_TMPFILE) where
// the file system allows it, else a locked temporary whose name starts with ".talvenor-". It
// is dropped again unless commit() succeeds, so a failed save leaves nothing behind.
class PendingFile {
public:
    // shownPath names the target in failures. Throws Failure (FileExists when name is taken).
    PendingFile(OutputFolder::Impl& folder, const QString& name, const QString& shownPath);
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    // The plain sink over the new file.
    std::unique_ptr<OutputSink> sink() const;
    // Sets the modification time (a FILETIME); nothing when absent.
    void setModificationTime(std::optional<std::uint64_t> filetime);
    // Puts the bytes on the disk, then gives the file its name; throws Failure (FileExists
    // when the name was taken meanwhile; the file system's own failure when closing the file
    // fails, and then the name is removed again).
    void commit();

private:
    void publishUnnamed();
    void publishTemporary();

    OutputFolder::Impl& folder_;
    QString shownPath_;
    QByteArray name_;
    QByteArray tempName_; // empty for a file without a name
    int fd_ = -1;
    bool committed_ = false;
};

} // namespace talvenor::msg
