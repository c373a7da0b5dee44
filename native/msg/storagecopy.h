// Attachments of kind "OLE storage" carry a whole compound file; in a .msg file its streams
// and storages are placed under the attachment's own storage of the file being written.
#pragma once

#include "compoundfile.h"
#include "mapi/mapi.h"

#include <cstdint>
#include <string>

namespace talvenor::msg {

// True when the bytes start like a compound file.
bool isCompoundFile(const mapi::Bytes& bytes);

// Copies the compound-file image (untrusted bytes, read by our own checked reader) into the
// storage to, with the image's class id, times and streams.
void copyImageInto(const mapi::Bytes& image, cfb::Tree& tree, cfb::Tree::Id to,
                   std::uint64_t stamp);

} // namespace talvenor::msg
