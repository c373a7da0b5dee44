// Values of every property type, single and multi-valued, with named properties of each kind:
// what the writer's tests and the reader's tests give a message to see it all come back.
#pragma once

#include <pstwriter.h>

#include <cstring>

namespace talvenor::pstwriter::test {

using mapi::Bytes;
using mapi::Property;
using mapi::PropertyName;

inline Property prop(std::uint16_t id, std::uint16_t type, Bytes value) {
    Property p;
    p.id = id;
    p.type = type;
    p.value = std::move(value);
    return p;
}

inline Property multi(std::uint16_t id, std::uint16_t type, std::vector<Bytes> values) {
    Property p;
    p.id = id;
    p.type = type | mapi::PtMultiFlag;
    p.values = std::move(values);
    return p;
}

inline Bytes doubleBytes(double d) {
    std::uint64_t u;
    std::memcpy(&u, &d, 8);
    return mapi::le64(u);
}

inline Bytes pattern(std::size_t n, std::uint32_t seed) {
    Bytes b(n);
    for (auto& c : b) {
        seed = seed * 1103515245u + 12345u;
        c = std::uint8_t(seed >> 16);
    }
    return b;
}

inline const mapi::Guid kGuid = *mapi::Guid::parse("{6ED8DA90-450B-101B-98DA-00AA003F1305}");

// Extra properties of every common type, single and multi-valued.
inline void addEveryType(mapi::Message& m) {
    m.set(prop(0x6700, mapi::PtInteger16, mapi::le16(0xBEEF)));
    m.set(prop(0x6701, mapi::PtInteger32, mapi::le32(0x12345678)));
    m.set(prop(0x6702, mapi::PtInteger64, mapi::le64(0x0123456789ABCDEFull)));
    m.set(prop(0x6703, mapi::PtBoolean, mapi::le16(1)));
    m.set(prop(0x6704, mapi::PtFloating64, doubleBytes(3.25)));
    m.set(prop(0x6705, mapi::PtFloating32, mapi::le32(0x40490FDB)));
    m.set(prop(0x6706, mapi::PtCurrency, mapi::le64(123450000)));
    m.set(prop(0x6707, mapi::PtFloatingTime, doubleBytes(45000.5)));
    m.set(prop(0x6708, mapi::PtTime, mapi::le64(build::filetime(1700000000))));
    m.set(prop(0x6709, mapi::PtGuid, Bytes(kGuid.bytes.begin(), kGuid.bytes.end())));
    m.set(prop(0x670A, mapi::PtBinary, pattern(300, 7)));
    m.set(prop(0x670B, mapi::PtUnicode, mapi::utf16le(u"Grüße, мир, 世界 🌍")));
    m.set(prop(0x670C, mapi::PtString8, Bytes{'a', 'b', 'c'}));
    m.set(prop(0x670D, mapi::PtErrorCode, mapi::le32(0x8004010F)));
    m.set(multi(0x6710, mapi::PtInteger16, {mapi::le16(1), mapi::le16(2)}));
    m.set(multi(0x6711, mapi::PtInteger32, {mapi::le32(1), mapi::le32(2), mapi::le32(3)}));
    m.set(multi(0x6712, mapi::PtInteger64, {mapi::le64(5), mapi::le64(1ull << 40)}));
    m.set(multi(0x6713, mapi::PtFloating64, {doubleBytes(1.5), doubleBytes(-2)}));
    m.set(multi(0x6714, mapi::PtCurrency, {mapi::le64(10000)}));
    m.set(multi(0x6715, mapi::PtTime, {mapi::le64(build::filetime(0)), mapi::le64(1)}));
    m.set(multi(0x6716, mapi::PtGuid, {Bytes(kGuid.bytes.begin(), kGuid.bytes.end())}));
    m.set(multi(0x6717, mapi::PtBinary, {pattern(5, 1), pattern(4000, 2), Bytes{0}}));
    m.set(multi(0x6718, mapi::PtUnicode, {mapi::utf16le(u"one"), mapi::utf16le(u"двa")}));
    m.set(multi(0x6719, mapi::PtString8, {Bytes{'x'}, Bytes{'y', 'z'}}));
    build::setNamedStrings(m, PropertyName{mapi::PS_PUBLIC_STRINGS, std::nullopt, u"Keywords"},
                           {u"Red category", u"Projekt Ω"});
    build::setNamedString(m, PropertyName{mapi::PS_PUBLIC_STRINGS, std::nullopt, u"X-Ticket-Id"},
                          u"T-1024");
    Property common = prop(0x8000, mapi::PtBoolean, mapi::le16(1));
    common.name = PropertyName{mapi::PSETID_Common, 0x8503, {}};
    m.set(common);
    Property custom = prop(0x8000, mapi::PtInteger32, mapi::le32(77));
    custom.name = PropertyName{kGuid, std::nullopt, u"Custom number"};
    m.set(custom);
}

} // namespace talvenor::pstwriter::test
