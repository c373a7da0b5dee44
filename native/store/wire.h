// What a reading child hands over to the program: the folder tree of a store and each item
// the walk will ask for, as plain bytes through a pipe. Whatever arrives is checked while it is
// taken apart; malformed bytes are refused, never trusted.
#pragma once

#include <failure.h>
#include <mapi/mapi.h>

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace talvenor::nativestore::wire {

using mapi::Bytes;

// A folder as the walk sees it: its sub-folders are the shown ones, in the surface's order.
struct FolderInfo {
    std::uint32_t id = 0;
    QString name;
    int messages = 0;
    std::vector<FolderInfo> folders;
    // Why the folder's messages or its sub-folders cannot be listed (empty: they can). The
    // program reports it where the walk asks for them, once.
    QString contentsFailure;
    QString foldersFailure;
    // What either of them is (a damaged store, or one cut short).
    Cause failureCause = Cause::Damaged;
    // The folder was met before, elsewhere in the tree (a folder listed by two parents, or
    // one of a cycle): here it stands only for the walk to report; nothing of it is read here.
    bool repeated = false;
    // The folder the reader adds for the messages that no folder of the store lists (lost with
    // a damaged table or index page); it has no node of its own.
    bool recoveredItems = false;
    // Of the top folder only: what is wrong with the store as a whole (a file cut short), told
    // once before its items; empty when nothing is.
    QString storeDamage;
    Cause storeDamageCause = Cause::Damaged;
};

// The id of the folder of recovered messages: no store's folder can have it (it is no normal
// folder's node id).
constexpr std::uint32_t RecoveredItemsId = 0xFFFFFFFF;

// One item of a folder. The subject and the message are there for mail items.
struct ItemInfo {
    int itemClass = 0;
    std::optional<QString> subject;
    std::optional<mapi::Message> message;
    // Set when the message was read only in part or from damaged data: what was wrong.
    QString damage;
};

Bytes encodeTree(const FolderInfo& root);
std::optional<FolderInfo> decodeTree(const std::uint8_t* data, std::size_t size);
inline std::optional<FolderInfo> decodeTree(const Bytes& bytes) {
    return decodeTree(bytes.data(), bytes.size());
}

Bytes encodeItem(const ItemInfo& item);

// An item whose large attachment data is handed over apart from it: each attachment's data
// of at least `apartFrom` bytes stands in `item` only by its size and is one of `apart`, in
// order, pointing into the item encoded (which must outlive it). So the item is never copied
// whole; its large values go out from where they are held.
struct ItemApart {
    Bytes item;
    std::vector<const Bytes*> apart;
    std::uint64_t apartBytes = 0;
};
ItemApart encodeItemApart(const ItemInfo& item, std::size_t apartFrom);

// `apart`: the values handed over apart from the item, in order; each is moved into its place
// and all of them must be used (none: the item holds every value itself).
std::optional<ItemInfo> decodeItem(const std::uint8_t* data, std::size_t size,
                                   std::vector<Bytes>* apart = nullptr);
inline std::optional<ItemInfo> decodeItem(const Bytes& bytes) {
    return decodeItem(bytes.data(), bytes.size());
}

} // namespace talvenor::nativestore::wire
