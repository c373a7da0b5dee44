// One message's node: every message node the node B-tree lists is read on its own, with its
// recipients, attachments and attached messages, whether or not a folder still lists it. The
// mutations land in message heaps, tables and sub-node trees rather than in the folders.
#include "fuzzroads.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    talvenor::pst::fuzz::readMessageNodes(data, size);
    return 0;
}
