// Attachments of kind "OLE storage" carry a whole compound file; in a .msg file its streams
// and storages are placed under the attachment's own storage. These helpers move such a tree
// between a byte image and a storage of the file being written or read.
#pragma once

#include "gsfhandles.h"
#include "mapi/mapi.h"

#include <string>

namespace talvenor::msg {

// True when the bytes start like a compound file.
bool isCompoundFile(const mapi::Bytes& bytes);

// Copies the streams and storages (with their class ids and times) of from into to; storages
// without a time get stamp. Throws the message of the first failure as std::string.
void copyStorage(GsfInfile* from, GsfOutfile* to, GDateTime* stamp);

// Copies the compound-file image into the (open) storage to, with the image's class id.
void copyImageInto(const mapi::Bytes& image, GsfOutfile* to, GDateTime* stamp);

// A compound-file image of the storage from.
mapi::Bytes imageOf(GsfInfile* from);

} // namespace talvenor::msg
