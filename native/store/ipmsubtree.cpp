#include "ipmsubtree.h"

#include "reader.h"

#include <algorithm>

namespace talvenor::nativestore {

namespace {

constexpr std::uint16_t IpmSubtreeEntryId = 0x35E0;
// Folders of the IPM subtree's first level that a message store names by entry id: Outbox,
// Deleted Items, Sent Items.
constexpr std::uint16_t TopLevelEntryIds[] = {0x35E2, 0x35E3, 0x35E4};
// An entry id of a folder in a store: flags (4), the store's uid (16), the node id (4).
constexpr std::size_t EntryIdNidOffset = 20;

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

std::optional<std::uint32_t> entryIdNid(libpff_item_t* store, std::uint16_t id) {
    const auto p = readItemProperty(store, id);
    if (!p || p->type != mapi::PtBinary || p->value.size() < EntryIdNidOffset + 4)
        return std::nullopt;
    return mapi::readLe32(p->value.data() + EntryIdNidOffset);
}

std::uint32_t identifier(libpff_item_t* item) {
    std::uint32_t id = 0;
    PffError error;
    if (libpff_item_get_identifier(item, &id, error.out()) != 1)
        throw PffFailure(QStringLiteral("cannot identify a folder"), error);
    return id;
}

std::vector<PffItem> subFolders(libpff_item_t* folder) {
    int n = 0;
    PffError error;
    if (libpff_folder_get_number_of_sub_folders(folder, &n, error.out()) != 1)
        throw PffFailure(QStringLiteral("cannot read the sub-folders of a folder"), error);
    std::vector<PffItem> out;
    for (int i = 0; i < n; ++i) {
        PffItem sub;
        if (libpff_folder_get_sub_folder(folder, i, sub.out(), error.out()) != 1)
            throw PffFailure(QStringLiteral("cannot read a sub-folder"), error);
        out.push_back(std::move(sub));
    }
    return out;
}

NearRootFolder describe(libpff_item_t* folder, std::uint32_t parent, int codepage,
                        std::vector<PffItem>* children) {
    NearRootFolder f;
    f.id = identifier(folder);
    f.parent = parent;
    if (const auto name = readItemProperty(folder, mapi::tags::DisplayName))
        f.name = propertyText(*name, codepage).value_or(QString()).toStdU16String();
    std::vector<PffItem> subs = subFolders(folder);
    for (const PffItem& s : subs)
        f.children.push_back(identifier(s.get()));
    if (children)
        *children = std::move(subs);
    return f;
}

} // namespace

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
    return std::nullopt;
}

std::uint32_t findIpmSubtree(libpff_file_t* file) {
    PffError error;
    PffItem store;
    if (libpff_file_get_message_store(file, store.out(), error.out()) != 1 || !store)
        throw PffFailure(QStringLiteral("the message store is missing"), error);
    StoreHints hints;
    hints.ipmSubtree = entryIdNid(store.get(), IpmSubtreeEntryId);
    for (std::uint16_t id : TopLevelEntryIds)
        if (const auto nid = entryIdNid(store.get(), id))
            hints.topLevelFolders.push_back(*nid);
    if (hints.ipmSubtree) {
        PffItem named;
        if (libpff_file_get_item_by_identifier(file, *hints.ipmSubtree, named.out(), error.out()) ==
                1 &&
            named)
            return *hints.ipmSubtree;
    }
    const int codepage = messageCodepage(store.get()).value_or(1252);

    PffItem root;
    if (libpff_file_get_root_folder(file, root.out(), error.out()) != 1 || !root)
        throw PffFailure(QStringLiteral("its root folder is missing"), error);
    std::vector<NearRootFolder> nearRoot;
    std::vector<PffItem> children;
    nearRoot.push_back(describe(root.get(), 0, codepage, &children));
    const std::uint32_t rootId = nearRoot.front().id;
    for (const PffItem& child : children) {
        std::vector<PffItem> grandchildren;
        nearRoot.push_back(describe(child.get(), rootId, codepage, &grandchildren));
        const std::uint32_t childId = nearRoot.back().id;
        for (const PffItem& g : grandchildren)
            nearRoot.push_back(describe(g.get(), childId, codepage, nullptr));
    }
    // The root itself is never the subtree.
    nearRoot.front().id = 0;
    if (const auto found = chooseIpmSubtree(hints, nearRoot))
        return *found;
    PffError none;
    throw PffFailure(QStringLiteral("no top of its mail folders (IPM subtree) can be found"), none);
}

} // namespace talvenor::nativestore
