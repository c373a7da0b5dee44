#include "fixtures.h"

#include "../nativestore/generatedstore.h"
#include "../pstwriter/everytype.h"

#include <description.h>
#include <generate.h>

#include <QFile>

#include <stdexcept>

namespace talvenor::pst::test {

namespace {

using mapi::Bytes;
using pstwriter::Encoding;
using pstwriter::Format;
namespace build = pstwriter::build;

const char* formatName(Format f) {
    switch (f) {
    case Format::Ansi:
        return "Ansi";
    case Format::Ost4k:
        return "Ost";
    case Format::Unicode:
        break;
    }
    return "Unicode";
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

pstwriter::StoreDescription sampleNamed(const char* name) {
    return sample(std::string(TALVENOR_SAMPLE_SOURCES) + "/" + name + ".json");
}

pstwriter::StoreDescription everyTypeStore(pstwriter::Options options) {
    pstwriter::StoreDescription d;
    d.options = std::move(options);
    pstwriter::FolderDescription folder;
    folder.name = u"Types";
    folder.messages.push_back(everyTypeMessage());
    mapi::Message outer = everyTypeMessage();
    build::addEmbedded(outer, u"Inner", everyTypeMessage());
    folder.messages.push_back(std::move(outer));
    d.folders.push_back(std::move(folder));
    return d;
}

} // namespace

mapi::Message everyTypeMessage() {
    using namespace pstwriter::test;
    mapi::Message m = talvenor::testing::richMessage();
    addEveryType(m);
    const Bytes gb(kGuid.bytes.begin(), kGuid.bytes.end());
    m.set(prop(0x670E, mapi::PtBinary, pattern(20000, 9))); // a sub-node over several blocks
    m.set(multi(0x6716, mapi::PtGuid, {gb, gb}));
    m.set(multi(0x671A, mapi::PtFloating32, {mapi::le32(0x3F800000)}));
    m.set(multi(0x671B, mapi::PtFloatingTime, {doubleBytes(2.5)}));
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
    // Offline stores with 4 KiB pages too: libpff reads those written without compressed blocks.
    const Format formats[] = {Format::Unicode, Format::Ansi, Format::Ost4k};
    const Encoding encodings[] = {Encoding::None, Encoding::Compressible, Encoding::Cyclic};
    const char* samples[] = {"Household", "International", "ProjectArchive"};
    for (Format f : formats) {
        for (Encoding e : encodings) {
            const std::string suffix = std::string(formatName(f)) + encodingName(e);
            for (const char* s : samples) {
                out.push_back({std::string(s) + suffix, [s, f, e](const std::string& path) {
                                   auto d = sampleNamed(s);
                                   d.options.format = f;
                                   d.options.encoding = e;
                                   pstwriter::writePst(d, path);
                               }});
            }
            out.push_back({"EveryType" + suffix, [f, e](const std::string& path) {
                               pstwriter::Options o;
                               o.format = f;
                               o.encoding = e;
                               pstwriter::writePst(everyTypeStore(o), path);
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
        // Stores as other writers leave them: every string with its terminator; mail in a top
        // folder of another name that the store does not name. (libpff finds a folder's
        // messages by its contents table only, so it cannot judge an empty one.)
        out.push_back({std::string("Terminators") + formatName(f), [f](const std::string& path) {
                           pstwriter::Options o;
                           o.format = f;
                           o.terminators = true;
                           pstwriter::writePst(everyTypeStore(o), path);
                       }});
        out.push_back(
            {std::string("InternationalTerminators") + formatName(f), [f](const std::string& path) {
                 auto d = sampleNamed("International");
                 d.options.format = f;
                 d.options.terminators = true;
                 pstwriter::writePst(d, path);
             }});
        out.push_back({std::string("Quirks") + formatName(f), [f](const std::string& path) {
                           auto d = sampleNamed("Household");
                           d.options.format = f;
                           d.options.topFolderName = u"Outlook データ ファイルのトップ";
                           d.options.ipmSubtreeEntryId = false;
                           d.messages.push_back(talvenor::testing::richMessage());
                           pstwriter::writePst(d, path);
                       }});
    }
    // Message strings in the other string type and 8-bit ones in other code pages.
    for (const auto& c : talvenor::testing::stringCases())
        out.push_back({std::string("Strings") + c.label, [c](const std::string& path) {
                           talvenor::testing::writeStringStore(path, c);
                       }});
    // Every page and block beyond 4 GiB (a sparse file): each 64-bit offset must stay whole.
    out.push_back({"BeyondFourGiB", [](const std::string& path) {
                       pstwriter::Options o;
                       o.dataFrom = (std::uint64_t(17) << 30) / 4;
                       pstwriter::generateStore(path, 40, o, 3);
                   }});
    // A folder whose contents table spans many blocks and whose heap spans several.
    out.push_back({"LargeFolder", [](const std::string& path) {
                       talvenor::testing::writeLargeFolderStore(path, 700);
                   }});
    return out;
}

} // namespace talvenor::pst::test
