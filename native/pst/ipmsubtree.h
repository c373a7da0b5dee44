// Finding the top of a store's mail folders (the IPM subtree). Personal-folders files name it
// in the message store (PR_IPM_SUBTREE_ENTRYID); offline stores do not, and keep it under the
// root as "Root - Mailbox" / "IPM_SUBTREE". The search trusts what the store says about
// itself, never a node id taken on faith.
#pragma once

#include "mapi/mapi.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace talvenor::pst {

class Store;

// A folder near the root, as the search sees it.
struct NearRootFolder {
    std::uint32_t id = 0;
    std::uint32_t parent = 0; // the root for its children
    std::u16string name;
    std::vector<std::uint32_t> children;
};

// What the message store says: the IPM subtree's own entry id, if any, and the ids of the
// folders that live directly in the IPM subtree (Deleted Items, Sent Items, Outbox, Inbox).
struct StoreHints {
    std::optional<std::uint32_t> ipmSubtree;
    std::vector<std::uint32_t> topLevelFolders;
};

// Decides on the IPM subtree among the root's children and grandchildren (`nearRoot`); nullopt
// when nothing identifies it.
std::optional<std::uint32_t> chooseIpmSubtree(const StoreHints& hints,
                                              const std::vector<NearRootFolder>& nearRoot);

// The IPM subtree of an opened store whose message store has these properties (none when they
// are damaged); nullopt when nothing identifies it. Throws pst::Error when not even the root's
// folders can be listed.
std::optional<std::uint32_t> findIpmSubtree(const Store& store,
                                            const std::vector<mapi::Property>& storeProps);

// Whether a folder of this name is one a store keeps under its root beside the top of its mail
// folders (search roots, views, free/busy data), never the top folder itself.
bool keptBesideMail(const std::u16string& folderName);

} // namespace talvenor::pst
