// Names and numbers of the .msg layout shared by the writer and the reader.
#pragma once

#include "mapi/mapi.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace talvenor::msg::layout {

inline constexpr const char* PropertiesStream = "__properties_version1.0";
inline constexpr const char* NameIdStorage = "__nameid_version1.0";
inline constexpr const char* RecipientPrefix = "__recip_version1.0_#";
inline constexpr const char* AttachmentPrefix = "__attach_version1.0_#";
inline constexpr const char* EmbeddedStorage = "__substg1.0_3701000D";
inline constexpr std::uint32_t GuidStreamTag = 0x00020102;
inline constexpr std::uint32_t EntryStreamTag = 0x00030102;
inline constexpr std::uint32_t StringStreamTag = 0x00040102;

// Sizes of the property-stream header before the first entry.
inline constexpr std::size_t TopHeaderSize = 32;
inline constexpr std::size_t EmbeddedHeaderSize = 24;
inline constexpr std::size_t ChildHeaderSize = 8; // recipient, attachment
inline constexpr std::size_t EntrySize = 16;

inline constexpr std::uint32_t FlagMandatory = 0x1;
inline constexpr std::uint32_t FlagReadable = 0x2;
inline constexpr std::uint32_t FlagWritable = 0x4;
inline constexpr std::uint32_t ObjectSize = 0xFFFFFFFF;
// The reserved field of an embedded message's object entry, as the mail program writes it.
inline constexpr std::uint32_t EmbeddedMessageReserved = 1;
inline constexpr std::uint32_t StoreUnicodeOk = 0x00040000;
// The store-support mask on the message of the mail program's files with Unicode strings; its
// files without them carry none.
inline constexpr std::uint32_t UnicodeFileSupportMask = 0x00040E79;
inline constexpr std::uint16_t FirstNamedId = 0x8000;

// The objects whose property streams carry flags of their own.
enum class Object { Message, Recipient, Attachment };
// The flags of a property's entry: read-only for values the mail program computes, mandatory
// as well for an attachment's method and place, readable and writable for everything else.
std::uint32_t propertyFlags(Object object, std::uint16_t id);
// False for the values of a store that a file leaves out: the sizes of messages and
// attachments, which the mail program computes afresh when it opens a file, and the row id and
// version of the store's tables on recipients and attachments, which mean nothing in a file.
bool keptInFile(Object object, std::uint16_t id);

// The root storage's class id, as stored on disk.
extern const std::uint8_t MessageClassId[16];

// A name of the layout held in place, so that naming one of a file's many streams costs no
// allocation.
struct Name {
    char text[40];
    std::size_t length = 0;
    operator std::string_view() const { return {text, length}; }
    operator std::string() const { return {text, length}; }
};

// "__substg1.0_TTTTPPPP", with "-0000000N" for the N-th value of a multi-valued property.
Name valueStream(std::uint32_t tag);
Name valueStream(std::uint32_t tag, std::uint32_t index);
Name recipientStorage(std::uint32_t index);
Name attachmentStorage(std::uint32_t index);
inline std::string valueStreamName(std::uint32_t tag) {
    return valueStream(tag);
}
inline std::string valueStreamName(std::uint32_t tag, std::uint32_t index) {
    return valueStream(tag, index);
}
inline std::string recipientStorageName(std::uint32_t index) {
    return recipientStorage(index);
}
inline std::string attachmentStorageName(std::uint32_t index) {
    return attachmentStorage(index);
}

// The hash of a string name in the mapping streams (CRC-32 of its UTF-16LE bytes).
std::uint32_t nameCrc(const mapi::Bytes& utf16);
// 1 for PS_MAPI, 2 for PS_PUBLIC_STRINGS, 3 + position in the GUID stream otherwise.
inline constexpr std::uint16_t GuidIndexMapi = 1;
inline constexpr std::uint16_t GuidIndexPublicStrings = 2;
// The tag of the mapping stream that lists a name.
std::uint32_t mappingStreamTag(std::uint32_t idOrCrc, std::uint16_t guidIndex, bool isString);

// Size in the value field for single-valued fixed-size types (0 when not stored inline).
std::size_t inlineSize(std::uint16_t type);

} // namespace talvenor::msg::layout
