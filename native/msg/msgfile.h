// Outlook item files (.msg): a message with its recipients, attachments, embedded messages and
// named properties, stored as a compound file. A file appears under its name only when it is
// complete (a killed run leaves nothing else behind), and never replaces an existing file.
#pragma once

#include "compoundfile.h"
#include "mapi/mapi.h"

#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace talvenor::msg {

// Where the bytes of a file being written go, in order, in a few writes (the file's structures,
// then each large value from where it is held).
// Each call reports failure with errno set.
class OutputSink {
public:
    virtual ~OutputSink() = default;
    virtual bool write(const std::uint8_t* data, std::size_t size) = 0;
    // Several pieces in order (as the compound file hands them over), as one write where the
    // sink can (the file: one system call).
    using Piece = cfb::Tree::Piece;
    virtual bool write(std::span<const Piece> pieces) {
        for (const Piece& p : pieces)
            if (!write(p.data, p.size))
                return false;
        return true;
    }
    virtual std::int64_t position() const = 0;
    // Writes out whatever the sink still holds.
    virtual bool flush() = 0;
};

struct WriteOptions {
    // Lets a caller put its own sink in front of the file (tests use it to make writes fail,
    // as a full disk would). Empty: bytes go straight to the file.
    std::function<std::unique_ptr<OutputSink>(std::unique_ptr<OutputSink> file)> interpose;
    // The time of the save (a FILETIME), which the storages inside the file carry. Empty: the
    // clock's. The file's own date is the message's either way.
    std::optional<std::uint64_t> savedAt;
};

// The system calls by which a folder creates and publishes its files; tests replace them to
// play file systems that refuse them. Each returns what the call returns, with errno set.
struct FolderCalls {
    // A new file without a name in the folder (O_TMPFILE). Empty: the real call.
    std::function<int(int folderFd)> openUnnamed;
    // Closes a saved file's descriptor (close(2)), where a network file system reports a
    // failed write. Empty: the real call.
    std::function<int(int fd)> closeFile;
};

// An output folder, opened once (a symbolic link in its place is refused) with every name
// resolved inside it, so that the folder cannot be swapped for another while a run writes.
class OutputFolder {
public:
    // Throws talvenor::Failure when the folder cannot be opened.
    explicit OutputFolder(const QString& path, FolderCalls calls = {});
    ~OutputFolder();
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;

    const QString& path() const { return path_; }
    // Saves the message as the file name (one name, no folders) in this folder. Its bytes
    // are on the disk before the name appears. Throws talvenor::Failure: failures::FileExists
    // when the name is taken (the existing file is left alone); any other failure names the
    // file and its cause, and no file (not even a temporary one) remains.
    void save(const mapi::Message& message, const QString& name, const WriteOptions& options = {});
    // Makes every name published so far survive a power cut (syncfs of the folder's file
    // system); throws talvenor::Failure when the disk reports a failed write.
    void sync();

    class Impl; // the open folder and how it publishes files

private:
    friend class MessageFiles;
    friend void writeMsg(const mapi::Message&, const QString&, const WriteOptions&);
    // Failures to open name shownPath; leftovers of killed runs are removed when asked.
    OutputFolder(const QString& path, FolderCalls calls, const QString& shownPath,
                 bool removeLeftovers);

    QString path_;
    std::unique_ptr<Impl> impl_;
};

// The output folders of a PST file's conversion: each is opened when the first message goes
// into it and kept until close(), so that a folder renamed and made anew between two files
// (or two runs of the window) receives the later files under its name.
class MessageFiles {
public:
    MessageFiles();
    ~MessageFiles();
    MessageFiles(const MessageFiles&) = delete;
    MessageFiles& operator=(const MessageFiles&) = delete;
    // Saves the message at path, as OutputFolder::save does.
    void save(const mapi::Message& message, const QString& path);
    // Syncs every folder written into since the last sync (at the end of each store).
    void sync();
    // Closes every folder; the next save opens its folder anew, by its path.
    void close();
    // How many folders are open (for the tests).
    std::size_t openFolders() const;

private:
    struct Folder;
    std::vector<Folder> folders_;
};

// Writes the message as a .msg file at path (a folder opened for this one file).
void writeMsg(const mapi::Message& message, const QString& path, const WriteOptions& options = {});

} // namespace talvenor::msg
