// The lists-tables-properties layer over the node database: heaps on nodes (of any number of
// blocks), B-trees on heaps, property contexts, table contexts and the name-to-id map. Values
// come out in the project's message model (mapi::Property).
#pragma once

#include "ndb.h"

#include "mapi/mapi.h"

#include <functional>
#include <map>

namespace talvenor::pst {

// One node's heap: its data tree's blocks, with the node's sub-nodes for values kept there.
class Heap {
public:
    Heap(const Ndb& ndb, const NodeEntry& node);
    std::uint8_t clientSignature() const { return clientSig_; }
    std::uint32_t userRoot() const { return userRoot_; }
    // The bytes of a heap item; fails on an id that names none.
    View item(std::uint32_t hid) const;
    // A value reference of a property or table cell: a heap item, a sub-node (its data tree's
    // bytes), or nothing for 0.
    Bytes value(std::uint32_t hnid) const;
    const Ndb& ndb() const { return ndb_; }
    const SubnodeMap& subnodes() const { return subs_; }

private:
    const Ndb& ndb_;
    std::vector<Bytes> blocks_;
    SubnodeMap subs_;
    std::uint8_t clientSig_ = 0;
    std::uint32_t userRoot_ = 0;
};

// Visits every record of the B-tree on a heap whose header is at `hid`, in key order.
void forEachRecord(const Heap& heap, std::uint32_t hid,
                   const std::function<void(View key, View data)>& visit,
                   std::uint8_t* keySize = nullptr, std::uint8_t* dataSize = nullptr);

// Turns stored bytes into a property value of the model (booleans as two bytes, multi-valued
// properties split into their values, strings without the terminators some writers store);
// fails when the bytes cannot be of that type.
void decodeValue(mapi::Property& p, Bytes raw);

// A property context: every property of a node (a message, folder, attachment, the store).
// With `lost` given, a property whose value cannot be read is left out and named there instead
// of failing the whole context.
std::vector<mapi::Property> readPropertyContext(const Heap& heap,
                                                std::vector<std::string>* lost = nullptr);

// A table context: its columns and its rows, each row the properties whose cells are set.
class Table {
public:
    explicit Table(const Heap& heap);
    std::size_t rowCount() const { return rows_.size(); }
    std::uint32_t rowId(std::size_t row) const { return rows_.at(row).first; }
    std::vector<mapi::Property> row(std::size_t row) const;

private:
    struct Column {
        std::uint32_t tag;
        std::uint16_t offset;
        std::uint8_t size;
        std::uint8_t bit;
    };
    const Heap& heap_;
    std::vector<Column> columns_;
    std::uint16_t cebOffset_ = 0;
    std::size_t rowSize_ = 0;
    std::vector<Bytes> rowBlocks_;
    std::size_t rowsPerBlock_ = 0;
    std::vector<std::pair<std::uint32_t, std::size_t>> rows_; // row id, row index
};

// The store's map from named-property ids (0x8000 and above) to their names.
class NameMap {
public:
    NameMap() = default;
    // The map of node 0x61; empty when the store has none.
    explicit NameMap(const Ndb& ndb);
    // From the map's streams: 0x0002 the GUIDs, 0x0003 the entries, 0x0004 the strings. An
    // entry that points outside its streams is left out: one damaged entry must not cost the
    // names of every other property.
    static NameMap parse(View guids, View entries, View strings);
    const mapi::PropertyName* find(std::uint16_t id) const;
    std::size_t size() const { return names_.size(); }

private:
    std::map<std::uint16_t, mapi::PropertyName> names_;
};

} // namespace talvenor::pst
