#include "namemap.h"

#include "reader.h"

namespace talvenor::nativestore {

namespace {

constexpr std::uint16_t GuidStream = 0x0002;
constexpr std::uint16_t EntryStream = 0x0003;
constexpr std::uint16_t StringStream = 0x0004;
constexpr std::size_t EntrySize = 8;
constexpr std::size_t GuidSize = 16;
// GUID indices with a meaning of their own; the GUID stream starts at the next one.
constexpr std::uint16_t GuidIndexMapi = 1;
constexpr std::uint16_t GuidIndexPublicStrings = 2;
constexpr std::uint16_t FirstStreamGuidIndex = 3;

const mapi::Bytes* stream(const mapi::PropertyBag& map, std::uint16_t id) {
    const mapi::Property* p = map.find(id);
    return p && p->type == mapi::PtBinary ? &p->value : nullptr;
}

} // namespace

NameToIdMap NameToIdMap::parse(const mapi::PropertyBag& map) {
    NameToIdMap out;
    const mapi::Bytes* entries = stream(map, EntryStream);
    if (!entries)
        return out;
    static const mapi::Bytes none;
    const mapi::Bytes& guids = stream(map, GuidStream) ? *stream(map, GuidStream) : none;
    const mapi::Bytes& strings = stream(map, StringStream) ? *stream(map, StringStream) : none;
    for (std::size_t at = 0; at + EntrySize <= entries->size(); at += EntrySize) {
        const std::uint8_t* e = entries->data() + at;
        const std::uint32_t key = mapi::readLe32(e);
        const std::uint16_t kind = mapi::readLe16(e + 4);
        const std::uint16_t index = mapi::readLe16(e + 6);
        const bool isString = kind & 1;
        const std::uint16_t guidIndex = kind >> 1;
        mapi::PropertyName name;
        if (guidIndex == GuidIndexMapi) {
            name.guid = mapi::PS_MAPI;
        } else if (guidIndex == GuidIndexPublicStrings) {
            name.guid = mapi::PS_PUBLIC_STRINGS;
        } else if (guidIndex >= FirstStreamGuidIndex) {
            const std::size_t g = std::size_t(guidIndex - FirstStreamGuidIndex) * GuidSize;
            if (g + GuidSize > guids.size())
                continue;
            std::copy_n(guids.begin() + std::ptrdiff_t(g), GuidSize, name.guid.bytes.begin());
        } else {
            continue; // no property set: not a name a message can carry
        }
        if (isString) {
            if (std::size_t(key) + 4 > strings.size())
                continue;
            const std::uint32_t length = mapi::readLe32(strings.data() + key);
            if (length % 2 || length > strings.size() - key - 4)
                continue;
            name.name = mapi::fromUtf16le(
                mapi::Bytes(strings.begin() + std::ptrdiff_t(key) + 4,
                            strings.begin() + std::ptrdiff_t(key) + 4 + std::ptrdiff_t(length)));
        } else {
            name.lid = key;
        }
        if (index < 0x8000)
            out.names_.emplace(std::uint16_t(0x8000 + index), std::move(name));
    }
    return out;
}

std::optional<mapi::PropertyName> NameToIdMap::name(std::uint16_t id) const {
    const auto it = names_.find(id);
    if (it == names_.end())
        return std::nullopt;
    return it->second;
}

NameToIdMap readNameToIdMap(libpff_file_t* file) {
    PffItem map;
    PffError error;
    if (libpff_file_get_name_to_id_map(file, map.out(), error.out()) != 1 || !map)
        return {};
    int sets = 0;
    if (libpff_item_get_number_of_record_sets(map.get(), &sets, error.out()) != 1 || sets < 1)
        return {};
    PffRecordSet recordSet;
    if (libpff_item_get_record_set_by_index(map.get(), 0, recordSet.out(), error.out()) != 1)
        throw PffFailure(QStringLiteral("cannot read the map of named properties"), error);
    mapi::PropertyBag bag;
    readPropertyBag(recordSet.get(), bag);
    return NameToIdMap::parse(bag);
}

} // namespace talvenor::nativestore
