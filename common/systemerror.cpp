#include "systemerror.h"

#include <cerrno>
#include <cstring>

namespace talvenor {

SystemError systemError(int error) {
    switch (error) {
    case EEXIST:
        return {Cause::FileExists, failures::FileExists};
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return {Cause::DiskFull, failures::DiskFull};
    case EACCES:
    case EPERM:
        return {Cause::PermissionDenied, failures::PermissionDenied};
    // A read-only mount refuses every write whatever the permissions say; the user must be
    // told which it is, or they go looking at the permissions.
    case EROFS:
        return {Cause::ReadOnly, failures::PermissionDenied};
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
        return {Cause::NotFound, failures::PathNotFound};
    case ENAMETOOLONG:
    case EINVAL:
    case EILSEQ:
        return {Cause::BadFileName, failures::BadFileName};
    case ENOMEM:
        return {Cause::OutOfMemory, failures::OutOfMemory};
    default:
        return {Cause::Other, failures::FileAccess};
    }
}

QString systemErrorText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace talvenor
