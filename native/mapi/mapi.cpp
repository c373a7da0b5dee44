#include "mapi.h"

#include <algorithm>
#include <cstdio>

namespace talvenor::mapi {

std::size_t fixedSize(std::uint16_t type) {
    switch (baseType(type)) {
    case PtInteger16:
    case PtBoolean:
        return 2;
    case PtInteger32:
    case PtFloating32:
    case PtErrorCode:
        return 4;
    case PtFloating64:
    case PtCurrency:
    case PtFloatingTime:
    case PtInteger64:
    case PtTime:
        return 8;
    case PtGuid:
        return 16;
    default:
        return 0;
    }
}

bool isVariableSize(std::uint16_t type) {
    switch (baseType(type)) {
    case PtString8:
    case PtUnicode:
    case PtBinary:
    case PtObject:
    case PtServerId:
    case PtRestriction:
    case PtRuleAction:
        return true;
    default:
        return false;
    }
}

bool isKnownType(std::uint16_t type) {
    const std::uint16_t b = baseType(type);
    if (isMultiValued(type)) {
        return b == PtInteger16 || b == PtInteger32 || b == PtFloating32 || b == PtFloating64 ||
               b == PtCurrency || b == PtFloatingTime || b == PtInteger64 || b == PtString8 ||
               b == PtUnicode || b == PtTime || b == PtGuid || b == PtBinary;
    }
    return fixedSize(b) != 0 || isVariableSize(b) || b == PtNull;
}

namespace {
Guid makeGuid(std::uint32_t d1, std::uint16_t d2, std::uint16_t d3,
              std::array<std::uint8_t, 8> d4) {
    Guid g;
    for (int i = 0; i < 4; ++i)
        g.bytes[i] = std::uint8_t(d1 >> (8 * i));
    for (int i = 0; i < 2; ++i)
        g.bytes[4 + i] = std::uint8_t(d2 >> (8 * i));
    for (int i = 0; i < 2; ++i)
        g.bytes[6 + i] = std::uint8_t(d3 >> (8 * i));
    std::copy(d4.begin(), d4.end(), g.bytes.begin() + 8);
    return g;
}
} // namespace

const Guid PS_MAPI = makeGuid(0x00020328, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46});
const Guid PS_PUBLIC_STRINGS = makeGuid(0x00020329, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46});
const Guid PSETID_Common = makeGuid(0x00062008, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46});
const Guid PSETID_Address = makeGuid(0x00062004, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46});
const Guid PSETID_Appointment = makeGuid(0x00062002, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46});
const Guid PSETID_Task = makeGuid(0x00062003, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46});
const Guid PS_INTERNET_HEADERS = makeGuid(0x00020386, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46});

std::string Guid::toString() const {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  readLe32(&bytes[0]), readLe16(&bytes[4]), readLe16(&bytes[6]), bytes[8], bytes[9],
                  bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return buf;
}

std::optional<Guid> Guid::parse(const std::string& text) {
    unsigned d1, d2, d3, b[8];
    if (text.size() != 38 ||
        std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0],
                    &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]) != 11)
        return std::nullopt;
    std::array<std::uint8_t, 8> d4{};
    for (int i = 0; i < 8; ++i)
        d4[i] = std::uint8_t(b[i]);
    return makeGuid(d1, std::uint16_t(d2), std::uint16_t(d3), d4);
}

const Property* PropertyBag::find(std::uint16_t id) const {
    for (const auto& p : props)
        if (p.id == id)
            return &p;
    return nullptr;
}

Property* PropertyBag::find(std::uint16_t id) {
    for (auto& p : props)
        if (p.id == id)
            return &p;
    return nullptr;
}

const Property* PropertyBag::findNamed(const PropertyName& name) const {
    for (const auto& p : props)
        if (p.name && *p.name == name)
            return &p;
    return nullptr;
}

void PropertyBag::set(Property p) {
    for (auto& q : props) {
        if ((p.name && q.name && *p.name == *q.name) || (!p.name && !q.name && q.id == p.id)) {
            q = std::move(p);
            return;
        }
    }
    props.push_back(std::move(p));
}

void PropertyBag::remove(std::uint16_t id) {
    props.erase(
        std::remove_if(props.begin(), props.end(), [id](const Property& p) { return p.id == id; }),
        props.end());
}

void PropertyBag::setUnicode(std::uint16_t id, const std::u16string& text) {
    set({id, PtUnicode, std::nullopt, utf16le(text), {}});
}
void PropertyBag::setString8(std::uint16_t id, const std::string& text) {
    set({id, PtString8, std::nullopt, Bytes(text.begin(), text.end()), {}});
}
void PropertyBag::setInt32(std::uint16_t id, std::int32_t v) {
    set({id, PtInteger32, std::nullopt, le32(std::uint32_t(v)), {}});
}
void PropertyBag::setInt64(std::uint16_t id, std::int64_t v) {
    set({id, PtInteger64, std::nullopt, le64(std::uint64_t(v)), {}});
}
void PropertyBag::setBool(std::uint16_t id, bool v) {
    set({id, PtBoolean, std::nullopt, le16(v ? 1 : 0), {}});
}
void PropertyBag::setTime(std::uint16_t id, std::uint64_t filetime) {
    set({id, PtTime, std::nullopt, le64(filetime), {}});
}
void PropertyBag::setBinary(std::uint16_t id, Bytes data) {
    set({id, PtBinary, std::nullopt, std::move(data), {}});
}

std::optional<std::u16string> PropertyBag::unicode(std::uint16_t id) const {
    const Property* p = find(id);
    if (!p || p->type != PtUnicode)
        return std::nullopt;
    return fromUtf16le(p->value);
}

std::optional<std::int32_t> PropertyBag::int32(std::uint16_t id) const {
    const Property* p = find(id);
    if (!p || p->type != PtInteger32 || p->value.size() < 4)
        return std::nullopt;
    return std::int32_t(readLe32(p->value.data()));
}

std::optional<std::uint64_t> PropertyBag::time(std::uint16_t id) const {
    const Property* p = find(id);
    if (!p || p->type != PtTime || p->value.size() < 8)
        return std::nullopt;
    return readLe64(p->value.data());
}

Bytes le16(std::uint16_t v) {
    return {std::uint8_t(v), std::uint8_t(v >> 8)};
}
Bytes le32(std::uint32_t v) {
    return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
}
Bytes le64(std::uint64_t v) {
    Bytes b(8);
    for (int i = 0; i < 8; ++i)
        b[i] = std::uint8_t(v >> (8 * i));
    return b;
}
std::uint16_t readLe16(const std::uint8_t* p) {
    return std::uint16_t(p[0] | (p[1] << 8));
}
std::uint32_t readLe32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}
std::uint64_t readLe64(const std::uint8_t* p) {
    return std::uint64_t(readLe32(p)) | (std::uint64_t(readLe32(p + 4)) << 32);
}

Bytes utf16le(const std::u16string& s) {
    Bytes b;
    b.reserve(s.size() * 2);
    for (char16_t c : s) {
        b.push_back(std::uint8_t(c));
        b.push_back(std::uint8_t(c >> 8));
    }
    return b;
}

bool startsAsCompoundFile(const Bytes& b) {
    static constexpr std::uint8_t signature[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    return b.size() >= sizeof signature &&
           std::equal(std::begin(signature), std::end(signature), b.begin());
}

std::u16string fromUtf16le(const Bytes& b) {
    std::u16string s;
    s.reserve(b.size() / 2);
    for (std::size_t i = 0; i + 1 < b.size(); i += 2)
        s.push_back(char16_t(b[i] | (b[i + 1] << 8)));
    return s;
}

std::u16string fromUtf8(const std::string& s) {
    std::u16string out;
    std::size_t i = 0;
    while (i < s.size()) {
        std::uint32_t c = std::uint8_t(s[i]);
        int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        if (extra)
            c &= (0x3F >> extra);
        ++i;
        for (int k = 0; k < extra && i < s.size(); ++k, ++i)
            c = (c << 6) | (std::uint8_t(s[i]) & 0x3F);
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(char16_t(0xD800 + (c >> 10)));
            out.push_back(char16_t(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(char16_t(c));
        }
    }
    return out;
}

std::string toUtf8(const std::u16string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        std::uint32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out.push_back(char(c));
        } else if (c < 0x800) {
            out.push_back(char(0xC0 | (c >> 6)));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(char(0xE0 | (c >> 12)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        } else {
            out.push_back(char(0xF0 | (c >> 18)));
            out.push_back(char(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(char(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(char(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

} // namespace talvenor::mapi
