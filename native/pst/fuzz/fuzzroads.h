// The roads the reader's fuzz targets take through a store, shared with the plain tests that
// run every seed: a seed that once found a fault keeps being read the same way in every build.
#pragma once

#include "fuzzinput.h"

#include <walk.h>

#include <string>
#include <vector>

namespace talvenor::pst::fuzz {

// What one road made of an input: whether it opened, and what it could read.
struct RoadResult {
    bool opened = false;
    std::size_t read = 0;   // folders and messages (whole store), messages (message nodes)
    std::size_t failed = 0; // of those, what could not be read
    std::vector<std::string> repairs; // what the reader worked around on the way
};

// A whole store: every folder, table and message it can reach. Throws nothing.
inline RoadResult readWholeStore(const std::uint8_t* data, std::size_t size,
                                 const ReadOptions& options = kFuzzOptions) {
    RoadResult r;
    try {
        const Store store = Store::openMemory(storeBytes(data, size), options);
        r.opened = true;
        const WalkCounts c = walkStore(store, 2000);
        r.read = c.folders + c.messages;
        r.failed = c.failures;
        r.repairs = store.repairs();
    } catch (const Error&) {
    }
    return r;
}

// Every message node the node B-tree lists, or a scan finds, read on its own with its
// recipients, attachments and attached messages, whether or not a folder still lists it.
inline RoadResult readMessageNodes(const std::uint8_t* data, std::size_t size,
                                   const ReadOptions& options = kFuzzOptions) {
    RoadResult r;
    try {
        const Store store = Store::openMemory(storeBytes(data, size), options);
        r.opened = true;
        std::vector<NodeEntry> messages;
        for (const NodeEntry& n : store.ndb().recoverableNodes())
            if ((n.nid & 0x1F) == 0x04 && messages.size() < 200)
                messages.push_back(n);
        for (const NodeEntry& n : messages) {
            ++r.read;
            try {
                store.messageAt(n);
            } catch (const Error&) {
                ++r.failed;
            }
        }
    } catch (const Error&) {
    }
    return r;
}

} // namespace talvenor::pst::fuzz
