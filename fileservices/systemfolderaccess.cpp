#include "systemfolderaccess.h"
#include "paths.h"

#include <QFile>

#include <unistd.h>

namespace talvenor {

bool SystemFolderAccess::canWrite(const QString& folder) const {
    if (folder.isEmpty() || !paths::isFolder(folder))
        return false;
    // Creating a file needs write and search permission on the folder; access() also
    // answers no for a read-only mount, which the permission bits do not show.
    return ::access(QFile::encodeName(folder).constData(), W_OK | X_OK) == 0;
}

} // namespace talvenor
