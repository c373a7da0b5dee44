#include "ipmsubtree.h"

#include "pststore.h"

#include <algorithm>

namespace talvenor::pst {

namespace {

constexpr std::uint16_t IpmSubtreeEntryId = 0x35E0;
// Folders of the IPM subtree's first level that a message store names by entry id: Outbox,
// Deleted Items, Sent Items.
constexpr std::uint16_t TopLevelEntryIds[] = {0x35E2, 0x35E3, 0x35E4};
// An entry id of a folder in a store: flags (4), the store's uid (16), the node id (4).
constexpr std::size_t EntryIdNidOffset = 20;
constexpr std::uint32_t NidTypeMask = 0x1F;
constexpr std::uint32_t NidTypeNormalFolder = 0x02;

// The names compatible readers recognise, best first.
const std::u16string SubtreeNames[] = {u"IPM_SUBTREE", u"Top of Personal Folders",
                                       u"Top of Outlook data file"};
const std::u16string MailboxRootName = u"Root - Mailbox";

bool sameName(const std::u16string& a, const std::u16string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) {
               auto lower = [](char16_t c) {
                   return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c;
               };
               return lower(x) == lower(y);
           });
}

std::optional<std::uint32_t> entryIdNid(const std::vector<mapi::Property>& props,
                                        std::uint16_t id) {
    for (const mapi::Property& p : props)
        if (p.id == id && p.type == mapi::PtBinary && p.value.size() >= EntryIdNidOffset + 4)
            return mapi::readLe32(p.value.data() + EntryIdNidOffset);
    return std::nullopt;
}

// Every sub-folder counts here, search folders too: the subtree is found by what holds what.
NearRootFolder describe(const Store& store, std::uint32_t id, std::uint32_t parent) {
    NearRootFolder f;
    f.id = id;
    f.parent = parent;
    f.name = store.folder(id).name;
    f.children = store.subfolders(id);
    return f;
}

} // namespace

bool keptBesideMail(const std::u16string& name) {
    static const std::u16string exact[] = {u"Search Root", u"IPM_COMMON_VIEWS", u"IPM_VIEWS",
                                           u"Finder",      u"ItemProcSearch",   u"Freebusy Data"};
    // Spam search folders carry a number after their name.
    return std::find(std::begin(exact), std::end(exact), name) != std::end(exact) ||
           name.rfind(u"SPAM Search Folder", 0) == 0;
}

std::optional<std::uint32_t> chooseIpmSubtree(const StoreHints& hints,
                                              const std::vector<NearRootFolder>& nearRoot) {
    auto find = [&](std::uint32_t id) -> const NearRootFolder* {
        for (const auto& f : nearRoot)
            if (f.id == id)
                return &f;
        return nullptr;
    };
    // The store's own word, when the folder it names is there.
    if (hints.ipmSubtree && find(*hints.ipmSubtree))
        return hints.ipmSubtree;
    // The folder that holds the special folders the store names (the root never counts).
    for (std::uint32_t special : hints.topLevelFolders)
        for (const auto& f : nearRoot)
            if (f.id != 0 &&
                std::find(f.children.begin(), f.children.end(), special) != f.children.end())
                return f.id;
    // By name: "Root - Mailbox" / "IPM_SUBTREE" first, then a subtree right under the root.
    for (const auto& name : SubtreeNames)
        for (const auto& f : nearRoot)
            if (sameName(f.name, name)) {
                const NearRootFolder* parent = find(f.parent);
                if (parent && sameName(parent->name, MailboxRootName))
                    return f.id;
            }
    for (const auto& name : SubtreeNames)
        for (const auto& f : nearRoot)
            if (sameName(f.name, name))
                return f.id;
    // A top folder named in another language: the root's one normal sub-folder that is neither
    // one a store keeps beside its mail nor a special folder itself. "Root - Mailbox" counts as
    // a candidate, so that an offline store never resolves to the folder beside it.
    const NearRootFolder* root = find(0);
    if (!root)
        return std::nullopt;
    std::optional<std::uint32_t> only;
    for (std::uint32_t child : root->children) {
        const NearRootFolder* f = find(child);
        if (!f || (child & NidTypeMask) != NidTypeNormalFolder || keptBesideMail(f->name) ||
            std::find(hints.topLevelFolders.begin(), hints.topLevelFolders.end(), child) !=
                hints.topLevelFolders.end())
            continue;
        if (only)
            return std::nullopt;
        only = child;
    }
    return only;
}

std::optional<std::uint32_t> findIpmSubtree(const Store& store,
                                            const std::vector<mapi::Property>& storeProps) {
    StoreHints hints;
    hints.ipmSubtree = entryIdNid(storeProps, IpmSubtreeEntryId);
    for (std::uint16_t id : TopLevelEntryIds)
        if (const auto nid = entryIdNid(storeProps, id))
            hints.topLevelFolders.push_back(*nid);
    if (hints.ipmSubtree && store.ndb().node(*hints.ipmSubtree))
        return hints.ipmSubtree;

    std::vector<NearRootFolder> nearRoot;
    nearRoot.push_back(describe(store, kNidRootFolder, 0));
    const std::vector<std::uint32_t> children = nearRoot.front().children;
    // A damaged folder near the root must not hide the others from the search.
    auto add = [&](std::uint32_t id, std::uint32_t parent) {
        try {
            nearRoot.push_back(describe(store, id, parent));
            return true;
        } catch (const Error&) {
            return false;
        }
    };
    for (const std::uint32_t child : children) {
        if (!add(child, kNidRootFolder))
            continue;
        const std::vector<std::uint32_t> grandchildren = nearRoot.back().children;
        for (const std::uint32_t g : grandchildren)
            add(g, child);
    }
    // The root itself is never the subtree.
    nearRoot.front().id = 0;
    return chooseIpmSubtree(hints, nearRoot);
}

} // namespace talvenor::pst
