#include "ltp.h"

#include <cstdio>

#include <algorithm>
#include <set>

namespace talvenor::pst {

namespace {

constexpr std::uint8_t kHeapSig = 0xEC;
constexpr std::uint8_t kBthSig = 0xB5;
constexpr std::uint8_t kPcSig = 0xBC;
constexpr std::uint8_t kTcSig = 0x7C;
constexpr std::size_t kMaxBthLevels = 8;

bool isHid(std::uint32_t hnid) {
    return (hnid & 0x1F) == 0;
}

} // namespace

Heap::Heap(const Ndb& ndb, const NodeEntry& node) : ndb_(ndb) {
    blocks_ = ndb.readLeaves(node.bidData);
    if (blocks_.empty())
        fail("a node that should hold a heap has no data");
    subs_ = ndb.readSubnodes(node.bidSub);
    const View h(blocks_.front());
    if (h.u8(2) != kHeapSig)
        fail("a heap is damaged (wrong signature)");
    clientSig_ = h.u8(3);
    userRoot_ = h.u32(4);
}

View Heap::item(std::uint32_t hid) const {
    if (!isHid(hid))
        fail("a heap reference names a sub-node where an item is expected");
    const std::size_t index = (hid >> 5) & 0x7FF;
    const std::size_t blockIndex = hid >> 16;
    if (index == 0 || blockIndex >= blocks_.size())
        fail("a heap reference names an item that does not exist");
    const View block(blocks_[blockIndex]);
    const std::uint16_t mapAt = block.u16(0);
    const View map = block.from(mapAt);
    const std::size_t allocs = map.u16(0);
    if (index > allocs)
        fail("a heap reference names an item that does not exist");
    const std::uint16_t start = map.u16(4 + 2 * (index - 1));
    const std::uint16_t end = map.u16(4 + 2 * index);
    if (start > end || end > mapAt)
        fail("a heap's item map is damaged");
    return block.sub(start, end - start);
}

Bytes Heap::value(std::uint32_t hnid) const {
    if (hnid == 0)
        return {};
    if (isHid(hnid))
        return item(hnid).copy();
    const auto it = subs_.find(hnid);
    if (it == subs_.end())
        fail("a value's sub-node is missing");
    return ndb_.readStream(it->second.bidData);
}

namespace {

void visitLevel(const Heap& heap, std::uint32_t hid, std::size_t level, std::uint8_t keySize,
                std::uint8_t dataSize, const std::function<void(View, View)>& visit,
                std::set<std::uint32_t>& seen) {
    if (hid == 0)
        return;
    // Each item is read once: an index that names an item twice would multiply the walk.
    if (!seen.insert(hid).second)
        fail("a B-tree on a heap is damaged (an item is named twice)");
    const View items = heap.item(hid);
    const std::size_t entry = level == 0 ? keySize + dataSize : keySize + 4u;
    if (items.size() % entry != 0)
        fail("a B-tree on a heap is damaged (odd record size)");
    for (std::size_t at = 0; at < items.size(); at += entry) {
        const View e = items.sub(at, entry);
        if (level == 0)
            visit(e.sub(0, keySize), e.sub(keySize, dataSize));
        else
            visitLevel(heap, e.u32(keySize), level - 1, keySize, dataSize, visit, seen);
    }
}

} // namespace

void forEachRecord(const Heap& heap, std::uint32_t hid,
                   const std::function<void(View key, View data)>& visit, std::uint8_t* keySize,
                   std::uint8_t* dataSize) {
    const View h = heap.item(hid);
    if (h.u8(0) != kBthSig)
        fail("a B-tree on a heap is damaged (wrong signature)");
    const std::uint8_t cbKey = h.u8(1);
    const std::uint8_t cbEnt = h.u8(2);
    const std::uint8_t levels = h.u8(3);
    if (cbKey == 0 || cbKey > 16 || levels > kMaxBthLevels)
        fail("a B-tree on a heap is damaged (impossible header)");
    if (keySize)
        *keySize = cbKey;
    if (dataSize)
        *dataSize = cbEnt;
    std::set<std::uint32_t> seen{hid};
    visitLevel(heap, h.u32(4), levels, cbKey, cbEnt, visit, seen);
}

namespace {

// The value as stored; strings may still end in terminators.
void decodeStoredValue(mapi::Property& p, Bytes raw) {
    const std::uint16_t base = mapi::baseType(p.type);
    if (!mapi::isMultiValued(p.type)) {
        const std::size_t fixed = mapi::fixedSize(base);
        if (base == mapi::PtBoolean) {
            if (raw.empty())
                fail("a boolean value is missing");
            p.value = mapi::le16(raw[0] != 0 ? 1 : 0);
            return;
        }
        if (fixed != 0 && raw.size() < fixed)
            fail("a property value is shorter than its type");
        if (fixed != 0)
            raw.resize(fixed);
        p.value = std::move(raw);
        return;
    }
    const std::size_t fixed = mapi::fixedSize(base);
    if (fixed != 0) {
        if (raw.size() % fixed != 0)
            fail("a multi-valued property is damaged (odd size)");
        for (std::size_t at = 0; at < raw.size(); at += fixed)
            p.values.emplace_back(raw.begin() + std::ptrdiff_t(at),
                                  raw.begin() + std::ptrdiff_t(at + fixed));
        return;
    }
    if (raw.empty())
        return;
    const View v(raw);
    const std::uint32_t count = v.u32(0);
    if (count > (raw.size() - 4) / 4)
        fail("a multi-valued property is damaged (impossible count)");
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t start = v.u32(4 + 4 * i);
        const std::size_t end = i + 1 < count ? v.u32(8 + 4 * i) : raw.size();
        if (start < 4 + 4 * std::size_t(count) || start > end || end > raw.size())
            fail("a multi-valued property is damaged (bad offsets)");
        p.values.push_back(v.sub(start, end - start).copy());
    }
}

// Strings carry no terminator in the model. Writers other than the mail program store one, or
// several, and a caller that compares a message class or makes a file name must never see
// them.
void dropTerminators(std::uint16_t base, Bytes& v) {
    if (base == mapi::PtUnicode && v.size() % 2 == 0) {
        while (v.size() >= 2 && v[v.size() - 1] == 0 && v[v.size() - 2] == 0)
            v.resize(v.size() - 2);
    } else if (base == mapi::PtString8) {
        while (!v.empty() && v.back() == 0)
            v.pop_back();
    }
}

} // namespace

void decodeValue(mapi::Property& p, Bytes raw) {
    decodeStoredValue(p, std::move(raw));
    const std::uint16_t base = mapi::baseType(p.type);
    dropTerminators(base, p.value);
    for (Bytes& v : p.values)
        dropTerminators(base, v);
}

namespace {

// Types whose value sits in the reference field itself (four bytes at most).
bool inlineType(std::uint16_t type) {
    switch (type) {
    case mapi::PtInteger16:
    case mapi::PtInteger32:
    case mapi::PtFloating32:
    case mapi::PtErrorCode:
    case mapi::PtBoolean:
        return true;
    default:
        return false;
    }
}

} // namespace

std::vector<mapi::Property> readPropertyContext(const Heap& heap, std::vector<std::string>* lost) {
    if (heap.clientSignature() != kPcSig)
        fail("a node that should hold properties holds something else");
    std::vector<mapi::Property> out;
    std::uint8_t keySize = 0, dataSize = 0;
    forEachRecord(
        heap, heap.userRoot(),
        [&](View key, View data) {
            if (key.size() != 2 || data.size() != 6)
                fail("a property context is damaged (wrong record size)");
            mapi::Property p;
            p.id = key.u16(0);
            p.type = data.u16(0);
            const std::uint32_t ref = data.u32(2);
            try {
                if (inlineType(p.type)) {
                    decodeValue(p, mapi::le32(ref));
                } else if (p.type == mapi::PtNull || p.type == mapi::PtUnspecified) {
                    // No value to read.
                } else {
                    decodeValue(p, heap.value(ref));
                }
            } catch (const Error& e) {
                if (!lost)
                    throw;
                char tag[16];
                std::snprintf(tag, sizeof tag, "%04X%04X", p.id, p.type);
                lost->push_back(std::string("property ") + tag + " (" + e.what() + ")");
                return;
            }
            out.push_back(std::move(p));
        },
        &keySize, &dataSize);
    return out;
}

Table::Table(const Heap& heap) : heap_(heap) {
    if (heap.clientSignature() != kTcSig)
        fail("a node that should hold a table holds something else");
    const View info = heap.item(heap.userRoot());
    if (info.u8(0) != kTcSig)
        fail("a table is damaged (wrong signature)");
    const std::size_t cols = info.u8(1);
    const std::uint16_t end4 = info.u16(2);
    const std::uint16_t end2 = info.u16(4);
    const std::uint16_t end1 = info.u16(6);
    const std::uint16_t endBm = info.u16(8);
    if (!(end4 <= end2 && end2 <= end1 && end1 <= endBm))
        fail("a table is damaged (impossible row layout)");
    cebOffset_ = end1;
    rowSize_ = endBm;
    const std::uint32_t rowIndex = info.u32(10);
    const std::uint32_t rowsRef = info.u32(14);
    for (std::size_t i = 0; i < cols; ++i) {
        const View c = info.sub(22 + 8 * i, 8);
        Column col{c.u32(0), c.u16(4), c.u8(6), c.u8(7)};
        if (std::size_t(col.offset) + col.size > rowSize_ || col.bit >= (endBm - end1) * 8u)
            fail("a table is damaged (a column lies outside the row)");
        columns_.push_back(col);
    }
    if (rowsRef != 0) {
        if (isHid(rowsRef))
            rowBlocks_.push_back(heap.item(rowsRef).copy());
        else {
            const auto it = heap.subnodes().find(rowsRef);
            if (it == heap.subnodes().end())
                fail("a table's rows are missing");
            rowBlocks_ = heap.ndb().readLeaves(it->second.bidData);
        }
    }
    if (rowSize_ == 0 && !rowBlocks_.empty())
        fail("a table is damaged (rows without size)");
    rowsPerBlock_ = rowBlocks_.empty() || rowSize_ == 0 ? 0 : rowBlocks_.front().size() / rowSize_;
    if (rowsPerBlock_ == 0 && !rowBlocks_.empty() && !rowBlocks_.front().empty())
        fail("a table is damaged (a row is larger than its block)");
    std::size_t available = 0;
    for (const Bytes& b : rowBlocks_)
        available += rowSize_ ? b.size() / rowSize_ : 0;
    std::uint8_t dataSize = 0;
    forEachRecord(
        heap, rowIndex,
        [&](View key, View data) {
            const std::size_t index = data.size() >= 4 ? data.u32(0) : data.u16(0);
            if (index >= available)
                fail("a table's row index names a row that does not exist");
            rows_.emplace_back(key.u32(0), index);
        },
        nullptr, &dataSize);
}

std::vector<mapi::Property> Table::row(std::size_t r) const {
    const std::size_t index = rows_.at(r).second;
    if (rowsPerBlock_ == 0 || index / rowsPerBlock_ >= rowBlocks_.size())
        fail("a table's row index names a row that does not exist");
    const std::size_t block = index / rowsPerBlock_;
    const View data = View(rowBlocks_.at(block)).sub((index % rowsPerBlock_) * rowSize_, rowSize_);
    std::vector<mapi::Property> out;
    for (const Column& c : columns_) {
        const std::uint8_t ceb = data.u8(cebOffset_ + c.bit / 8);
        if ((ceb & (0x80 >> (c.bit % 8))) == 0)
            continue;
        mapi::Property p;
        p.id = std::uint16_t(c.tag >> 16);
        p.type = std::uint16_t(c.tag);
        const View cell = data.sub(c.offset, c.size);
        const std::uint16_t base = mapi::baseType(p.type);
        const bool fixed = !mapi::isMultiValued(p.type) && mapi::fixedSize(base) != 0 &&
                           mapi::fixedSize(base) <= 8 && base != mapi::PtGuid;
        if (fixed)
            decodeValue(p, cell.copy());
        else if (c.size == 4)
            decodeValue(p, heap_.value(cell.u32(0)));
        else
            fail("a table is damaged (a variable cell is not a reference)");
        out.push_back(std::move(p));
    }
    return out;
}

NameMap::NameMap(const Ndb& ndb) {
    const auto node = ndb.node(0x61);
    if (!node)
        return;
    const Heap heap(ndb, *node);
    Bytes guids, entries, strings;
    for (mapi::Property& p : readPropertyContext(heap)) {
        if (p.id == 0x0002)
            guids = std::move(p.value);
        else if (p.id == 0x0003)
            entries = std::move(p.value);
        else if (p.id == 0x0004)
            strings = std::move(p.value);
    }
    *this = parse(guids, entries, strings);
}

NameMap NameMap::parse(View guids, View entries, View strings) {
    NameMap map;
    const View& e = entries;
    for (std::size_t at = 0; at + 8 <= e.size(); at += 8) {
        const std::uint32_t idOrOffset = e.u32(at);
        const std::uint16_t guidField = e.u16(at + 4);
        const std::uint16_t index = e.u16(at + 6);
        mapi::PropertyName name;
        const std::size_t guidIndex = guidField >> 1;
        try {
            if (guidIndex == 0)
                continue; // names no property set
            if (guidIndex == 1)
                name.guid = mapi::PS_MAPI;
            else if (guidIndex == 2)
                name.guid = mapi::PS_PUBLIC_STRINGS;
            else {
                const View gv = guids.sub((guidIndex - 3) * 16, 16);
                std::copy(gv.data(), gv.data() + 16, name.guid.bytes.begin());
            }
            if (guidField & 1) {
                const std::uint32_t length = strings.u32(idOrOffset);
                const View text = strings.sub(std::size_t(idOrOffset) + 4, length);
                for (std::size_t k = 0; k + 1 < text.size(); k += 2)
                    name.name += char16_t(text.u16(k));
            } else {
                name.lid = idOrOffset;
            }
        } catch (const Error&) {
            continue;
        }
        map.names_[std::uint16_t(0x8000 + index)] = std::move(name);
    }
    return map;
}

const mapi::PropertyName* NameMap::find(std::uint16_t id) const {
    const auto it = names_.find(id);
    return it == names_.end() ? nullptr : &it->second;
}

} // namespace talvenor::pst
