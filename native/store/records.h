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
    ValuePart = 10,   // {folder, n}: a piece of a large value of item n, sent before its Item
};

// Index of FolderEnd records.
constexpr std::int32_t WholeFolder = INT32_MAX;
// Records larger than this are refused by default, by the helper and by the program alike; so
// is an item whose values handed over apart make it larger than this together.
constexpr std::uint64_t DefaultMaxRecordSize = std::uint64_t(1) << 30;
// Attachment data of at least this size goes over apart from its item, in pieces this large.
constexpr std::size_t DefaultValuePiece = std::size_t(1) << 20;

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
// An item's size, then what the folder's table knows of the item (UTF-8, may be empty).
Bytes encodeSize(std::uint64_t size, const QString& known = {});
std::optional<std::uint64_t> decodeSize(const std::uint8_t* data, std::size_t size,
                                        QString* known = nullptr);

// A piece of a value handed over apart: the value's whole size, where the piece starts in it,
// then the piece's bytes.
constexpr std::size_t ValuePartHead = 16;
Bytes encodeValuePart(std::uint64_t total, std::uint64_t offset, const std::uint8_t* data,
                      std::size_t size);

// Gathers the values one item hands over apart, piece by piece, each straight into one buffer
// of the size it declares; the item's own record then takes them (wire::decodeItem). Pieces
// out of order, of another item, or values larger together than the limit make no sense.
class ValueParts {
public:
    explicit ValueParts(std::uint64_t limit) : limit_(limit) {}
    // One ValuePart record of item {folder, index}; false when it makes no sense.
    bool take(std::uint32_t folder, std::int32_t index, const std::uint8_t* payload,
              std::size_t size);
    // The values of item {folder, index}, once each is whole (none when none came); empty when
    // pieces are missing or belong to another item. Starts afresh either way.
    std::optional<std::vector<Bytes>> finish(std::uint32_t folder, std::int32_t index);
    bool empty() const { return values_.empty(); }
    // Bytes the values declare together.
    std::uint64_t size() const { return declared_; }
    void clear();

private:
    std::uint64_t limit_;
    std::uint32_t folder_ = 0;
    std::int32_t index_ = 0;
    std::vector<Bytes> values_;
    std::uint64_t declared_ = 0;
    std::uint64_t last_ = 0; // the size the last value declares
};

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
