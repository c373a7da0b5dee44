// The helper's end of the socket: records go out whole, or the helper ends (nobody listens).
#pragma once

#include <producer.h>

namespace talvenor::nativestore::reader {

class SocketSink : public RecordSink {
public:
    explicit SocketSink(int fd) : fd_(fd) {}
    void send(records::Type type, std::uint32_t folder, std::int32_t index,
              const wire::Bytes& payload) override;

private:
    int fd_;
};

} // namespace talvenor::nativestore::reader
