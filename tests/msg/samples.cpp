#include "samples.h"

#include "gsfhandles.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace msgtest {

namespace {

Bytes ascii(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes pattern(std::size_t size, std::uint8_t seed) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i)
        b[i] = std::uint8_t(seed + i * 31 + (i >> 8));
    return b;
}

Property prop(std::uint16_t id, std::uint16_t type, Bytes value) {
    return {id, type, std::nullopt, std::move(value), {}};
}

Property multi(std::uint16_t id, std::uint16_t type, std::vector<Bytes> values) {
    return {id, std::uint16_t(type | PtMultiFlag), std::nullopt, {}, std::move(values)};
}

Bytes guidBytes(std::uint8_t seed) {
    Bytes b(16);
    for (int i = 0; i < 16; ++i)
        b[i] = std::uint8_t(seed + i);
    return b;
}

std::string hex(const Bytes& b) {
    std::string s;
    char buf[4];
    for (auto c : b) {
        std::snprintf(buf, sizeof buf, "%02x", c);
        s += buf;
    }
    return s;
}

void addTimes(Message& m) {
    m.setTime(tags::ClientSubmitTime, 133000000000000000ULL);
    m.setTime(tags::MessageDeliveryTime, 133000000600000000ULL);
    m.setTime(tags::CreationTime, 133000001200000000ULL);
}

} // namespace

Property named(const PropertyName& name, std::uint16_t type, Bytes value) {
    Property p{0x8000, type, name, std::move(value), {}};
    return p;
}

PropertyName lidName(const Guid& guid, std::uint32_t lid) {
    return {guid, lid, {}};
}
PropertyName stringName(const Guid& guid, const std::u16string& name) {
    return {guid, std::nullopt, name};
}

Message plainMessage(const std::u16string& subject) {
    Message m;
    m.setUnicode(tags::MessageClass, u"IPM.Note");
    m.setUnicode(tags::Subject, subject);
    m.setUnicode(tags::NormalizedSubject, subject);
    m.setUnicode(tags::Body, u"Hello,\r\nthis is the body.\r\n");
    m.setUnicode(tags::SenderName, u"Ada Sender");
    m.setUnicode(tags::SenderEmailAddress, u"ada@example.org");
    m.setUnicode(tags::SenderAddressType, u"SMTP");
    m.setInt32(tags::MessageFlags, 1);
    m.setInt32(tags::Importance, 1);
    m.setInt32(tags::MessageSize, 4321); // as the store has it
    addTimes(m);
    return m;
}

Recipient recipient(const std::u16string& name, const std::u16string& address, std::int32_t type) {
    Recipient r;
    r.setUnicode(tags::DisplayName, name);
    r.setUnicode(tags::AddressType, u"SMTP");
    r.setUnicode(tags::EmailAddress, address);
    r.setUnicode(0x39FE, address); // SMTP address
    r.setInt32(tags::RecipientType, type);
    r.setInt32(tags::RowId, 0);
    return r;
}

Attachment fileAttachment(const std::u16string& filename, Bytes data) {
    Attachment a;
    a.setInt32(tags::AttachMethod, AttachByValue);
    a.setUnicode(tags::AttachLongFilename, filename);
    a.setUnicode(tags::AttachFilename, filename.substr(0, 8));
    a.setUnicode(tags::AttachMimeTag, u"application/octet-stream");
    a.setInt32(tags::AttachSize, std::int32_t(data.size()));
    a.setInt32(tags::RenderingPosition, -1);
    a.setBinary(tags::AttachDataBinary, std::move(data));
    return a;
}

Bytes oleObjectImage() {
    using namespace talvenor::msg;
    GRef<GsfOutput> mem(gsf_output_memory_new());
    {
        OutRef root(GSF_OUTPUT(gsf_outfile_msole_new(mem.get())));
        const std::uint8_t clsid[16] = {0x11, 0x22, 0x33, 0x44, 5,  6,  7,  8,
                                        9,    10,   11,   12,   13, 14, 15, 16};
        gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(root.get()), clsid);
        auto put = [](GsfOutfile* dir, const char* name, const Bytes& data) {
            OutRef s(gsf_outfile_new_child(dir, name, FALSE));
            gsf_output_write(s.get(), data.size(), data.data());
        };
        put(root.dir(), "\001Ole", pattern(20, 1));
        put(root.dir(), "CONTENTS", pattern(6000, 2));
        OutRef info(gsf_outfile_new_child(root.dir(), "ObjInfo", TRUE));
        put(info.dir(), "Data", pattern(100, 3));
    }
    if (!gsf_output_is_closed(mem.get()))
        gsf_output_close(mem.get());
    const auto* bytes = gsf_output_memory_get_bytes(GSF_OUTPUT_MEMORY(mem.get()));
    return Bytes(bytes, bytes + gsf_output_size(mem.get()));
}

Attachment oleAttachment() {
    Attachment a;
    a.setInt32(tags::AttachMethod, 6);
    a.setUnicode(tags::DisplayName, u"Picture");
    a.setInt32(tags::RenderingPosition, 0);
    a.set({tags::AttachDataBinary, PtObject, std::nullopt, oleObjectImage(), {}});
    return a;
}

std::vector<Sample> samples() {
    std::vector<Sample> out;

    out.push_back({"plain", plainMessage(u"Quarterly figures")});
    out.back().message.recipients.push_back(recipient(u"Bob", u"bob@example.org", 1));

    {
        Message m = plainMessage(u"Every type");
        m.props.push_back(prop(0x6601, PtInteger16, le16(0xFFFE)));
        m.props.push_back(prop(0x6602, PtInteger32, le32(0x89ABCDEF)));
        m.props.push_back(prop(0x6603, PtFloating32, le32(0x3FC00000)));
        m.props.push_back(prop(0x6604, PtFloating64, le64(0x400921FB54442D18ULL)));
        m.props.push_back(prop(0x6605, PtCurrency, le64(123456789)));
        m.props.push_back(prop(0x6606, PtFloatingTime, le64(0x40E5F5C000000000ULL)));
        m.props.push_back(prop(0x6607, PtErrorCode, le32(0x8004010F)));
        m.props.push_back(prop(0x6608, PtBoolean, le16(1)));
        m.props.push_back(prop(0x6609, PtInteger64, le64(0x0123456789ABCDEFULL)));
        m.props.push_back(prop(0x660A, PtTime, le64(132000000000000000ULL)));
        m.props.push_back(prop(0x660B, PtGuid, guidBytes(7)));
        m.props.push_back(prop(0x660C, PtString8, ascii("eight-bit caf\xe9")));
        m.props.push_back(
            prop(0x660D, PtUnicode, utf16le(u"Gr\u00fc\u00dfe \u65e5\u672c \U0001F600")));
        m.props.push_back(prop(0x660E, PtBinary, pattern(300, 3)));
        m.props.push_back(prop(0x660F, PtNull, {}));
        m.props.push_back(multi(0x6701, PtInteger16, {le16(1), le16(0xFFFF), le16(7)}));
        m.props.push_back(multi(0x6702, PtInteger32, {le32(1), le32(2)}));
        m.props.push_back(multi(0x6703, PtFloating32, {le32(0x3F800000)}));
        m.props.push_back(multi(0x6704, PtFloating64, {le64(1), le64(2), le64(3)}));
        m.props.push_back(multi(0x6705, PtCurrency, {le64(10), le64(20)}));
        m.props.push_back(multi(0x6706, PtFloatingTime, {le64(0x40E5F5C000000000ULL)}));
        m.props.push_back(multi(0x6709, PtInteger64, {le64(5), le64(6)}));
        m.props.push_back(multi(0x670A, PtTime, {le64(131000000000000000ULL)}));
        m.props.push_back(multi(0x670B, PtGuid, {guidBytes(1), guidBytes(100)}));
        m.props.push_back(multi(0x670C, PtString8, {ascii("one"), ascii(""), ascii("three")}));
        m.props.push_back(
            multi(0x670D, PtUnicode, {utf16le(u"alpha"), utf16le(u"\u00e9t\u00e9"), utf16le(u"")}));
        m.props.push_back(multi(0x670E, PtBinary, {pattern(5, 1), {}, pattern(5000, 2)}));
        m.props.push_back(multi(0x670F, PtUnicode, {}));
        m.setBinary(tags::RtfCompressed, pattern(777, 9)); // kept as stored
        out.push_back({"every type single and multi-valued", std::move(m)});
    }
    {
        Message m = plainMessage(u"");
        m.setString8(tags::SubjectPrefix, "");
        m.setBinary(0x6610, {});
        m.setUnicode(0x6611, u"");
        out.push_back({"empty strings and binary", std::move(m)});
    }
    {
        Message m = plainMessage(u"Sizes around the small-stream cutoff");
        m.setBinary(0x6620, pattern(4095, 1));
        m.setBinary(0x6621, pattern(4096, 2));
        m.setBinary(0x6622, pattern(4097, 3));
        m.attachments.push_back(fileAttachment(u"large.bin", pattern(3 * 1024 * 1024 + 17, 4)));
        out.push_back({"large binary", std::move(m)});
    }
    {
        Message m = plainMessage(u"Many recipients and attachments");
        for (int i = 0; i < 40; ++i) {
            const std::u16string n = fromUtf8("Person " + std::to_string(i));
            m.recipients.push_back(
                recipient(n, fromUtf8("p" + std::to_string(i) + "@example.org"), 1 + i % 3));
        }
        for (int i = 0; i < 20; ++i)
            m.attachments.push_back(fileAttachment(fromUtf8("file" + std::to_string(i) + ".txt"),
                                                   pattern(std::size_t(i) * 97, std::uint8_t(i))));
        out.push_back({"many recipients and attachments", std::move(m)});
    }
    {
        auto inner = std::make_shared<Message>(plainMessage(u"Innermost"));
        inner->attachments.push_back(fileAttachment(u"deep.txt", ascii("deep down")));
        inner->props.push_back(named(lidName(PSETID_Common, 0x8580), PtUnicode, utf16le(u"deep")));
        auto middle = std::make_shared<Message>(plainMessage(u"Middle"));
        middle->recipients.push_back(recipient(u"Carol", u"carol@example.org", 2));
        Attachment carryInner;
        carryInner.setInt32(tags::AttachMethod, AttachEmbeddedMsg);
        carryInner.setUnicode(tags::DisplayName, u"Innermost");
        carryInner.embedded = inner;
        middle->attachments.push_back(carryInner);
        middle->attachments.push_back(fileAttachment(u"mid.bin", pattern(10, 5)));
        Message m = plainMessage(u"Fw: Middle");
        Attachment carryMiddle;
        carryMiddle.setInt32(tags::AttachMethod, AttachEmbeddedMsg);
        carryMiddle.setUnicode(tags::DisplayName, u"Middle");
        carryMiddle.embedded = middle;
        m.attachments.push_back(fileAttachment(u"first.txt", ascii("first")));
        m.attachments.push_back(carryMiddle);
        out.push_back({"embedded message two levels deep", std::move(m)});
    }
    {
        Message m = plainMessage(u"Named properties");
        m.props.push_back(named(lidName(PSETID_Common, 0x8580), PtUnicode, utf16le(u"common")));
        m.props.push_back(named(lidName(PSETID_Address, 0x8005), PtInteger32, le32(42)));
        m.props.push_back(named(lidName(PS_MAPI, 0x0001), PtBinary, pattern(12, 1)));
        m.props.push_back(
            named(stringName(PS_PUBLIC_STRINGS, u"Keywords"), PtUnicode | PtMultiFlag, {}));
        m.props.back().values = {utf16le(u"red"), utf16le(u"blue")};
        m.props.push_back(
            named(stringName(PS_INTERNET_HEADERS, u"x-mailer"), PtUnicode, utf16le(u"ours")));
        m.props.push_back(
            named(stringName(PSETID_Task, u"\u00e9tiquette \u65e5"), PtBoolean, le16(1)));
        m.props.push_back(named(lidName(PSETID_Appointment, 0x8205), PtTime, le64(1)));
        Recipient r = recipient(u"Dan", u"dan@example.org", 1);
        r.props.push_back(named(lidName(PSETID_Common, 0x8580), PtUnicode, utf16le(u"recip")));
        m.recipients.push_back(r);
        Attachment a = fileAttachment(u"n.txt", ascii("n"));
        a.props.push_back(named(stringName(PS_PUBLIC_STRINGS, u"AttachTag"), PtInteger32, le32(9)));
        m.attachments.push_back(a);
        m.attachments.push_back(oleAttachment());
        out.push_back({"named properties by number and by string", std::move(m)});
    }
    {
        Message m = plainMessage(u"\u041f\u0440\u0438\u0432\u0435\u0442 \u4f60\u597d \U0001F4E7");
        m.setString8(0x0E1D, "plain 8-bit \x80\xff");
        m.remove(tags::MessageDeliveryTime);
        out.push_back({"unicode subject and 8-bit string", std::move(m)});
    }
    return out;
}

Message asWritten(Message m) {
    m.remove(tags::MessageSize);
    for (std::size_t i = 0; i < m.recipients.size(); ++i) {
        Recipient& r = m.recipients[i];
        r.remove(0x67F2);
        r.remove(0x67F3);
        if (!r.find(tags::RowId))
            r.setInt32(tags::RowId, std::int32_t(i));
    }
    for (std::size_t i = 0; i < m.attachments.size(); ++i) {
        Attachment& a = m.attachments[i];
        a.remove(0x67F2);
        a.remove(0x67F3);
        a.remove(tags::AttachSize);
        if (!a.find(tags::AttachNumber))
            a.setInt32(tags::AttachNumber, std::int32_t(i));
        if (!a.find(tags::RenderingPosition))
            a.setInt32(tags::RenderingPosition, -1);
        if (a.embedded)
            a.embedded = std::make_shared<Message>(asWritten(*a.embedded));
    }
    return m;
}

std::string canonical(const Message& m, const std::set<std::uint32_t>& topLevelSkip) {
    auto bagLines = [](const PropertyBag& b, const std::set<std::uint32_t>& skip) {
        std::vector<std::string> lines;
        for (const auto& p : b.props) {
            if (baseType(p.type) == PtObject || skip.contains(p.tag()))
                continue;
            std::string key;
            char buf[64];
            if (p.name) {
                key = "named " + p.name->guid.toString() + " ";
                if (p.name->lid) {
                    std::snprintf(buf, sizeof buf, "lid %04X", *p.name->lid);
                    key += buf;
                } else {
                    key += "\"" + toUtf8(p.name->name) + "\"";
                }
            } else {
                std::snprintf(buf, sizeof buf, "%04X", p.id);
                key = buf;
            }
            std::snprintf(buf, sizeof buf, " type %04X =", p.type);
            key += buf;
            if (isMultiValued(p.type)) {
                key += " [";
                for (const auto& v : p.values)
                    key += hex(v) + ",";
                key += "]";
            } else {
                key += " " + hex(p.value);
            }
            lines.push_back(key);
        }
        std::sort(lines.begin(), lines.end());
        std::string s;
        for (const auto& l : lines)
            s += "  " + l + "\n";
        return s;
    };
    std::string s = "message\n" + bagLines(m, topLevelSkip);
    for (std::size_t i = 0; i < m.recipients.size(); ++i)
        s += "recipient " + std::to_string(i) + "\n" + bagLines(m.recipients[i], {});
    for (std::size_t i = 0; i < m.attachments.size(); ++i) {
        s += "attachment " + std::to_string(i) + "\n" + bagLines(m.attachments[i], {});
        if (m.attachments[i].embedded) {
            std::string inner = canonical(*m.attachments[i].embedded);
            s += "embedded {\n" + inner + "}\n";
        }
    }
    return s;
}

} // namespace msgtest
