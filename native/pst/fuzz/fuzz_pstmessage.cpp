// One message's node: every message node the node B-tree lists is read on its own, with its
// recipients, attachments and attached messages, whether or not a folder still lists it. The
// mutations land in message heaps, tables and sub-node trees rather than in the folders.
#include "fuzzinput.h"

using namespace talvenor::pst;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const Store store = Store::openMemory(fuzz::storeBytes(data, size), fuzz::kFuzzOptions);
        // Every node that can be found, through a damaged tree as well (by the scan).
        std::vector<NodeEntry> messages;
        for (const NodeEntry& n : store.ndb().recoverableNodes())
            if ((n.nid & 0x1F) == 0x04 && messages.size() < 200)
                messages.push_back(n);
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
