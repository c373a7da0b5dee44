// What the producer reads of a store with our reader, as the values it hands over: the
// store's name and code page, the folder tree as the walk sees it, a folder's messages, and
// each item with the class, subject and (for mail) the whole message the walk needs.
#pragma once

#include "damagetext.h"
#include "wire.h"

#include <pststore.h>

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

namespace talvenor::nativestore {

// An opened store file and what was learnt from its message store on the way.
struct OpenedStore {
    QString path;
    std::unique_ptr<const pst::Store> reader;
    QString displayName;
    int codepage = 1252;
    // Set when the file is shorter than its header says: every damage is then told as that.
    std::optional<CutShort> cutShort;
    // The loss of every named property to a damaged map is told once, with the first message
    // it costs anything.
    bool namesLossTold = false;

    // A part of the store that cannot be read. In a file cut short, which the walk tells once
    // with where it ends, only that the part lay beyond its end.
    Failure damaged(const pst::Error& e) const {
        return cutShort ? beyondTheEnd() : damagedStore(path, e);
    }
};

// Opens the file; throws Failure (damaged, cut short). `progress` reaches the reader, which
// calls it during long work; `beforeValue` too, with the size of a large value about to be
// read (it may throw to refuse it).
OpenedStore openStore(const QString& path, std::function<void()> progress = {},
                      std::function<void(std::uint64_t)> beforeValue = {});

// The messages of a folder, in the contents table's order.
struct Listing {
    std::vector<std::uint32_t> messages;
    // How many more messages the folder counts than can be found anywhere in the store; they
    // are told together, as one more item of the folder that cannot be read.
    std::uint32_t unlisted = 0;
    int count() const { return int(messages.size()) + (unlisted > 0 ? 1 : 0); }
    bool standsForUnlisted(int index) const { return std::size_t(index) > messages.size(); }
};
// Throws pst::Error.
Listing listMessages(const pst::Store& reader, std::uint32_t folder);

// What the walk reads of a store: the folder tree from the top of the mail folders, with the
// shown sub-folders of each in the surface's order, and the messages of each folder it reads.
// Every message node of the store stands in one listing at most: a message two folders list
// is read under the first in the walk's order, and the messages no folder lists (their folder
// or its table lost to damage, or kept outside the mail folders) are read as the last
// sub-folder of the top, "Recovered items". A folder whose messages or sub-folders cannot be
// listed says why, so that the program reports it where the walk meets it.
struct StoreContent {
    wire::FolderInfo tree;
    std::unordered_map<std::uint32_t, Listing> listings; // by folder id
};
// Throws Failure when there is no top.
StoreContent readContent(const OpenedStore& store, const std::function<void()>& progress);

// The folders whose items the walk saves, in the order it saves them: for each sub-folder its
// whole sub-tree first, then its own items; the top folder's own items last. Folders the walk
// does not descend into ("Internet Newsgroups", "All Public Folders") still have their own
// items saved by their parent. A folder met a second time (wire::FolderInfo::repeated) is read
// only where it was met first.
std::vector<const wire::FolderInfo*> readingOrder(const wire::FolderInfo& root);

// Item `index` (1-based) of the listing: its class and subject, and for mail the whole message
// (read as far as it goes when damaged, and then told so in `damage`). Throws pst::Error.
wire::ItemInfo readItem(OpenedStore& store, const Listing& listing, int index);

// What the folder's contents table says of its message at index: subject, sender and time;
// empty when nothing is known. Never throws.
QString knownOfMessage(const OpenedStore& store, std::uint32_t folder, const Listing& listing,
                       int index);

} // namespace talvenor::nativestore
