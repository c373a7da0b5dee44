// A personal-folders store read with our own reader: its folders (from the hierarchy tables),
// the messages of a folder (from its contents table) and each message whole, with recipients,
// attachments and attached messages. Folders and messages are read when asked for, so opening
// a store of any size costs the header and nothing more.
#pragma once

#include "ltp.h"
#include "ndb.h"

#include "mapi/mapi.h"

#include <memory>
#include <optional>
#include <string>

namespace talvenor::pst {

constexpr std::uint32_t kNidMessageStore = 0x21;
constexpr std::uint32_t kNidNameMap = 0x61;
constexpr std::uint32_t kNidRootFolder = 0x122;

struct FolderInfo {
    std::uint32_t nid = 0;
    std::u16string name;
    std::vector<mapi::Property> props;
    // The folder's own properties could not be read: name and props come from its parent's
    // hierarchy-table row, or the name is a placeholder ("Recovered folder 8042", the nid in
    // hex) and props holds only that name (PR_DISPLAY_NAME). `damage` says what was wrong.
    bool recovered = false;
    std::string damage;
};

class Store {
public:
    explicit Store(std::shared_ptr<const ByteSource> source, ReadOptions options = {});
    static Store openFile(const std::string& path, ReadOptions options = {});
    static Store openMemory(Bytes bytes, ReadOptions options = {});

    const Ndb& ndb() const { return *ndb_; }
    const Header& header() const { return ndb_->header(); }

    // Fails when the message store's own node is damaged.
    std::vector<mapi::Property> storeProperties() const;
    // The top of the personal folders (the IPM subtree), found as findIpmSubtree() finds it;
    // nullopt when nothing identifies it. Never fails.
    std::optional<std::uint32_t> ipmSubtree() const;

    // A folder's properties. A folder whose own node is damaged still comes back, marked
    // `recovered`; fails only for an id that names no folder at all.
    FolderInfo folder(std::uint32_t nid) const;
    // The folders of the hierarchy table in its order, then the normal folders whose node names
    // this folder as parent and that the table misses (in nid order).
    std::vector<std::uint32_t> subfolders(std::uint32_t folderNid) const;
    // The messages of the contents table in its order; when the table cannot be read, lists
    // fewer rows than the folder's message count or lists none at all, then also the messages
    // whose node names this folder as parent and that the table misses (in nid order).
    std::vector<std::uint32_t> messages(std::uint32_t folderNid) const;
    // One row of the folder's contents table per entry of messages(), in the same order (the
    // summary a folder keeps of each message); empty for a message the table cannot describe.
    std::vector<std::vector<mapi::Property>> contentsRows(std::uint32_t folderNid) const;
    // Every normal message the store holds, whichever folder lists it or none: the message
    // nodes of the node B-tree, and where its pages are damaged those a scan of the file finds;
    // as (nid, parent folder) in nid order. Walks the whole node B-tree once per store.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> messageNodes() const;
    // The row of one message in the folder's contents table (named properties keep their
    // ids); fails when the table cannot be read or does not list the message.
    std::vector<mapi::Property> contentsRow(std::uint32_t folderNid,
                                            std::uint32_t messageNid) const;

    mapi::Message message(std::uint32_t nid) const;
    // A message that message() refuses, read as far as it goes: its blocks are taken without
    // their checksums, and a property, the recipients or an attachment that still cannot be
    // read is left out and named in `lost`. Fails when not even the message's own properties
    // can be read.
    mapi::Message salvageMessage(std::uint32_t nid, std::vector<std::string>& lost) const;
    // A message whose property context and sub-nodes are given directly (an attached message,
    // or a node taken out of a store).
    mapi::Message messageAt(const NodeEntry& node) const;

    // The map of named properties; empty when it is damaged (named properties then keep their
    // ids without names, and repairs() says so).
    const NameMap& names() const;
    // True once names() has found the map damaged.
    bool namesDamaged() const {
        names();
        return namesDamaged_;
    }

    // What the reader worked around so far, each said once: a damaged header, a scan of the
    // file, a damaged name map or store node, folders whose tables miss items.
    std::vector<std::string> repairs() const;

private:
    struct Listing {
        std::vector<std::uint32_t> ids;
        std::vector<std::vector<mapi::Property>> rows; // when asked for
    };
    NodeEntry requireNode(std::uint32_t nid) const;
    Listing listTable(std::uint32_t folderNid, std::uint32_t tableType, bool withRows) const;
    std::vector<mapi::Property> tableRow(std::uint32_t folderNid, std::uint32_t tableType,
                                         std::uint32_t rowNid) const;
    const std::vector<std::pair<std::uint32_t, std::uint32_t>>& children() const;
    void note(std::string what) const;
    void nameProperties(std::vector<mapi::Property>& props) const;
    mapi::Message readMessage(const Ndb& ndb, const NodeEntry& node, std::size_t depth,
                              std::size_t& budget, std::vector<std::string>* lost) const;

    std::shared_ptr<const ByteSource> source_;
    ReadOptions options_;
    std::shared_ptr<const Ndb> ndb_;
    // The same file read without checksums, for salvage only; opened when first needed.
    mutable std::shared_ptr<const Ndb> lenient_;
    mutable std::unique_ptr<NameMap> names_;
    mutable bool namesDamaged_ = false;
    // (parent, nid) of every folder and message node, sorted; built once, only when a folder's
    // tables are found damaged or incomplete.
    mutable std::unique_ptr<std::vector<std::pair<std::uint32_t, std::uint32_t>>> children_;
    mutable std::vector<std::string> notes_;
};

// A folder's count of its messages (PR_CONTENT_COUNT), when its properties, or its parent's
// summary of it, keep one.
std::optional<std::uint32_t> contentCount(const std::vector<mapi::Property>& props);
inline std::optional<std::uint32_t> contentCount(const FolderInfo& f) {
    return contentCount(f.props);
}

// The text of a string property (Unicode, or 8-bit read as windows-1252).
std::u16string propertyText(const mapi::Property& p);

} // namespace talvenor::pst
