#pragma once

#include "failure.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

namespace talvenor::files {

// File attribute bits as the folder commands test them.
enum Attribute : int {
    ReadOnly = 1, // never set: permissions are not attributes here
    Hidden = 2,   // the name begins with "."
    System = 4,   // the desktop's trash folders (which count as hidden too)
    Directory = 16,
    Archive = 32, // every regular file
    Alias = 1024, // a symbolic link
};

// The attribute value of a path (without following a final symbolic link for Alias);
// 0 when the path does not exist.
int attributes(const QString& path);

// True when the path is one of the desktop's trash folders.
bool isTrashFolder(const QString& path);

// True when a regular file exists at the path (following links); reads no data.
bool fileExists(const QString& path);

// The attribute value of a path for which fileExists is true, or -1 when it is false: the two
// questions the folder commands ask of every file found, at the cost of one.
int existingFileAttributes(const QString& path);

// The names of the existing files directly in a folder that match a wildcard pattern
// ("*.pst", "*.*"), hidden ones included, directories never, sorted by name. Matching ignores
// case, and "*.*" matches every name with or without a dot. Names that are not valid UTF-8
// are left out. A folder that does not exist gives an empty list.
QStringList listFiles(const QString& folder, const QString& pattern);

// What one reading of a folder finds directly inside it, names as the file system spells them:
// the directories (links to directories included) and the regular files (links to files
// included), each in the order the file system yields them.
struct FolderListing {
    std::vector<QByteArray> folders;
    std::vector<QByteArray> files;
};

// A refusal of the file system (an errno value) as the folder commands number it: 70 for a
// denied permission, 76 for a missing path, 75 with the system's message for anything else.
Failure fileSystemFailure(int error);

// Reads the folder once. Throws Failure 70 when it may not be listed, 76 when it has vanished,
// 75 with the system's message otherwise; a failure in the middle ends the listing, what was
// read before is kept.
FolderListing readFolder(const QString& path);

// The files of a listing that match the pattern, as listFiles gives them.
QStringList matchingFiles(const FolderListing& listing, const QString& pattern);

// Windows wildcard semantics for one name.
bool matchesPattern(const QString& name, const QString& pattern);

} // namespace talvenor::files
