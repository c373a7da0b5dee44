// Reads everything of a store our reader can reach: every folder, its contents table, every
// message whole. Used by the damaged-input tests and the fuzz targets; bounded, so that a
// hostile file that claims endless folders still ends.
#pragma once

#include "pststore.h"

namespace talvenor::pst {

struct WalkCounts {
    std::size_t folders = 0;
    std::size_t messages = 0;
    std::size_t failures = 0; // folders or messages that could not be read
};

// Throws pst::Error only when the store cannot be opened at all; everything below the header
// that fails is counted and skipped.
inline WalkCounts walkStore(const Store& store, std::size_t budget = 5000) {
    WalkCounts c;
    std::vector<std::pair<std::uint32_t, int>> pending{{kNidRootFolder, 0}};
    try {
        store.names();
    } catch (const Error&) {
        ++c.failures;
    }
    while (!pending.empty() && budget > 0) {
        const auto [nid, depth] = pending.back();
        pending.pop_back();
        --budget;
        try {
            store.folder(nid);
            ++c.folders;
            store.contentsRows(nid);
            for (std::uint32_t m : store.messages(nid)) {
                if (budget == 0)
                    break;
                --budget;
                try {
                    store.message(m);
                    ++c.messages;
                } catch (const Error&) {
                    ++c.failures;
                }
            }
            if (depth < 32)
                for (std::uint32_t sub : store.subfolders(nid))
                    pending.emplace_back(sub, depth + 1);
        } catch (const Error&) {
            ++c.failures;
        }
    }
    return c;
}

} // namespace talvenor::pst
