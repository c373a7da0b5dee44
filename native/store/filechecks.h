// What is found out about a store file before the reader sees it: that it exists, may be read,
// is not held by another program and looks like a personal-folders file.
#pragma once

#include <QString>

namespace talvenor::nativestore {

// Throws talvenor::Failure with a description naming the file.
void checkStoreFile(const QString& path);

// True when another process holds an exclusive advisory lock (flock, or a POSIX or
// open-file-description write lock) on the open file fd.
bool heldByAnotherProgram(int fd);

// "“/path/name.pst”": how descriptions name a file.
QString quotedName(const QString& path);

} // namespace talvenor::nativestore
