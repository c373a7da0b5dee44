#include "safefile.h"

#include "failure.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace talvenor::msg {

namespace {

// Keeps the file's bytes in memory up to a limit and writes them in one go, since the
// compound-file writer seeks back to the header at the end and most messages are small.
class FdSink final : public OutputSink {
public:
    explicit FdSink(int fd) : fd_(fd) {}
    bool write(const std::uint8_t* data, std::size_t size) override {
        const std::int64_t bufEnd = bufStart_ + std::int64_t(buf_.size());
        if (pos_ >= bufStart_ && pos_ <= bufEnd) {
            const std::size_t at = std::size_t(pos_ - bufStart_);
            if (at + size > buf_.size())
                buf_.resize(at + size);
            std::memcpy(buf_.data() + at, data, size);
            pos_ += std::int64_t(size);
            return buf_.size() < BufferLimit || flush();
        }
        if (!flush())
            return false;
        if (!writeAt(data, size, pos_))
            return false;
        pos_ += std::int64_t(size);
        bufStart_ = pos_;
        return true;
    }
    bool seek(std::int64_t offset) override {
        if (offset < 0) {
            errno = EINVAL;
            return false;
        }
        pos_ = offset;
        return true;
    }
    std::int64_t position() const override { return pos_; }
    bool flush() override {
        if (buf_.empty())
            return true;
        if (!writeAt(buf_.data(), buf_.size(), bufStart_))
            return false;
        buf_.clear();
        bufStart_ = pos_;
        return true;
    }

private:
    static constexpr std::size_t BufferLimit = 4 << 20;

    bool writeAt(const std::uint8_t* data, std::size_t size, std::int64_t at) {
        while (size > 0) {
            const ssize_t n = ::pwrite(fd_, data, size, at);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            data += n;
            size -= std::size_t(n);
            at += n;
        }
        return true;
    }

    int fd_;
    std::int64_t pos_ = 0;
    std::int64_t bufStart_ = 0;
    std::vector<std::uint8_t> buf_;
};

QString systemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

Failure fileFailure(int error, const QString& path) {
    switch (error) {
    case EEXIST:
        return Failure(failures::FileExists,
                       QStringLiteral("The file \"%1\" exists already.").arg(path));
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return Failure(failures::DiskFull,
                       QStringLiteral("Cannot save \"%1\": the disk is full (%2).")
                           .arg(path, systemText(error)));
    case EACCES:
    case EPERM:
    case EROFS:
        return Failure(failures::PermissionDenied,
                       QStringLiteral("Cannot save \"%1\": permission denied (%2).")
                           .arg(path, systemText(error)));
    case ENOENT:
    case ENOTDIR:
        return Failure(failures::PathNotFound,
                       QStringLiteral("Cannot save \"%1\": the folder does not exist (%2).")
                           .arg(path, systemText(error)));
    case ENAMETOOLONG:
    case EINVAL:
    case EILSEQ:
        return Failure(failures::BadFileName,
                       QStringLiteral("Cannot save \"%1\": the file system refuses this name (%2).")
                           .arg(path, systemText(error)));
    default:
        return Failure(failures::FileAccess,
                       QStringLiteral("Cannot save \"%1\": %2.").arg(path, systemText(error)));
    }
}

PendingFile::PendingFile(const QString& target)
    : target_(target), targetPath_(QFile::encodeName(target)) {
    // Refuse early when the name is taken, before any work; commit() checks again atomically.
    struct stat st;
    if (::lstat(targetPath_.constData(), &st) == 0)
        throw fileFailure(EEXIST, target_);
    const QByteArray folder = QFile::encodeName(QFileInfo(target).absolutePath());
    // A short name of our own, so that a long target name cannot make the temporary fail.
    // Created like any new file (mode 0666 less the umask), since it becomes the result.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray candidate =
            folder + "/.talvenor-" +
            QByteArray::number(QRandomGenerator::system()->generate64(), 36) + ".tmp";
        fd_ = ::open(candidate.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0) {
            tempPath_ = candidate;
            return;
        }
        if (errno != EEXIST)
            throw fileFailure(errno, target_);
    }
    throw fileFailure(EEXIST, target_);
}

PendingFile::~PendingFile() {
    if (fd_ >= 0)
        ::close(fd_);
    if (!committed_ && !tempPath_.isEmpty())
        ::unlink(tempPath_.constData());
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
        throw fileFailure(errno, target_);
}

void PendingFile::commit() {
    if (::close(fd_) != 0) {
        fd_ = -1;
        throw fileFailure(errno, target_);
    }
    fd_ = -1;
    if (::renameat2(AT_FDCWD, tempPath_.constData(), AT_FDCWD, targetPath_.constData(),
                    RENAME_NOREPLACE) == 0) {
        committed_ = true;
        return;
    }
    const int err = errno;
    if (err != EINVAL && err != ENOSYS && err != EOPNOTSUPP)
        throw fileFailure(err, target_);
    // The file system cannot rename without replacing: a hard link fails on an existing
    // name just as well, and the temporary name is dropped afterwards.
    if (::link(tempPath_.constData(), targetPath_.constData()) != 0)
        throw fileFailure(errno, target_);
    committed_ = true;
    ::unlink(tempPath_.constData());
}

} // namespace talvenor::msg
