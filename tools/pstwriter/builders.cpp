#include "pstwriter.h"

#include "ndb.h"

#include <cstring>

namespace talvenor::pstwriter::build {

using namespace talvenor::mapi;

void setSubject(Message& m, const std::u16string& subject, bool withMarker) {
    std::size_t prefix = 0;
    // A prefix is a short run of letters followed by ":" and a space, as in "RE: " or "AW: ".
    const std::size_t colon = subject.find(u':');
    if (colon != std::u16string::npos && colon >= 1 && colon <= 3 && colon + 1 < subject.size() &&
        subject[colon + 1] == u' ') {
        bool letters = true;
        for (std::size_t i = 0; i < colon; ++i)
            letters = letters && ((subject[i] >= u'A' && subject[i] <= u'Z') ||
                                  (subject[i] >= u'a' && subject[i] <= u'z'));
        if (letters)
            prefix = colon + 2;
    }
    if (withMarker && prefix > 0) {
        std::u16string stored;
        stored += char16_t(0x0001);
        stored += char16_t(prefix);
        stored += subject;
        m.setUnicode(tags::Subject, stored);
    } else {
        m.setUnicode(tags::Subject, subject);
    }
}

void addRecipient(Message& m, std::uint32_t type, const std::u16string& name,
                  const std::u16string& address, const std::u16string& addressType) {
    Recipient r;
    r.setInt32(tags::RecipientType, std::int32_t(type));
    r.setUnicode(tags::DisplayName, name);
    r.setUnicode(tags::AddressType, addressType);
    r.setUnicode(tags::EmailAddress, address);
    r.setUnicode(0x39FE, address); // SMTP address
    r.setInt32(0x0FFE, 6);
    r.setInt32(0x3900, 0);
    m.recipients.push_back(std::move(r));
}

void addAttachment(Message& m, const std::u16string& fileName, const std::string& mimeType,
                   Bytes data, const std::string& contentId) {
    Attachment a;
    a.setInt32(tags::AttachMethod, AttachByValue);
    a.setUnicode(tags::AttachFilename, fileName);
    a.setUnicode(tags::AttachLongFilename, fileName);
    a.setUnicode(tags::DisplayName, fileName);
    if (!mimeType.empty())
        a.setUnicode(tags::AttachMimeTag, fromUtf8(mimeType));
    if (!contentId.empty())
        a.setUnicode(tags::AttachContentId, fromUtf8(contentId));
    a.setBinary(tags::AttachDataBinary, std::move(data));
    m.attachments.push_back(std::move(a));
}

void addEmbedded(Message& m, const std::u16string& displayName, Message inner) {
    Attachment a;
    a.setInt32(tags::AttachMethod, AttachEmbeddedMsg);
    a.setUnicode(tags::DisplayName, displayName);
    a.embedded = std::make_shared<Message>(std::move(inner));
    m.attachments.push_back(std::move(a));
}

void addOleObject(Message& m, const std::u16string& displayName, Bytes compoundFile) {
    Attachment a;
    a.setInt32(tags::AttachMethod, 6);
    a.setUnicode(tags::DisplayName, displayName);
    a.setInt32(tags::RenderingPosition, 0);
    a.set({tags::AttachDataBinary, PtObject, std::nullopt, std::move(compoundFile), {}});
    m.attachments.push_back(std::move(a));
}

void setNamedStrings(Message& m, const PropertyName& name,
                     const std::vector<std::u16string>& values) {
    Property p;
    p.id = 0x8000;
    p.type = PtUnicode | PtMultiFlag;
    p.name = name;
    for (const auto& v : values)
        p.values.push_back(utf16le(v));
    m.set(std::move(p));
}

void setNamedString(Message& m, const PropertyName& name, const std::u16string& value) {
    Property p;
    p.id = 0x8000;
    p.type = PtUnicode;
    p.name = name;
    p.value = utf16le(value);
    m.set(std::move(p));
}

Bytes rtfUncompressed(const std::string& rtf) {
    Bytes out;
    auto put = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out.push_back(std::uint8_t(v >> (8 * i)));
    };
    put(std::uint32_t(rtf.size() + 12)); // compressed size: the header's last 12 bytes + data
    put(std::uint32_t(rtf.size()));
    put(0x414C454D); // "MELA"
    put(0);          // no CRC for uncompressed streams
    out.insert(out.end(), rtf.begin(), rtf.end());
    return out;
}

Bytes rtfCompressed(const std::string& rtf) {
    // The dictionary starts filled with this text; references into it are optional, so the
    // stream below is made of literals only, closed by the reference to the write position
    // that marks its end.
    static constexpr std::size_t kPreloadSize = 207;
    Bytes body;
    std::size_t at = 0;
    std::size_t written = 0;
    bool ended = false;
    while (!ended) {
        const std::size_t controlAt = body.size();
        body.push_back(0);
        for (int bit = 0; bit < 8; ++bit) {
            if (at < rtf.size()) {
                body.push_back(std::uint8_t(rtf[at++]));
                ++written;
                continue;
            }
            const std::uint16_t offset = std::uint16_t((kPreloadSize + written) % 4096);
            const std::uint16_t ref = std::uint16_t(offset << 4);
            body[controlAt] |= std::uint8_t(1 << bit);
            body.push_back(std::uint8_t(ref >> 8));
            body.push_back(std::uint8_t(ref));
            ended = true;
            break;
        }
    }
    Bytes out;
    auto put = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out.push_back(std::uint8_t(v >> (8 * i)));
    };
    put(std::uint32_t(body.size() + 12));
    put(std::uint32_t(rtf.size()));
    put(0x75465A4C); // "LZFu"
    put(pstCrc(body.data(), body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

std::uint64_t filetime(std::int64_t unixSeconds) {
    return std::uint64_t(unixSeconds + 11644473600LL) * 10000000ULL;
}

} // namespace talvenor::pstwriter::build
