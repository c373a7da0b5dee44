// The framing of what the reading helper sends through its socket: a fixed header with a
// 64-bit length, then that many bytes. Both sides check the length against the same limit, so
// an item too large to hand over is announced as such and the stream stays in step.
#pragma once

#include <failure.h>
#include <mapi/mapi.h>

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace talvenor::nativestore::records {

using mapi::Bytes;

enum class Type : std::uint32_t {
    Opened = 1,       // the store is open; the payload is its folder tree
    OpenFailed = 2,   // the store cannot be opened; the payload is the failure
    FolderStart = 3,  // {folder, first - 1}: it starts on a folder's items
    Item = 4,         // {folder, n}: item n, read without a crash; the payload is the item
    ItemFailed = 5,   // {folder, n}: item n could not be read; the payload is the failure
    ItemTooLarge = 6, // {folder, n}: item n is larger than a record may be; payload: its size
    FolderEnd = 7,    // {folder}: all of the folder's items
    Progress = 8,     // still at work on something large
    Finished = 9,     // everything has been read
};

// Index of FolderEnd records.
constexpr std::int32_t WholeFolder = INT32_MAX;
// Records larger than this are refused by default, by the helper and by the program alike.
constexpr std::uint64_t DefaultMaxRecordSize = std::uint64_t(1) << 30;

struct Header {
    Type type = Type::Progress;
    std::uint32_t folder = 0;
    std::int32_t index = 0;
    std::uint64_t size = 0;
};
// Four 32-bit fields (type, folder, index, reserved) and the 64-bit length, little-endian.
constexpr std::size_t HeaderSize = 24;

void encodeHeader(const Header& header, std::uint8_t* out);
Header decodeHeader(const std::uint8_t* in);

// A failure as the helper met it: its cause, its number and its text.
struct FailureInfo {
    Cause cause = Cause::Other;
    std::int32_t number = 0;
    QString text;
};
Bytes encodeFailure(const FailureInfo& failure);
std::optional<FailureInfo> decodeFailure(const std::uint8_t* data, std::size_t size);
Bytes encodeSize(std::uint64_t size);
std::optional<std::uint64_t> decodeSize(const std::uint8_t* data, std::size_t size);

// Takes the bytes as they arrive, in pieces of any size, and hands out whole records.
class Decoder {
public:
    explicit Decoder(std::uint64_t maxRecordSize = DefaultMaxRecordSize)
        : maxRecordSize_(maxRecordSize) {}

    // Room for at least `want` more bytes; write into it, then call received().
    std::uint8_t* space(std::size_t want);
    void received(std::size_t n) { filled_ += n; }
    void append(const std::uint8_t* data, std::size_t n);

    enum class Status { Record, NeedMore, Oversized };
    // The next whole record, its payload valid until the next call of any member.
    Status next(Header& header, const std::uint8_t*& payload);
    // Bytes of a record that has not arrived whole (a short record at the end of the stream).
    std::size_t pending() const { return filled_ - at_; }
    // The length the last Oversized record claimed.
    std::uint64_t claimed() const { return claimed_; }

private:
    void compact();

    std::uint64_t maxRecordSize_;
    std::vector<std::uint8_t> buffer_; // bytes [at_, filled_) are not taken yet
    std::size_t at_ = 0;
    std::size_t filled_ = 0;
    std::uint64_t claimed_ = 0;
};

} // namespace talvenor::nativestore::records
