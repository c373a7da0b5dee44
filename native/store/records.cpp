#include "records.h"

#include <algorithm>
#include <cstring>

namespace talvenor::nativestore::records {

namespace {

void put32(std::uint8_t* out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out[i] = std::uint8_t(v >> (8 * i));
}
void put64(std::uint8_t* out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
        out[i] = std::uint8_t(v >> (8 * i));
}
std::uint64_t get64(const std::uint8_t* in) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | in[i];
    return v;
}

// Smallest room the buffer grows by; a very large record leaves no very large buffer behind.
constexpr std::size_t Chunk = 256U << 10;

} // namespace

void encodeHeader(const Header& header, std::uint8_t* out) {
    put32(out, std::uint32_t(header.type));
    put32(out + 4, header.folder);
    put32(out + 8, std::uint32_t(header.index));
    put32(out + 12, 0);
    put64(out + 16, header.size);
}

Header decodeHeader(const std::uint8_t* in) {
    Header h;
    h.type = Type(mapi::readLe32(in));
    h.folder = mapi::readLe32(in + 4);
    h.index = std::int32_t(mapi::readLe32(in + 8));
    h.size = get64(in + 16);
    return h;
}

// The cause (32 bits), the number (32 bits), then the text in UTF-8 to the end.
Bytes encodeFailure(const FailureInfo& failure) {
    const QByteArray text = failure.text.toUtf8();
    Bytes out(8 + std::size_t(text.size()));
    put32(out.data(), std::uint32_t(failure.cause));
    put32(out.data() + 4, std::uint32_t(failure.number));
    std::memcpy(out.data() + 8, text.constData(), std::size_t(text.size()));
    return out;
}

std::optional<FailureInfo> decodeFailure(const std::uint8_t* data, std::size_t size) {
    if (size < 8)
        return std::nullopt;
    const std::uint32_t cause = mapi::readLe32(data);
    if (cause >= std::uint32_t(CauseCount))
        return std::nullopt;
    FailureInfo f;
    f.cause = Cause(cause);
    f.number = std::int32_t(mapi::readLe32(data + 4));
    f.text = QString::fromUtf8(reinterpret_cast<const char*>(data + 8), qsizetype(size - 8));
    return f;
}

Bytes encodeSize(std::uint64_t size, const QString& known) {
    const QByteArray text = known.toUtf8();
    Bytes out(8 + std::size_t(text.size()));
    put64(out.data(), size);
    std::memcpy(out.data() + 8, text.constData(), std::size_t(text.size()));
    return out;
}

std::optional<std::uint64_t> decodeSize(const std::uint8_t* data, std::size_t size,
                                        QString* known) {
    if (size < 8)
        return std::nullopt;
    if (known)
        *known = QString::fromUtf8(reinterpret_cast<const char*>(data + 8), qsizetype(size - 8));
    return get64(data);
}

Bytes encodeValuePart(std::uint64_t total, std::uint64_t offset, const std::uint8_t* data,
                      std::size_t size) {
    Bytes out(ValuePartHead + size);
    put64(out.data(), total);
    put64(out.data() + 8, offset);
    if (size)
        std::memcpy(out.data() + ValuePartHead, data, size);
    return out;
}

void ValueParts::clear() {
    values_.clear();
    declared_ = 0;
    last_ = 0;
}

bool ValueParts::take(std::uint32_t folder, std::int32_t index, const std::uint8_t* payload,
                      std::size_t size) {
    if (size < ValuePartHead || (!values_.empty() && (folder != folder_ || index != index_)))
        return false;
    const std::uint64_t total = get64(payload);
    const std::uint64_t offset = get64(payload + 8);
    const std::size_t piece = size - ValuePartHead;
    if (offset == 0) {
        // A value starts: it must be whole before the next one, and fit beside the others.
        if ((!values_.empty() && values_.back().size() != last_) || total == 0 ||
            total > limit_ - std::min(limit_, declared_))
            return false;
        folder_ = folder;
        index_ = index;
        declared_ += total;
        last_ = total;
        values_.emplace_back().reserve(std::size_t(total));
    } else if (values_.empty() || total != last_ || offset != values_.back().size()) {
        return false;
    }
    Bytes& value = values_.back();
    if (piece == 0 || piece > last_ - value.size())
        return false;
    value.insert(value.end(), payload + ValuePartHead, payload + size);
    return true;
}

std::optional<std::vector<Bytes>> ValueParts::finish(std::uint32_t folder, std::int32_t index) {
    std::optional<std::vector<Bytes>> out;
    if (values_.empty() || (folder == folder_ && index == index_ && values_.back().size() == last_))
        out = std::move(values_);
    clear();
    return out;
}

void Decoder::compact() {
    if (at_ == 0)
        return;
    std::memmove(buffer_.data(), buffer_.data() + at_, filled_ - at_);
    filled_ -= at_;
    at_ = 0;
    if (buffer_.size() > 4 * Chunk && filled_ < Chunk) {
        buffer_.resize(2 * Chunk);
        buffer_.shrink_to_fit();
    }
}

std::uint8_t* Decoder::space(std::size_t want) {
    compact();
    if (buffer_.size() - filled_ < want)
        buffer_.resize(std::max(buffer_.size() * 2, filled_ + std::max(want, Chunk)));
    return buffer_.data() + filled_;
}

void Decoder::append(const std::uint8_t* data, std::size_t n) {
    std::memcpy(space(n), data, n);
    received(n);
}

Decoder::Status Decoder::next(Header& header, const std::uint8_t*& payload) {
    if (filled_ - at_ < HeaderSize)
        return Status::NeedMore;
    header = decodeHeader(buffer_.data() + at_);
    if (header.size > maxRecordSize_) {
        claimed_ = header.size;
        return Status::Oversized;
    }
    if (filled_ - at_ - HeaderSize < header.size) {
        // Room for the whole record at once, so that it arrives in as few reads as it can.
        const std::size_t whole = HeaderSize + std::size_t(header.size);
        if (buffer_.size() - at_ < whole) {
            compact();
            buffer_.resize(std::max(buffer_.size(), whole));
        }
        return Status::NeedMore;
    }
    payload = buffer_.data() + at_ + HeaderSize;
    at_ += HeaderSize + std::size_t(header.size);
    return Status::Record;
}

} // namespace talvenor::nativestore::records
