#include "source.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talvenor::pst {

void fail(const std::string& what) {
    throw Error(what);
}

FileSource::FileSource(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0)
        fail("cannot open " + path + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        const int e = errno;
        ::close(fd_);
        fd_ = -1;
        fail("cannot read " + path + ": " + std::strerror(e));
    }
    size_ = std::uint64_t(st.st_size);
}

FileSource::~FileSource() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::size_t FileSource::readAt(std::uint64_t offset, std::size_t count, std::uint8_t* into) const {
    std::size_t done = 0;
    while (done < count) {
        ++reads_;
        const ssize_t n = ::pread(fd_, into + done, count - done, off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail(std::string("cannot read the file: ") + std::strerror(errno));
        if (n == 0)
            break;
        done += std::size_t(n);
    }
    return done;
}

void FileSource::read(std::uint64_t offset, std::size_t count, Bytes& out) const {
    if (offset > size_ || count > size_ - offset)
        fail("the file ends before a structure it names");
    out.resize(count);
    if (count > WindowedRead) {
        if (readAt(offset, count, out.data()) != count)
            fail("the file ends before a structure it names");
        return;
    }
    ++clock_;
    Window* oldest = &windows_[0];
    for (Window& w : windows_) {
        if (offset >= w.start && offset + count <= w.start + w.filled) {
            std::memcpy(out.data(), w.bytes.data() + (offset - w.start), count);
            w.used = clock_;
            return;
        }
        if (w.used < oldest->used)
            oldest = &w;
    }
    // Windows sit on boundaries of their size, so that they never overlap whichever way the
    // reads go, and reach a read's length further, so that a read starting in one lies wholly
    // inside it.
    Window& w = *oldest;
    w.filled = 0; // nothing of it is valid should the read fail
    w.start = offset & ~std::uint64_t(WindowSize - 1);
    w.bytes.resize(WindowSize + WindowedRead);
    w.filled = readAt(
        w.start, std::size_t(std::min<std::uint64_t>(WindowSize + WindowedRead, size_ - w.start)),
        w.bytes.data());
    w.used = clock_;
    if (offset + count > w.start + w.filled)
        fail("the file ends before a structure it names");
    std::memcpy(out.data(), w.bytes.data() + (offset - w.start), count);
}

void MemorySource::read(std::uint64_t offset, std::size_t count, Bytes& out) const {
    if (offset > bytes_.size() || count > bytes_.size() - offset)
        fail("the store ends before a structure it names");
    out.assign(bytes_.begin() + std::ptrdiff_t(offset),
               bytes_.begin() + std::ptrdiff_t(offset + count));
}

} // namespace talvenor::pst
