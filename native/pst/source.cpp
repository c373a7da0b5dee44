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

void FileSource::read(std::uint64_t offset, std::size_t count, Bytes& out) const {
    if (offset > size_ || count > size_ - offset)
        fail("the file ends before a structure it names");
    out.resize(count);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(fd_, out.data() + done, count - done, off_t(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail(std::string("cannot read the file: ") + std::strerror(errno));
        if (n == 0)
            fail("the file ends before a structure it names");
        done += std::size_t(n);
    }
}

void MemorySource::read(std::uint64_t offset, std::size_t count, Bytes& out) const {
    if (offset > bytes_.size() || count > bytes_.size() - offset)
        fail("the store ends before a structure it names");
    out.assign(bytes_.begin() + std::ptrdiff_t(offset),
               bytes_.begin() + std::ptrdiff_t(offset + count));
}

} // namespace talvenor::pst
