#pragma once

// The level-by-level folder scan of the folder-tree commands: a list of folder paths, each
// ending in "/", grown in place with every usable sub-folder below them.

#include "filelisting.h"
#include "ui.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

namespace talvenor::files {

// Which directory a path leads to, after following links.
struct FolderId {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    friend bool operator==(const FolderId&, const FolderId&) = default;
};
inline size_t qHash(const FolderId& id, size_t seed = 0) {
    return ::qHash(id.device, seed) ^ ::qHash(id.inode, seed + 1);
}

// What the scan knows of one folder, as the file system reports it.
struct FolderInfo {
    int attributes = 0;  // attribute bits of filelisting.h
    bool isRoot = false; // the root of the file system tree
    bool isLink = false; // reached through a symbolic link of its own name
    FolderId id;         // the directory it leads to
};

// The file-system side of the scan. The real one lists directories; tests derive from it to
// refuse or lose folders on purpose (running as root, chmod refuses nothing).
class IDirectoryLister {
public:
    virtual ~IDirectoryLister() = default;
    // True when the path names an existing directory (following links); never fails.
    virtual bool isFolder(const QString& path) = 0;
    // The folder at the path; Failure 76 when there is none.
    virtual FolderInfo folder(const QString& path) = 0;
    // What is directly inside, in one reading: the directories (links to directories
    // included) sorted byte-wise, and the files, as the file system spells them (not
    // necessarily UTF-8). Failure 70 when the folder may not be listed, 76 when it has
    // vanished, any other number with the system's message otherwise.
    virtual FolderListing list(const QString& path) = 0;
};

class SystemDirectoryLister : public IDirectoryLister {
public:
    bool isFolder(const QString& path) override;
    FolderInfo folder(const QString& path) override;
    FolderListing list(const QString& path) override;
};

// True when the name holds a control character (U+0000 to U+001F, U+007F to U+009F); false
// for an empty name. Every other character, "?" included, is safe.
bool HasUnsafeCharacters(const QString& name);

// One scan: remembers the directories it has entered, so that a symbolic link can never lead
// it back into a directory it has already seen, however the level-by-level calls are nested.
class FolderScan {
public:
    FolderScan(IMessageBox& messages, IEventLoop& events, IDirectoryLister& lister)
        : messages_(messages), events_(events), lister_(lister) {}

    // Appends every usable sub-folder below the entries of `folders`, one depth level after
    // the other (only the first level when Recursive is false). Entries that cannot be listed
    // (permission denied, vanished) are removed. Yields at every folder and sub-folder.
    void GetSubDirectories2016(QStringList& folders, bool Recursive);

    // The files of a folder entry the scan has listed that match the pattern, as listFiles
    // gives them, so that the file search does not read the folder again; empty when the scan
    // has not listed it.
    std::optional<QStringList> filesIn(const QString& entry, const QString& pattern) const;

private:
    bool eligible(const QString& path, const FolderInfo& info) const;
    void remember(const QString& path, const FolderInfo& info);
    // Every deeper level's folders are merged again into each level above; what the scan has
    // already learnt of a folder is not asked of the file system again.
    bool isFolder(const QString& path);
    FolderInfo folder(const QString& path);

    IMessageBox& messages_;
    IEventLoop& events_;
    IDirectoryLister& lister_;
    QHash<FolderId, QString> entered_;    // directory -> the path it was first entered by
    QHash<QString, FolderInfo> known_;    // path -> what the file system said of it
    QHash<QString, FolderListing> files_; // listed entry -> the files found in it
};

// A scan of its own over the real file system (or the given lister).
void GetSubDirectories2016(QStringList& folders, bool Recursive, IMessageBox& messages,
                           IEventLoop& events, IDirectoryLister* lister = nullptr);

} // namespace talvenor::files
