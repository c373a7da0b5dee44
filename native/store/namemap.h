// The store's own name-to-id map (node 0x61): which name each named property id (0x8000 and
// up) stands for. libpff 20180714 gets the property set of some names wrong (numbered names of
// PS_PUBLIC_STRINGS come out with an all-zero GUID), so names are taken from the map itself.
#pragma once

#include "pff.h"

#include <mapi/mapi.h>

#include <map>
#include <optional>

namespace talvenor::nativestore {

class NameToIdMap {
public:
    // From the map's properties: 0x0002 the GUID stream, 0x0003 the entries, 0x0004 the
    // strings. Entries that point outside their streams are left out.
    static NameToIdMap parse(const mapi::PropertyBag& map);

    std::optional<mapi::PropertyName> name(std::uint16_t id) const;
    std::size_t size() const { return names_.size(); }

private:
    std::map<std::uint16_t, mapi::PropertyName> names_;
};

// Reads the map of an opened file; an empty map when the file has none.
NameToIdMap readNameToIdMap(libpff_file_t* file);

} // namespace talvenor::nativestore
