// The message model shared by the PST reader, the .msg writer and the PST writer:
// a message is a bag of typed properties plus recipients and attachments, each a bag of
// its own. Values are kept as the bytes both file formats store, so that nothing is lost
// or reinterpreted on the way from one format to the other.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace talvenor::mapi {

using Bytes = std::vector<std::uint8_t>;

enum PropType : std::uint16_t {
    PtUnspecified = 0x0000,
    PtNull = 0x0001,
    PtInteger16 = 0x0002,
    PtInteger32 = 0x0003,
    PtFloating32 = 0x0004,
    PtFloating64 = 0x0005,
    PtCurrency = 0x0006,
    PtFloatingTime = 0x0007,
    PtErrorCode = 0x000A,
    PtBoolean = 0x000B,
    PtObject = 0x000D,
    PtInteger64 = 0x0014,
    PtString8 = 0x001E,
    PtUnicode = 0x001F,
    PtTime = 0x0040,
    PtGuid = 0x0048,
    PtServerId = 0x00FB,
    PtRestriction = 0x00FD,
    PtRuleAction = 0x00FE,
    PtBinary = 0x0102,
    PtMultiFlag = 0x1000,
};

constexpr bool isMultiValued(std::uint16_t type) {
    return (type & PtMultiFlag) != 0;
}
constexpr std::uint16_t baseType(std::uint16_t type) {
    return type & ~PtMultiFlag;
}

// Size in bytes of a fixed-size value of this (single-valued) type; 0 for variable-size types.
std::size_t fixedSize(std::uint16_t type);
// True for the types whose values are variable in length (strings, binary, object, ...).
bool isVariableSize(std::uint16_t type);
// True for a type this model knows how to carry.
bool isKnownType(std::uint16_t type);

struct Guid {
    std::array<std::uint8_t, 16> bytes{}; // as stored on disk (Data1..3 little-endian)
    friend bool operator==(const Guid&, const Guid&) = default;
    friend auto operator<=>(const Guid&, const Guid&) = default;
    // "{00020329-0000-0000-C000-000000000046}" form; parse returns nullopt on bad text.
    std::string toString() const;
    static std::optional<Guid> parse(const std::string& text);
};

// Well-known property sets.
extern const Guid PS_MAPI;
extern const Guid PS_PUBLIC_STRINGS;
extern const Guid PSETID_Common;
extern const Guid PSETID_Address;
extern const Guid PSETID_Appointment;
extern const Guid PSETID_Task;
extern const Guid PS_INTERNET_HEADERS;

// The name of a named property: a property set and either a number (LID) or a string.
struct PropertyName {
    Guid guid;
    std::optional<std::uint32_t> lid; // set for numbered names
    std::u16string name;              // used when lid is empty
    friend bool operator==(const PropertyName&, const PropertyName&) = default;
    friend auto operator<=>(const PropertyName&, const PropertyName&) = default;
};

struct Property {
    std::uint16_t id = 0;   // for named properties: the id in the source's own mapping (>= 0x8000)
    std::uint16_t type = 0; // PropType, with PtMultiFlag for multi-valued properties
    std::optional<PropertyName> name; // set exactly for named properties
    // Single-valued: the value bytes. Fixed-size types: little-endian, exactly fixedSize() bytes
    // (booleans 2 bytes). PtUnicode: UTF-16LE without terminator. PtString8: the 8-bit bytes
    // without terminator. PtGuid: 16 bytes. PtBinary: the bytes.
    Bytes value;
    // Multi-valued: one entry per value, each encoded as above.
    std::vector<Bytes> values;

    std::uint32_t tag() const { return (std::uint32_t(id) << 16) | type; }
};

struct PropertyBag {
    std::vector<Property> props;

    const Property* find(std::uint16_t id) const;
    Property* find(std::uint16_t id);
    const Property* findNamed(const PropertyName& name) const;
    void set(Property p); // replaces a property with the same id (or the same name)
    void remove(std::uint16_t id);

    // Convenience setters and getters for the common types.
    void setUnicode(std::uint16_t id, const std::u16string& text);
    void setString8(std::uint16_t id, const std::string& text);
    void setInt32(std::uint16_t id, std::int32_t v);
    void setInt64(std::uint16_t id, std::int64_t v);
    void setBool(std::uint16_t id, bool v);
    void setTime(std::uint16_t id, std::uint64_t filetime);
    void setBinary(std::uint16_t id, Bytes data);
    std::optional<std::u16string> unicode(std::uint16_t id) const; // PtUnicode only
    std::optional<std::int32_t> int32(std::uint16_t id) const;
    std::optional<std::uint64_t> time(std::uint16_t id) const;
};

struct Message;

struct Recipient : PropertyBag {};

struct Attachment : PropertyBag {
    // An attached message (PR_ATTACH_METHOD 5); its bytes are not in the bag.
    std::shared_ptr<Message> embedded;
};

struct Message : PropertyBag {
    std::vector<Recipient> recipients;
    std::vector<Attachment> attachments;
};

// Little-endian helpers for encoding values.
Bytes le16(std::uint16_t v);
Bytes le32(std::uint32_t v);
Bytes le64(std::uint64_t v);
inline void putLe16(std::uint8_t* p, std::uint16_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
}
inline void putLe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = std::uint8_t(v >> (8 * i));
}
inline void putLe64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = std::uint8_t(v >> (8 * i));
}
std::uint16_t readLe16(const std::uint8_t* p);
std::uint32_t readLe32(const std::uint8_t* p);
std::uint64_t readLe64(const std::uint8_t* p);
Bytes utf16le(const std::u16string& s);
std::u16string fromUtf16le(const Bytes& b);
// True when the bytes start with a compound file's signature (an OLE object's storage).
bool startsAsCompoundFile(const Bytes& b);
std::u16string fromUtf8(const std::string& s);
std::string toUtf8(const std::u16string& s);

// Property ids used across the project.
namespace tags {
constexpr std::uint16_t MessageClass = 0x001A;
constexpr std::uint16_t Subject = 0x0037;
constexpr std::uint16_t SubjectPrefix = 0x003D;
constexpr std::uint16_t NormalizedSubject = 0x0E1D;
constexpr std::uint16_t ClientSubmitTime = 0x0039;
constexpr std::uint16_t MessageDeliveryTime = 0x0E06;
constexpr std::uint16_t CreationTime = 0x3007;
constexpr std::uint16_t LastModificationTime = 0x3008;
constexpr std::uint16_t MessageFlags = 0x0E07;
constexpr std::uint16_t MessageSize = 0x0E08;
constexpr std::uint16_t Importance = 0x0017;
constexpr std::uint16_t Body = 0x1000;
constexpr std::uint16_t RtfCompressed = 0x1009;
constexpr std::uint16_t Html = 0x1013;
constexpr std::uint16_t SenderName = 0x0C1A;
constexpr std::uint16_t SenderEmailAddress = 0x0C1F;
constexpr std::uint16_t SenderAddressType = 0x0C1E;
constexpr std::uint16_t DisplayName = 0x3001;
constexpr std::uint16_t AddressType = 0x3002;
constexpr std::uint16_t EmailAddress = 0x3003;
constexpr std::uint16_t RecipientType = 0x0C15;
constexpr std::uint16_t RowId = 0x3000;
constexpr std::uint16_t DisplayTo = 0x0E04;
constexpr std::uint16_t DisplayCc = 0x0E03;
constexpr std::uint16_t DisplayBcc = 0x0E02;
constexpr std::uint16_t AttachDataBinary = 0x3701; // PtBinary, or PtObject for embedded
constexpr std::uint16_t AttachFilename = 0x3704;
constexpr std::uint16_t AttachLongFilename = 0x3707;
constexpr std::uint16_t AttachMethod = 0x3705;
constexpr std::uint16_t AttachMimeTag = 0x370E;
constexpr std::uint16_t AttachContentId = 0x3712;
constexpr std::uint16_t AttachSize = 0x0E20;
constexpr std::uint16_t AttachNumber = 0x0E21;
constexpr std::uint16_t RenderingPosition = 0x370B;
constexpr std::uint16_t StoreSupportMask = 0x340D;
constexpr std::uint16_t InternetCodepage = 0x3FDE;
constexpr std::uint16_t MessageCodepage = 0x3FFD;
} // namespace tags

constexpr std::uint32_t AttachByValue = 1;
constexpr std::uint32_t AttachEmbeddedMsg = 5;

} // namespace talvenor::mapi
