#include "systemfolderaccess.h"
#include "paths.h"
#include "systemerror.h"

#include <QFile>

#include <cerrno>
#include <unistd.h>

namespace talvenor {

std::optional<Cause> SystemFolderAccess::refusal(const QString& folder) const {
    if (folder.isEmpty() || !paths::isFolder(folder))
        return Cause::NotFound;
    // Creating a file needs write and search permission on the folder; access() also
    // answers no for a read-only mount, which the permission bits do not show.
    if (::access(QFile::encodeName(folder).constData(), W_OK | X_OK) == 0)
        return std::nullopt;
    return systemError(errno).cause;
}

} // namespace talvenor
