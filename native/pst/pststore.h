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

namespace talvenor::pst {

constexpr std::uint32_t kNidMessageStore = 0x21;
constexpr std::uint32_t kNidNameMap = 0x61;
constexpr std::uint32_t kNidRootFolder = 0x122;

struct FolderInfo {
    std::uint32_t nid = 0;
    std::u16string name;
    std::vector<mapi::Property> props;
};

class Store {
public:
    explicit Store(std::shared_ptr<const ByteSource> source, ReadOptions options = {});
    static Store openFile(const std::string& path, ReadOptions options = {});
    static Store openMemory(Bytes bytes, ReadOptions options = {});

    const Ndb& ndb() const { return *ndb_; }
    const Header& header() const { return ndb_->header(); }

    std::vector<mapi::Property> storeProperties() const;
    // The folder the store names as its top of personal folders, when it names one.
    std::optional<std::uint32_t> ipmSubtree() const;

    FolderInfo folder(std::uint32_t nid) const;
    std::vector<std::uint32_t> subfolders(std::uint32_t folderNid) const;
    std::vector<std::uint32_t> messages(std::uint32_t folderNid) const;
    // The rows of a folder's contents table (the summary a folder keeps of each message).
    std::vector<std::vector<mapi::Property>> contentsRows(std::uint32_t folderNid) const;

    mapi::Message message(std::uint32_t nid) const;
    // A message whose property context and sub-nodes are given directly (an attached message,
    // or a node taken out of a store).
    mapi::Message messageAt(const NodeEntry& node) const;

    const NameMap& names() const;

private:
    NodeEntry requireNode(std::uint32_t nid) const;
    std::vector<std::uint32_t> tableRowIds(std::uint32_t tableNid) const;
    void nameProperties(std::vector<mapi::Property>& props) const;
    mapi::Message readMessage(const NodeEntry& node, std::size_t depth, std::size_t& budget) const;

    std::shared_ptr<const Ndb> ndb_;
    mutable std::unique_ptr<NameMap> names_;
};

// The text of a string property (Unicode, or 8-bit read as windows-1252).
std::u16string propertyText(const mapi::Property& p);

} // namespace talvenor::pst
