// One message's node: every message node the node B-tree lists is read on its own, with its
// recipients, attachments and attached messages, whether or not a folder still lists it. The
// mutations land in message heaps, tables and sub-node trees rather than in the folders.
#include "fuzzinput.h"

using namespace talvenor::pst;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const Store store = Store::openMemory(fuzz::storeBytes(data, size), fuzz::kFuzzOptions);
        std::vector<NodeEntry> messages;
        store.ndb().forEachNode([&](const NodeEntry& n) {
            if ((n.nid & 0x1F) == 0x04 && messages.size() < 200)
                messages.push_back(n);
        });
        for (const NodeEntry& n : messages) {
            try {
                store.messageAt(n);
            } catch (const Error&) {
            }
        }
    } catch (const Error&) {
    }
    return 0;
}
