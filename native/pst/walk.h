// Reads everything of a store our reader can reach: every folder, its contents table, every
// message whole, and then the messages of the node index that no folder reached. Used by the
// damaged-input tests and the fuzz targets; bounded, so that a hostile file that claims endless
// folders still ends.
#pragma once

#include "pststore.h"

#include <set>

namespace talvenor::pst {

struct WalkCounts {
    std::size_t folders = 0;
    std::size_t messages = 0;
    std::size_t failures = 0;         // folders or messages that could not be read
    std::size_t messageFailures = 0;  // of those, messages (listed, but unreadable)
    std::size_t recoveredFolders = 0; // folders read without their own properties
    // Messages a folder counts that neither its table nor the node tree could list.
    std::size_t unlisted = 0;
    std::size_t uncounted = 0; // folders whose message count is unknown
    // Messages no folder the walk reached lists, found in the node index (counted above too).
    std::size_t recovered = 0;
};

// Throws pst::Error only when the store cannot be opened at all; everything below the header
// that fails is counted and skipped. A folder or message that damage lists twice counts once.
inline WalkCounts walkStore(const Store& store, std::size_t budget = 5000) {
    WalkCounts c;
    std::vector<std::pair<std::uint32_t, int>> pending{{kNidRootFolder, 0}};
    std::set<std::uint32_t> seenFolders, seenMessages;
    // Reads a message not met before, within the budget; false once the budget is spent.
    auto read = [&](std::uint32_t m) {
        if (budget == 0)
            return false;
        if (!seenMessages.insert(m).second)
            return true;
        --budget;
        try {
            store.message(m);
            ++c.messages;
        } catch (const Error&) {
            ++c.failures;
            ++c.messageFailures;
        }
        return true;
    };
    try {
        store.names();
    } catch (const Error&) {
        ++c.failures;
    }
    while (!pending.empty() && budget > 0) {
        const auto [nid, depth] = pending.back();
        pending.pop_back();
        if (!seenFolders.insert(nid).second)
            continue;
        --budget;
        try {
            const FolderInfo info = store.folder(nid);
            if (info.recovered)
                ++c.recoveredFolders;
            ++c.folders;
            store.contentsRows(nid);
            const std::vector<std::uint32_t> listed = store.messages(nid);
            if (const auto count = contentCount(info))
                c.unlisted += *count > listed.size() ? *count - listed.size() : 0;
            else
                ++c.uncounted;
            for (std::uint32_t m : listed)
                if (!read(m))
                    break;
            if (depth < 32)
                for (std::uint32_t sub : store.subfolders(nid))
                    pending.emplace_back(sub, depth + 1);
        } catch (const Error&) {
            ++c.failures;
        }
    }
    // What the folders' tables no longer reach, the node index still names.
    try {
        for (const auto& [m, parent] : store.messageNodes()) {
            const bool unseen = !seenMessages.count(m);
            if (!read(m))
                break;
            c.recovered += unseen ? 1 : 0;
        }
    } catch (const Error&) {
        ++c.failures;
    }
    return c;
}

} // namespace talvenor::pst
