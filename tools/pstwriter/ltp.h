// The lists-tables-properties layer: heaps on nodes, their B-trees, property contexts and
// table contexts, written onto the node database. Tables stream their rows to disk as they
// grow, so a folder of any size costs only a few blocks of memory.
#pragma once

#include "ndb.h"

#include <map>
#include <memory>
#include <optional>

namespace talvenor::pstwriter {

constexpr std::size_t kMaxHeapItem = 3580;

// Writes a byte stream as data blocks and, when it needs more than one, a data tree.
class DataStreamWriter {
public:
    explicit DataStreamWriter(NdbWriter& ndb) : ndb_(ndb) {}
    void append(const std::uint8_t* data, std::size_t size);
    // Ends the current block early (table rows never straddle blocks).
    void endBlock();
    std::uint64_t finish(); // root BID (0 for an empty stream)
    std::uint64_t size() const { return total_; }

private:
    NdbWriter& ndb_;
    Bytes current_;
    std::vector<std::uint64_t> bids_;
    std::vector<std::uint32_t> sizes_;
    std::uint64_t total_ = 0;
};

// The subnodes of one node, written as an SLBLOCK (and SIBLOCK when many).
class SubnodeList {
public:
    void add(std::uint32_t nid, std::uint64_t bidData, std::uint64_t bidSub) {
        entries_.push_back({nid, bidData, bidSub});
    }
    std::uint32_t newNid(std::uint8_t type) { return (nextIndex_++ << 5) | type; }
    std::uint64_t write(NdbWriter& ndb);
    // Bytes write() will add.
    std::uint64_t pendingBytes(const NdbWriter& ndb) const;
    bool empty() const { return entries_.empty(); }

private:
    struct Entry {
        std::uint32_t nid;
        std::uint64_t bidData;
        std::uint64_t bidSub;
    };
    std::vector<Entry> entries_;
    std::uint32_t nextIndex_ = 0x400;
};

// A heap on a node. Items go to the current block; block 0 is kept until finish() (it holds
// the header that names the heap's root). With streaming on, later blocks are written as soon
// as they are full; otherwise all stay in memory so that values can still be patched.
class HeapWriter {
public:
    HeapWriter(NdbWriter& ndb, std::uint8_t clientSig, bool streaming);
    std::uint32_t alloc(const std::uint8_t* data, std::size_t size);
    std::uint32_t alloc(const Bytes& b) { return alloc(b.data(), b.size()); }
    void patch(std::uint32_t hid, std::size_t offset, const void* data, std::size_t size);
    // Bytes the blocks still held in memory will occupy once written (including a data tree).
    std::uint64_t pendingBytes(std::uint32_t hidUserRoot) const;
    std::uint64_t finish(std::uint32_t hidUserRoot);

private:
    struct Block {
        std::vector<Bytes> items;
        std::size_t used = 0; // item bytes
    };
    std::size_t headerSize(std::size_t index) const;
    std::size_t blockSize(std::size_t index, const Block& b) const;
    Bytes render(std::size_t index, const Block& b, std::uint32_t hidUserRoot) const;
    void flushCurrent();

    NdbWriter& ndb_;
    std::uint8_t clientSig_;
    bool streaming_;
    std::vector<Block> held_;         // blocks not yet written (index = position)
    std::vector<std::uint64_t> bids_; // BIDs by block index (0 while not written)
    std::vector<std::uint32_t> sizes_;
    std::vector<std::uint8_t> fillLevels_; // by block index
    std::size_t currentIndex_ = 0;
    std::uint64_t written_ = 0; // payload bytes already written
};

// A B-tree on a heap whose records arrive in ascending key order. Its header takes the heap's
// next allocation when the writer is made and is filled in by finish(): readers look for the
// header of a property context at the heap's first item, as the mail program puts it there.
class BthWriter {
public:
    BthWriter(HeapWriter& heap, std::uint8_t cbKey, std::uint8_t cbEnt);
    void add(const std::uint8_t* key, const std::uint8_t* data);
    std::uint32_t finish(); // HID of the BTHHEADER
    std::uint32_t leafHid(std::size_t index) const { return leafHids_.at(index); }

private:
    struct Ref {
        Bytes key;
        std::uint32_t hid;
    };
    void flushLeaf();

    HeapWriter& heap_;
    std::uint8_t cbKey_;
    std::uint8_t cbEnt_;
    std::uint32_t headerHid_;
    Bytes leaf_;
    Bytes firstKey_;
    std::vector<Ref> refs_;
    std::vector<std::uint32_t> leafHids_;
};

// A property value as the writer stores it.
struct Value {
    std::uint16_t type = 0;
    Bytes data;                // single-valued
    std::vector<Bytes> values; // multi-valued
};

// The code pages 8-bit strings can be written in.
bool writableCodePage(std::uint32_t codePage);
// Unicode strings (UTF-16LE) as bytes of a writable code page; characters outside it become '?'.
Bytes toCodePage(const Bytes& utf16, std::uint32_t codePage);
// For 8-bit strings: Unicode string values and types become 8-bit ones.
Value narrowed(const Value& v, std::uint32_t codePage);
std::uint32_t narrowedTag(std::uint32_t tag);

// Encodes a multi-valued property into its stored form.
Bytes encodeMultiValue(std::uint16_t type, const std::vector<Bytes>& values);
std::size_t fixedValueSize(std::uint16_t type); // 0 when variable
bool inlineInPc(std::uint16_t type);

// Stores variable-size values: in the heap when small, else as a subnode.
std::uint32_t storeVariable(HeapWriter& heap, SubnodeList& subs, NdbWriter& ndb, const Bytes& data,
                            bool forceSubnode = false);

struct PcResult {
    std::uint64_t bidData = 0;
    std::uint64_t bidSub = 0;
};

// A property context: a sorted set of properties. Values that need patching after the sizes
// are known (the message size) are marked and patched before the heap is written.
class PcWriter {
public:
    // Strings are written 8-bit when eightBit says so, else as the store's format has them.
    explicit PcWriter(NdbWriter& ndb, std::optional<bool> eightBit = {})
        : ndb_(ndb), heap_(ndb, 0xBC, false), eightBit_(eightBit.value_or(!ndb.unicode())) {}
    SubnodeList& subnodes() { return subs_; }
    HeapWriter& heap() { return heap_; }
    // props: id -> value (already sorted by the map).
    void build(const std::map<std::uint16_t, Value>& props);
    std::uint64_t pendingBytes() const;
    // Patches an inline 4-byte value of a property written by build().
    void patchInline(std::uint16_t id, std::uint32_t value);
    PcResult write(); // writes the subnode list and the heap

private:
    NdbWriter& ndb_;
    HeapWriter heap_;
    SubnodeList subs_;
    bool eightBit_;
    std::uint32_t root_ = 0;
    std::uint64_t subBytes_ = 0;
    std::map<std::uint16_t, std::pair<std::uint32_t, std::size_t>>
        inlineAt_; // id -> leaf hid, offset
};

struct Column {
    std::uint32_t tag;
};

// A table context whose rows arrive in ascending row-id order.
class TcWriter {
public:
    TcWriter(NdbWriter& ndb, std::vector<std::uint32_t> tags, std::optional<bool> eightBit = {});
    // values by tag; missing tags are left unset. The row id and version columns are filled here.
    void addRow(std::uint32_t rowId, const std::map<std::uint32_t, Value>& values);
    PcResult finish();
    std::size_t rowCount() const { return rows_; }

private:
    struct Col {
        std::uint32_t tag;
        std::uint16_t ib;
        std::uint8_t cb;
        std::uint8_t bit;
    };
    NdbWriter& ndb_;
    bool eightBit_;
    HeapWriter heap_;
    SubnodeList subs_;
    std::vector<Col> cols_;
    std::array<std::uint16_t, 4> rgib_{};
    std::size_t rowSize_ = 0;
    std::size_t rowsPerBlock_ = 0;
    std::size_t rows_ = 0;
    Bytes smallRows_;
    std::unique_ptr<DataStreamWriter> rowStream_;
    std::uint32_t rowStreamNid_ = 0;
    std::size_t rowsInBlock_ = 0;
    BthWriter index_;
    std::uint32_t hidInfo_ = 0;
    std::optional<std::uint32_t> lastRowId_;
};

} // namespace talvenor::pstwriter
