// Attachments of kind "OLE storage" carry a whole compound file; in a .msg file its streams
// and storages are placed under the attachment's own storage. These helpers move such a tree
// between a byte image and a storage of the file being written or read.
#pragma once

#include "compoundfile.h"
#include "gsfhandles.h"
#include "mapi/mapi.h"

#include <cstdint>
#include <string>

namespace talvenor::msg {

// True when the bytes start like a compound file.
bool isCompoundFile(const mapi::Bytes& bytes);

// Copies the streams and storages (with their class ids and modification times) of from into
// the storage to of tree; every copied storage is created at stamp, and stamp stands in for
// a missing modification time (both FILETIMEs, 0 for none). A stream larger than limit bytes
// means a damaged source. Throws the message of the first failure as std::string.
void copyStorage(GsfInfile* from, cfb::Tree& tree, cfb::Tree::Id to, std::uint64_t stamp,
                 std::uint64_t limit);

// Copies the compound-file image (untrusted bytes, read by our own checked reader) into the
// storage to, with the image's class id, times and streams.
void copyImageInto(const mapi::Bytes& image, cfb::Tree& tree, cfb::Tree::Id to,
                   std::uint64_t stamp);

// A compound-file image of the storage from.
mapi::Bytes imageOf(GsfInfile* from);

} // namespace talvenor::msg
