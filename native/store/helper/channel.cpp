#include "channel.h"

#include <cerrno>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace talvenor::nativestore::reader {

void SocketSink::send(records::Type type, std::uint32_t folder, std::int32_t index,
                      const wire::Bytes& payload) {
    std::uint8_t header[records::HeaderSize];
    records::encodeHeader({type, folder, index, payload.size()}, header);
    // The header and its payload in one call where the socket takes them.
    iovec parts[2] = {{header, sizeof header},
                      {const_cast<std::uint8_t*>(payload.data()), payload.size()}};
    int count = payload.empty() ? 1 : 2;
    iovec* at = parts;
    while (count > 0) {
        msghdr message{};
        message.msg_iov = at;
        message.msg_iovlen = std::size_t(count);
        ssize_t n = ::sendmsg(fd_, &message, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ::_exit(helper::exits::ReadAll); // nobody is listening any more
        }
        while (count > 0 && std::size_t(n) >= at->iov_len) {
            n -= ssize_t(at->iov_len);
            ++at;
            --count;
        }
        if (count > 0) {
            at->iov_base = static_cast<std::uint8_t*>(at->iov_base) + n;
            at->iov_len -= std::size_t(n);
        }
    }
}

} // namespace talvenor::nativestore::reader
