#include "fixtures.h"

#include "../nativestore/generatedstore.h"

#include <description.h>
#include <generate.h>

#include <QFile>

#include <cstring>
#include <stdexcept>

namespace talvenor::pst::test {

namespace {

using mapi::Bytes;
using mapi::Property;
using pstwriter::Encoding;
using pstwriter::Format;
namespace build = pstwriter::build;

Property prop(std::uint16_t id, std::uint16_t type, Bytes value) {
    Property p;
    p.id = id;
    p.type = type;
    p.value = std::move(value);
    return p;
}

Property multi(std::uint16_t id, std::uint16_t type, std::vector<Bytes> values) {
    Property p;
    p.id = id;
    p.type = type | mapi::PtMultiFlag;
    p.values = std::move(values);
    return p;
}

Bytes doubleBytes(double d) {
    std::uint64_t u;
    std::memcpy(&u, &d, 8);
    return mapi::le64(u);
}

Bytes pattern(std::size_t n, std::uint32_t seed) {
    Bytes b(n);
    for (auto& c : b) {
        seed = seed * 1103515245u + 12345u;
        c = std::uint8_t(seed >> 16);
    }
    return b;
}

const char* formatName(Format f) {
    return f == Format::Ansi ? "Ansi" : "Unicode";
}

const char* encodingName(Encoding e) {
    switch (e) {
    case Encoding::None:
        return "None";
    case Encoding::Compressible:
        return "Compressible";
    case Encoding::Cyclic:
        return "Cyclic";
    }
    return "?";
}

pstwriter::StoreDescription sample(const std::string& file) {
    QFile f(QString::fromStdString(file));
    if (!f.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read " + file);
    return pstwriter::parseDescription(f.readAll());
}

} // namespace

mapi::Message everyTypeMessage() {
    mapi::Message m = talvenor::testing::richMessage();
    const mapi::Guid g = *mapi::Guid::parse("{6ED8DA90-450B-101B-98DA-00AA003F1305}");
    const Bytes gb(g.bytes.begin(), g.bytes.end());
    m.set(prop(0x6700, mapi::PtInteger16, mapi::le16(0xBEEF)));
    m.set(prop(0x6701, mapi::PtInteger32, mapi::le32(0x12345678)));
    m.set(prop(0x6702, mapi::PtInteger64, mapi::le64(0x0123456789ABCDEFull)));
    m.set(prop(0x6703, mapi::PtBoolean, mapi::le16(1)));
    m.set(prop(0x6704, mapi::PtFloating64, doubleBytes(3.25)));
    m.set(prop(0x6705, mapi::PtFloating32, mapi::le32(0x40490FDB)));
    m.set(prop(0x6706, mapi::PtCurrency, mapi::le64(123450000)));
    m.set(prop(0x6707, mapi::PtFloatingTime, doubleBytes(45000.5)));
    m.set(prop(0x6708, mapi::PtTime, mapi::le64(build::filetime(1700000000))));
    m.set(prop(0x6709, mapi::PtGuid, gb));
    m.set(prop(0x670A, mapi::PtBinary, pattern(300, 7)));
    m.set(prop(0x670B, mapi::PtUnicode, mapi::utf16le(u"Grüße, мир, 世界 🌍")));
    m.set(prop(0x670C, mapi::PtString8, Bytes{'a', 'b', 'c'}));
    m.set(prop(0x670D, mapi::PtErrorCode, mapi::le32(0x8004010F)));
    m.set(prop(0x670E, mapi::PtBinary, pattern(20000, 9))); // a sub-node over several blocks
    m.set(multi(0x6710, mapi::PtInteger16, {mapi::le16(1), mapi::le16(2)}));
    m.set(multi(0x6711, mapi::PtInteger32, {mapi::le32(1), mapi::le32(2), mapi::le32(3)}));
    m.set(multi(0x6712, mapi::PtInteger64, {mapi::le64(5), mapi::le64(1ull << 40)}));
    m.set(multi(0x6713, mapi::PtFloating64, {doubleBytes(1.5), doubleBytes(-2)}));
    m.set(multi(0x6714, mapi::PtCurrency, {mapi::le64(10000)}));
    m.set(multi(0x6715, mapi::PtTime, {mapi::le64(build::filetime(0)), mapi::le64(1)}));
    m.set(multi(0x6716, mapi::PtGuid, {gb, gb}));
    m.set(multi(0x6717, mapi::PtBinary, {pattern(5, 1), pattern(4000, 2), Bytes{0}}));
    m.set(multi(0x6718, mapi::PtUnicode, {mapi::utf16le(u"one"), mapi::utf16le(u"двa")}));
    m.set(multi(0x6719, mapi::PtString8, {Bytes{'x'}, Bytes{'y', 'z'}}));
    m.set(multi(0x671A, mapi::PtFloating32, {mapi::le32(0x3F800000)}));
    m.set(multi(0x671B, mapi::PtFloatingTime, {doubleBytes(2.5)}));
    build::setNamedString(m, {mapi::PS_PUBLIC_STRINGS, std::nullopt, u"Keywords-ish"}, u"red");
    build::setNamedString(m, {mapi::PSETID_Common, 0x8580, {}}, u"numbered");
    build::setNamedString(m, {mapi::PS_PUBLIC_STRINGS, 0x1234, {}}, u"public numbered");
    build::setNamedStrings(m, {mapi::PSETID_Address, std::nullopt, u"List"}, {u"a", u"b"});
    return m;
}

void writeSmallStore(const std::string& path, Format format, Encoding encoding) {
    pstwriter::StoreDescription d;
    d.options.format = format;
    d.options.encoding = encoding;
    pstwriter::FolderDescription inbox;
    inbox.name = u"Inbox";
    inbox.special = pstwriter::SpecialFolder::Inbox;
    inbox.messages.push_back(talvenor::testing::richMessage());
    inbox.messages.push_back(talvenor::testing::simpleMessage("IPM.Note", u"Second"));
    d.folders.push_back(std::move(inbox));
    pstwriter::writePst(d, path);
}

std::vector<Fixture> allFixtures() {
    std::vector<Fixture> out;
    const Format formats[] = {Format::Unicode, Format::Ansi};
    const Encoding encodings[] = {Encoding::None, Encoding::Compressible, Encoding::Cyclic};
    const char* samples[] = {"Household", "International", "ProjectArchive"};
    for (Format f : formats) {
        for (Encoding e : encodings) {
            const std::string suffix = std::string(formatName(f)) + encodingName(e);
            for (const char* s : samples) {
                out.push_back({std::string(s) + suffix, [s, f, e](const std::string& path) {
                                   auto d = sample(std::string(TALVENOR_SAMPLE_SOURCES) + "/" + s +
                                                   ".json");
                                   d.options.format = f;
                                   d.options.encoding = e;
                                   pstwriter::writePst(d, path);
                               }});
            }
            out.push_back({"EveryType" + suffix, [f, e](const std::string& path) {
                               pstwriter::StoreDescription d;
                               d.options.format = f;
                               d.options.encoding = e;
                               pstwriter::FolderDescription folder;
                               folder.name = u"Types";
                               folder.messages.push_back(everyTypeMessage());
                               mapi::Message outer = everyTypeMessage();
                               build::addEmbedded(outer, u"Inner", everyTypeMessage());
                               folder.messages.push_back(std::move(outer));
                               d.folders.push_back(std::move(folder));
                               pstwriter::writePst(d, path);
                           }});
            out.push_back({"Generated" + suffix, [f, e](const std::string& path) {
                               pstwriter::Options o;
                               o.format = f;
                               o.encoding = e;
                               pstwriter::generateStore(path, 40, o, 3);
                           }});
        }
        out.push_back({std::string("Tree") + formatName(f), [f](const std::string& path) {
                           talvenor::testing::writeTreeStore(path, f);
                       }});
    }
    // A folder whose contents table spans many blocks and whose heap spans several.
    out.push_back({"LargeFolder", [](const std::string& path) {
                       talvenor::testing::writeLargeFolderStore(path, 700);
                   }});
    return out;
}

} // namespace talvenor::pst::test
