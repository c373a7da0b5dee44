#include "safefile.h"

#include "failure.h"
#include "systemerror.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace talvenor::msg {

namespace {

// Writes straight to the file: the message file arrives whole, in one piece.
class FdSink final : public OutputSink {
public:
    explicit FdSink(int fd) : fd_(fd) {}
    bool write(const std::uint8_t* data, std::size_t size) override {
        while (size > 0) {
            const ssize_t n = ::pwrite(fd_, data, size, pos_);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            data += n;
            size -= std::size_t(n);
            pos_ += n;
        }
        return true;
    }
    // The whole file in as few calls as the system allows (1,024 pieces each).
    bool write(std::span<const Piece> pieces) override {
        std::vector<iovec> all;
        all.reserve(pieces.size());
        for (const Piece& p : pieces)
            if (p.size > 0)
                all.push_back({const_cast<std::uint8_t*>(p.data), p.size});
        std::size_t at = 0;
        while (at < all.size()) {
            const int n = int(std::min<std::size_t>(all.size() - at, IOV_MAX));
            const ssize_t done = ::pwritev(fd_, all.data() + at, n, pos_);
            if (done < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            pos_ += done;
            // A short write: go on from where it stopped.
            for (std::size_t left = std::size_t(done); left > 0;) {
                iovec& v = all[at];
                const std::size_t used = std::min(left, v.iov_len);
                v.iov_base = static_cast<std::uint8_t*>(v.iov_base) + used;
                v.iov_len -= used;
                left -= used;
                if (v.iov_len == 0)
                    ++at;
            }
        }
        return true;
    }
    std::int64_t position() const override { return pos_; }
    bool flush() override { return true; }

private:
    int fd_;
    std::int64_t pos_ = 0;
};

// A descriptor that is closed on destruction.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

constexpr char TempPrefix[] = ".talvenor-";
constexpr char TempSuffix[] = ".tmp";

bool isTemporaryName(const char* name) {
    const std::size_t n = std::strlen(name), p = sizeof TempPrefix - 1, s = sizeof TempSuffix - 1;
    return n > p + s && std::strncmp(name, TempPrefix, p) == 0 &&
           std::strcmp(name + n - s, TempSuffix) == 0;
}

// Some file systems cannot make files without a name; they answer O_TMPFILE with these.
bool refusesUnnamed(int error) {
    return error == EOPNOTSUPP || error == EISDIR;
}

} // namespace

Failure fileFailure(int error, const QString& path) {
    const SystemError e = systemError(error);
    const QString system = systemErrorText(error);
    QString text;
    switch (e.cause) {
    case Cause::FileExists:
        text = QStringLiteral("The file \"%1\" exists already.").arg(path);
        break;
    case Cause::DiskFull:
        text = QStringLiteral("Cannot save \"%1\": the disk is full (%2).").arg(path, system);
        break;
    case Cause::PermissionDenied:
        text = QStringLiteral("Cannot save \"%1\": permission denied (%2).").arg(path, system);
        break;
    case Cause::ReadOnly:
        text = QStringLiteral("Cannot save \"%1\": the file system is read-only.").arg(path);
        break;
    case Cause::NotFound:
        text =
            QStringLiteral("Cannot save \"%1\": the folder does not exist (%2).").arg(path, system);
        break;
    case Cause::BadFileName:
        text = QStringLiteral("Cannot save \"%1\": the file system refuses this name (%2).")
                   .arg(path, system);
        break;
    default:
        text = QStringLiteral("Cannot save \"%1\": %2.").arg(path, system);
        break;
    }
    return Failure(e.cause, e.number, text);
}

OutputFolder::Impl::~Impl() {
    if (fd >= 0)
        ::close(fd);
}

void removeLeftovers(int folderFd) {
    Fd copy(::dup(folderFd));
    if (copy.get() < 0)
        return;
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(copy.get()));
    if (!dir)
        return;
    copy.release(); // the directory stream owns it now
    while (const dirent* entry = ::readdir(dir.get())) {
        if (!isTemporaryName(entry->d_name))
            continue;
        Fd file(::openat(folderFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st;
        if (file.get() < 0 || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        // Its writer holds a lock for as long as it lives; a free lock means a dead writer.
        if (::flock(file.get(), LOCK_EX | LOCK_NB) == 0)
            ::unlinkat(folderFd, entry->d_name, 0);
    }
}

PendingFile::PendingFile(OutputFolder::Impl& folder, const QString& name, const QString& shownPath)
    : folder_(folder), shownPath_(shownPath), name_(QFile::encodeName(name)) {
    if (name_.isEmpty() || name_ == "." || name_ == ".." || name_.contains('/'))
        throw fileFailure(EINVAL, shownPath_);
    // Whether the name is free is asked only once, atomically, by commit(): a look-up here
    // would search the folder a second time for every file, which in a folder of many
    // thousands costs as much as the link itself, and the walk knows the folder's names.
    // Created like any new file (mode 0666 less the umask), since it becomes the result.
    if (!folder_.unnamedRefused) {
        fd_ = folder_.calls.openUnnamed
                  ? folder_.calls.openUnnamed(folder_.fd)
                  : ::openat(folder_.fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (fd_ >= 0)
            return;
        if (!refusesUnnamed(errno))
            throw fileFailure(errno, shownPath_);
        folder_.unnamedRefused = true;
    }
    // A short name of our own, so that a long target name cannot make the temporary fail.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray candidate =
            TempPrefix + QByteArray::number(QRandomGenerator::system()->generate64(), 36) +
            TempSuffix;
        Fd fd(::openat(folder_.fd, candidate.constData(),
                       O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (fd.get() < 0) {
            if (errno == EEXIST)
                continue;
            throw fileFailure(errno, shownPath_);
        }
        // The lock tells a later run that this temporary is still being written. A run that
        // cleaned up between the open and the lock has taken the name away: try another.
        struct stat own, named;
        if (::flock(fd.get(), LOCK_EX) != 0 || ::fstat(fd.get(), &own) != 0)
            throw fileFailure(errno, shownPath_);
        if (::fstatat(folder_.fd, candidate.constData(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            named.st_ino != own.st_ino || named.st_dev != own.st_dev)
            continue;
        tempName_ = candidate;
        fd_ = fd.release();
        return;
    }
    throw fileFailure(EEXIST, shownPath_);
}

PendingFile::~PendingFile() {
    if (!committed_ && !tempName_.isEmpty())
        ::unlinkat(folder_.fd, tempName_.constData(), 0);
    if (fd_ >= 0)
        ::close(fd_);
}

std::unique_ptr<OutputSink> PendingFile::sink() const {
    return std::make_unique<FdSink>(fd_);
}

void PendingFile::setModificationTime(std::optional<std::uint64_t> filetime) {
    // FILETIME counts 100 ns steps from 1601; the Unix epoch is 11644473600 s later.
    constexpr std::uint64_t EpochOffset = 116444736000000000ULL;
    if (!filetime || *filetime < EpochOffset)
        return;
    const std::uint64_t since = *filetime - EpochOffset;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = time_t(since / 10000000ULL);
    times[1].tv_nsec = long(since % 10000000ULL) * 100;
    if (::futimens(fd_, times) != 0)
        throw fileFailure(errno, shownPath_);
}

void PendingFile::commit() {
    // No data sync here: one per file costs a third of the conversion's speed. The folder is
    // synced as a whole when its PST file is done (sync()), which is what a power cut spares.
    if (tempName_.isEmpty())
        publishUnnamed();
    else
        publishTemporary();
    committed_ = true;
    // A network file system may tell only here that the data never reached the server: the
    // message is then not saved, and the name that would show it as saved goes again.
    const int fd = std::exchange(fd_, -1);
    const int closed = folder_.calls.closeFile ? folder_.calls.closeFile(fd) : ::close(fd);
    if (closed != 0 && errno != EINTR) {
        const int err = errno;
        ::unlinkat(folder_.fd, name_.constData(), 0);
        throw fileFailure(err, shownPath_);
    }
}

void PendingFile::publishUnnamed() {
    // A link refuses an existing name. Linking a descriptor directly needs a privilege that
    // ordinary users lack; the descriptor's entry in /proc does the same for everybody.
    if (::linkat(fd_, "", folder_.fd, name_.constData(), AT_EMPTY_PATH) == 0)
        return;
    if (errno == ENOENT) {
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd_);
        if (::linkat(AT_FDCWD, self.constData(), folder_.fd, name_.constData(),
                     AT_SYMLINK_FOLLOW) == 0)
            return;
    }
    throw fileFailure(errno, shownPath_);
}

void PendingFile::publishTemporary() {
    if (::renameat2(folder_.fd, tempName_.constData(), folder_.fd, name_.constData(),
                    RENAME_NOREPLACE) == 0)
        return;
    const int err = errno;
    if (err != EINVAL && err != ENOSYS && err != EOPNOTSUPP)
        throw fileFailure(err, shownPath_);
    // The file system cannot rename without replacing: a hard link fails on an existing
    // name just as well, and the temporary name is dropped afterwards.
    if (::linkat(folder_.fd, tempName_.constData(), folder_.fd, name_.constData(), 0) != 0)
        throw fileFailure(errno, shownPath_);
    ::unlinkat(folder_.fd, tempName_.constData(), 0);
}

OutputFolder::OutputFolder(const QString& path, FolderCalls calls)
    : OutputFolder(path, std::move(calls), path, true) {}

OutputFolder::OutputFolder(const QString& path, FolderCalls calls, const QString& shownPath,
                           bool leftovers)
    : path_(path), impl_(std::make_unique<Impl>()) {
    impl_->calls = std::move(calls);
    // A folder reached through a symbolic link (a desktop kept on another disk) is resolved
    // once, here; from then on the open folder is used, so swapping a link in later changes
    // nothing.
    const QString resolved = QFileInfo(path).canonicalFilePath();
    const QByteArray encoded = QFile::encodeName(resolved.isEmpty() ? path : resolved);
    impl_->fd = ::open(encoded.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (impl_->fd < 0)
        throw fileFailure(errno, shownPath);
    if (leftovers)
        removeLeftovers(impl_->fd);
}

OutputFolder::~OutputFolder() = default;

void OutputFolder::sync() {
    if (::syncfs(impl_->fd) != 0)
        throw Failure(failures::FileAccess,
                      QStringLiteral("The messages saved in \"%1\" may not have reached the disk: "
                                     "%2.")
                          .arg(path_, systemErrorText(errno)));
}

struct MessageFiles::Folder {
    std::unique_ptr<OutputFolder> folder;
    bool written = false;
};

MessageFiles::MessageFiles() = default;
MessageFiles::~MessageFiles() = default;

void MessageFiles::save(const mapi::Message& message, const QString& path) {
    const QFileInfo info(path);
    const QString folderPath = info.absolutePath();
    auto it = std::find_if(folders_.begin(), folders_.end(),
                           [&](const Folder& f) { return f.folder->path() == folderPath; });
    if (it == folders_.end()) {
        folders_.push_back({std::unique_ptr<OutputFolder>(
            new OutputFolder(folderPath, FolderCalls{}, path, true))});
        it = folders_.end() - 1;
    }
    it->written = true;
    it->folder->save(message, info.fileName());
}

void MessageFiles::close() {
    folders_.clear();
}

std::size_t MessageFiles::openFolders() const {
    return folders_.size();
}

void MessageFiles::sync() {
    for (Folder& f : folders_) {
        if (!f.written)
            continue;
        f.written = false;
        f.folder->sync();
    }
}

} // namespace talvenor::msg
