#include "channel.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace talvenor::nativestore::reader {

void SocketSink::send(records::Type type, std::uint32_t folder, std::int32_t index,
                      const wire::Bytes& payload) {
    std::uint8_t header[records::HeaderSize];
    records::encodeHeader({type, folder, index, payload.size()}, header);
    writeAll(header, sizeof header);
    writeAll(payload.data(), payload.size());
}

void SocketSink::writeAll(const void* data, std::size_t size) const {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::send(fd_, p, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ::_exit(helper::exits::ReadAll); // nobody is listening any more
        }
        p += n;
        size -= std::size_t(n);
    }
}

} // namespace talvenor::nativestore::reader
