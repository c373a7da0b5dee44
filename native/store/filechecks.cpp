#include "filechecks.h"

#include "nativestore.h"

#include <failure.h>
#include <systemerror.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talvenor::nativestore {

namespace {
// Closes the descriptor of the checks on every path out.
struct FileDescriptor {
    int fd = -1;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    explicit FileDescriptor(int f) : fd(f) {}
    ~FileDescriptor() {
        if (fd >= 0)
            ::close(fd);
    }
};

[[noreturn]] void failOpen(const QString& path, int error) {
    const SystemError system = systemError(error);
    switch (system.cause) {
    case Cause::PermissionDenied:
        throw Failure(Cause::PermissionDenied, failures::PermissionDenied,
                      QStringLiteral("Permission denied: the file %1 may not be read.")
                          .arg(quotedName(path)));
    case Cause::NotFound:
        throw Failure(Cause::NotFound, storefailures::FileNotFound,
                      QStringLiteral("The file %1 does not exist.").arg(quotedName(path)));
    default:
        throw Failure(system.cause, storefailures::NotAStore,
                      QStringLiteral("The file %1 cannot be opened: %2.")
                          .arg(quotedName(path), systemErrorText(error)));
    }
}
} // namespace

QString quotedName(const QString& path) {
    return QChar(0x201C) + path + QChar(0x201D);
}

bool heldByAnotherProgram(int fd) {
    // A shared flock conflicts only with an exclusive one held through another open file.
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            return true;
    } else {
        ::flock(fd, LOCK_UN);
    }
    // Asking for a read lock reports any write lock of another process or file description.
    struct flock probe {};
    probe.l_type = F_RDLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = 0;
    probe.l_len = 0;
    if (::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK)
        return true;
    return false;
}

void checkStoreFile(const QString& path) {
    const QByteArray native = path.toLocal8Bit();
    if (path.isEmpty())
        throw Failure(Cause::NotFound, storefailures::FileNotFound,
                      QStringLiteral("No store file was named."));
    struct stat info {};
    if (::stat(native.constData(), &info) != 0)
        failOpen(path, errno);
    if (S_ISDIR(info.st_mode))
        throw Failure(Cause::NotAStore, storefailures::NotAStore,
                      QStringLiteral("%1 is a folder, not a PST file.").arg(quotedName(path)));
    if (!S_ISREG(info.st_mode))
        throw Failure(Cause::NotAStore, storefailures::NotAStore,
                      QStringLiteral("%1 is not a PST file.").arg(quotedName(path)));

    FileDescriptor file(::open(native.constData(), O_RDONLY | O_CLOEXEC));
    if (file.fd < 0)
        failOpen(path, errno);
    if (heldByAnotherProgram(file.fd))
        throw Failure(
            Cause::InUse, failures::InUse,
            QStringLiteral("The file %1 is in use by another program.").arg(quotedName(path)));
    if (info.st_size == 0)
        throw Failure(
            Cause::NotAStore, storefailures::NotAStore,
            QStringLiteral("The file %1 is empty, not a PST file.").arg(quotedName(path)));
    char magic[4] = {};
    const ssize_t got = ::pread(file.fd, magic, sizeof magic, 0);
    if (got < 0)
        failOpen(path, errno);
    if (got != 4 || std::memcmp(magic, "!BDN", 4) != 0)
        throw Failure(Cause::NotAStore, storefailures::NotAStore,
                      QStringLiteral("The file %1 is not a PST file.").arg(quotedName(path)));
}

} // namespace talvenor::nativestore
