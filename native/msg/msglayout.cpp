#include "msglayout.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace talvenor::msg::layout {

const std::uint8_t MessageClassId[16] = {0x0B, 0x0D, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                         0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

namespace {
// The prefix, then v in eight upper-case hex digits.
Name prefixed(std::string_view prefix, std::uint32_t v) {
    static constexpr char Digits[] = "0123456789ABCDEF";
    Name n;
    prefix.copy(n.text, prefix.size());
    n.length = prefix.size() + 8;
    for (std::size_t i = n.length; i > prefix.size(); --i, v >>= 4)
        n.text[i - 1] = Digits[v & 0xF];
    return n;
}
} // namespace

Name valueStream(std::uint32_t tag) {
    return prefixed("__substg1.0_", tag);
}

Name valueStream(std::uint32_t tag, std::uint32_t index) {
    Name n = valueStream(tag);
    const Name suffix = prefixed("-", index);
    std::copy_n(suffix.text, suffix.length, n.text + n.length);
    n.length += suffix.length;
    return n;
}

Name recipientStorage(std::uint32_t index) {
    return prefixed(RecipientPrefix, index);
}

Name attachmentStorage(std::uint32_t index) {
    return prefixed(AttachmentPrefix, index);
}

namespace {
constexpr std::array<std::uint32_t, 256> makeCrcTable() {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[n] = c;
    }
    return t;
}
constexpr auto CrcTable = makeCrcTable();
} // namespace

// The mapping streams use the CRC of the PST name-to-id map: initial value 0, no final inversion.
std::uint32_t nameCrc(const mapi::Bytes& utf16) {
    std::uint32_t crc = 0;
    for (std::uint8_t b : utf16)
        crc = CrcTable[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return crc;
}

std::uint32_t mappingStreamTag(std::uint32_t idOrCrc, std::uint16_t guidIndex, bool isString) {
    const std::uint32_t key = (std::uint32_t(guidIndex) << 1) | (isString ? 1u : 0u);
    const std::uint32_t streamId = 0x1000 + ((idOrCrc ^ key) % 0x1F);
    return (streamId << 16) | mapi::PtBinary;
}

std::uint32_t propertyFlags(Object object, std::uint16_t id) {
    static constexpr std::uint16_t ComputedOnMessage[] = {0x3007, 0x3008, 0x0FF7, 0x0FF4, 0x340D,
                                                          0x0E02, 0x0E03, 0x0E04, 0x0E1B, 0x0E1D};
    static constexpr std::uint16_t ComputedOnAttachment[] = {0x0E21, 0x0FFE, 0x0FF4,
                                                             0x0FF7, 0x340D, 0x0FF9};
    const auto among = [id](const auto& ids) {
        return std::find(std::begin(ids), std::end(ids), id) != std::end(ids);
    };
    switch (object) {
    case Object::Message:
        if (among(ComputedOnMessage))
            return FlagReadable;
        break;
    case Object::Attachment:
        if (among(ComputedOnAttachment))
            return FlagReadable;
        if (id == mapi::tags::AttachMethod || id == mapi::tags::RenderingPosition)
            return FlagMandatory | FlagReadable | FlagWritable;
        break;
    case Object::Recipient:
        break;
    }
    return FlagReadable | FlagWritable;
}

bool keptInFile(Object object, std::uint16_t id) {
    switch (object) {
    case Object::Message:
        return id != mapi::tags::MessageSize;
    case Object::Attachment:
        return id != mapi::tags::AttachSize && id != 0x67F2 && id != 0x67F3;
    case Object::Recipient:
        return id != 0x67F2 && id != 0x67F3;
    }
    return true;
}

std::size_t inlineSize(std::uint16_t type) {
    if (mapi::isMultiValued(type) || type == mapi::PtGuid)
        return 0;
    return mapi::fixedSize(type);
}

} // namespace talvenor::msg::layout
