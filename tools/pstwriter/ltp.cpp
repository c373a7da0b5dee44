#include "ltp.h"

#include "mapi/mapi.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <algorithm>
#include <cstring>
#include <set>
#include <stdexcept>

namespace talvenor::pstwriter {

namespace {

using mapi::putLe16;
using mapi::putLe32;
using mapi::putLe64;
void append16(Bytes& b, std::uint16_t v) {
    b.push_back(std::uint8_t(v));
    b.push_back(std::uint8_t(v >> 8));
}
void append32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(std::uint8_t(v >> (8 * i)));
}

std::uint8_t fillLevel(std::size_t freeBytes) {
    static constexpr std::size_t limits[] = {3584, 2560, 2048, 1792, 1536, 1280, 1024, 768,
                                             512,  256,  128,  64,   32,   16,   8};
    for (std::uint8_t i = 0; i < 15; ++i)
        if (freeBytes >= limits[i])
            return i;
    return 15;
}

} // namespace

// ---------------------------------------------------------------- DataStreamWriter

void DataStreamWriter::append(const std::uint8_t* data, std::size_t size) {
    const std::size_t cap = ndb_.maxBlockData();
    while (size > 0) {
        const std::size_t n = std::min(size, cap - current_.size());
        current_.insert(current_.end(), data, data + n);
        data += n;
        size -= n;
        total_ += n;
        if (current_.size() == cap)
            endBlock();
    }
}

void DataStreamWriter::endBlock() {
    if (current_.empty())
        return;
    bids_.push_back(ndb_.writeBlock(current_, false));
    sizes_.push_back(std::uint32_t(current_.size()));
    current_.clear();
}

std::uint64_t DataStreamWriter::finish() {
    endBlock();
    return ndb_.writeDataTree(bids_, sizes_);
}

// ---------------------------------------------------------------- SubnodeList

std::uint64_t SubnodeList::write(NdbWriter& ndb) {
    if (entries_.empty())
        return 0;
    std::sort(entries_.begin(), entries_.end(),
              [](const Entry& a, const Entry& b) { return a.nid < b.nid; });
    const bool uni = ndb.unicode();
    const std::size_t head = uni ? 8 : 4;
    const std::size_t leafEnt = uni ? 24 : 12;
    const std::size_t branchEnt = uni ? 16 : 8;
    const std::size_t perLeaf = (ndb.maxBlockData() - head) / leafEnt;
    std::vector<std::pair<std::uint32_t, std::uint64_t>> leaves;
    for (std::size_t i = 0; i < entries_.size(); i += perLeaf) {
        const std::size_t n = std::min(perLeaf, entries_.size() - i);
        Bytes b(head + n * leafEnt, 0);
        b[0] = 0x02;
        b[1] = 0;
        putLe16(&b[2], std::uint16_t(n));
        for (std::size_t k = 0; k < n; ++k) {
            const Entry& e = entries_[i + k];
            std::uint8_t* p = &b[head + k * leafEnt];
            if (uni) {
                putLe64(p, e.nid);
                putLe64(p + 8, e.bidData);
                putLe64(p + 16, e.bidSub);
            } else {
                putLe32(p, e.nid);
                putLe32(p + 4, std::uint32_t(e.bidData));
                putLe32(p + 8, std::uint32_t(e.bidSub));
            }
        }
        leaves.push_back({entries_[i].nid, ndb.writeBlock(b, true)});
    }
    if (leaves.size() == 1)
        return leaves.front().second;
    const std::size_t perBranch = (ndb.maxBlockData() - head) / branchEnt;
    if (leaves.size() > perBranch)
        throw std::length_error("too many subnodes in one item");
    Bytes b(head + leaves.size() * branchEnt, 0);
    b[0] = 0x02;
    b[1] = 1;
    putLe16(&b[2], std::uint16_t(leaves.size()));
    for (std::size_t k = 0; k < leaves.size(); ++k) {
        std::uint8_t* p = &b[head + k * branchEnt];
        if (uni) {
            putLe64(p, leaves[k].first);
            putLe64(p + 8, leaves[k].second);
        } else {
            putLe32(p, leaves[k].first);
            putLe32(p + 4, std::uint32_t(leaves[k].second));
        }
    }
    return ndb.writeBlock(b, true);
}

std::uint64_t SubnodeList::pendingBytes(const NdbWriter& ndb) const {
    if (entries_.empty())
        return 0;
    const bool uni = ndb.unicode();
    const std::size_t head = uni ? 8 : 4;
    const std::size_t leafEnt = uni ? 24 : 12;
    const std::size_t perLeaf = (ndb.maxBlockData() - head) / leafEnt;
    const std::size_t leaves = (entries_.size() + perLeaf - 1) / perLeaf;
    std::uint64_t bytes = head * leaves + leafEnt * entries_.size();
    if (leaves > 1)
        bytes += head + leaves * (uni ? 16 : 8);
    return bytes;
}

// ---------------------------------------------------------------- HeapWriter

HeapWriter::HeapWriter(NdbWriter& ndb, std::uint8_t clientSig, bool streaming)
    : ndb_(ndb), clientSig_(clientSig), streaming_(streaming) {
    held_.emplace_back();
    bids_.push_back(0);
    sizes_.push_back(0);
    fillLevels_.push_back(0);
}

std::size_t HeapWriter::headerSize(std::size_t index) const {
    if (index == 0)
        return 12;
    if (index >= 8 && (index - 8) % 128 == 0)
        return 66;
    return 2;
}

std::size_t HeapWriter::blockSize(std::size_t index, const Block& b) const {
    std::size_t s = headerSize(index) + b.used;
    s += s & 1;
    return s + 4 + 2 * (b.items.size() + 1);
}

std::uint32_t HeapWriter::alloc(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxHeapItem)
        throw std::logic_error("heap item too large");
    {
        Block& cur = held_[currentIndex_];
        const std::size_t after = blockSize(currentIndex_, cur) + size + 2;
        if (after > ndb_.maxBlockData() || cur.items.size() >= 2047)
            flushCurrent();
    }
    Block& cur = held_[currentIndex_];
    cur.items.emplace_back(data, data + size);
    cur.used += size;
    if (currentIndex_ > 0xFFFF)
        throw std::length_error("heap too large");
    return std::uint32_t(cur.items.size() << 5) | std::uint32_t(currentIndex_ << 16);
}

void HeapWriter::flushCurrent() {
    const std::size_t index = currentIndex_;
    fillLevels_[index] = fillLevel(ndb_.maxBlockData() - blockSize(index, held_[index]));
    if (streaming_ && index != 0) {
        Bytes b = render(index, held_[index], 0);
        bids_[index] = ndb_.writeBlock(b, false);
        sizes_[index] = std::uint32_t(b.size());
        held_[index] = Block{};
        held_[index].items.shrink_to_fit();
    }
    held_.emplace_back();
    bids_.push_back(0);
    sizes_.push_back(0);
    fillLevels_.push_back(0);
    ++currentIndex_;
}

Bytes HeapWriter::render(std::size_t index, const Block& b, std::uint32_t hidUserRoot) const {
    const std::size_t size = blockSize(index, b);
    Bytes out(size, 0);
    const std::size_t head = headerSize(index);
    std::size_t at = head;
    std::vector<std::uint16_t> offsets;
    for (const Bytes& item : b.items) {
        offsets.push_back(std::uint16_t(at));
        if (!item.empty())
            std::memcpy(&out[at], item.data(), item.size());
        at += item.size();
    }
    offsets.push_back(std::uint16_t(at));
    const std::size_t ibHnpm = at + (at & 1);
    putLe16(&out[0], std::uint16_t(ibHnpm));
    auto levelOf = [&](std::size_t i) -> std::uint8_t {
        if (i < fillLevels_.size())
            return i == currentIndex_ ? fillLevel(ndb_.maxBlockData() - blockSize(i, held_[i]))
                                      : fillLevels_[i];
        return 15;
    };
    if (index == 0) {
        out[2] = 0xEC;
        out[3] = clientSig_;
        putLe32(&out[4], hidUserRoot);
        for (std::size_t i = 0; i < 8; ++i)
            out[8 + i / 2] |=
                std::uint8_t((i < fillLevels_.size() ? levelOf(i) : 0) << (4 * (i % 2)));
    } else if (head == 66) {
        for (std::size_t i = 0; i < 128; ++i)
            out[2 + i / 2] |= std::uint8_t(levelOf(index + i) << (4 * (i % 2)));
    }
    putLe16(&out[ibHnpm], std::uint16_t(b.items.size()));
    putLe16(&out[ibHnpm + 2], 0);
    for (std::size_t i = 0; i < offsets.size(); ++i)
        putLe16(&out[ibHnpm + 4 + 2 * i], offsets[i]);
    return out;
}

void HeapWriter::patch(std::uint32_t hid, std::size_t offset, const void* data, std::size_t size) {
    const std::size_t block = hid >> 16;
    const std::size_t item = ((hid >> 5) & 0x7FF) - 1;
    if (block >= held_.size() || item >= held_[block].items.size())
        throw std::logic_error("patching a heap item that was already written");
    std::memcpy(held_[block].items[item].data() + offset, data, size);
}

std::uint64_t HeapWriter::pendingBytes(std::uint32_t) const {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < held_.size(); ++i)
        if (bids_[i] == 0)
            total += blockSize(i, held_[i]);
    return total + ndb_.dataTreeOverhead(held_.size());
}

std::uint64_t HeapWriter::finish(std::uint32_t hidUserRoot) {
    for (std::size_t i = 0; i < held_.size(); ++i) {
        if (bids_[i] != 0)
            continue;
        Bytes b = render(i, held_[i], hidUserRoot);
        bids_[i] = ndb_.writeBlock(b, false);
        sizes_[i] = std::uint32_t(b.size());
        held_[i] = Block{};
    }
    return ndb_.writeDataTree(bids_, sizes_);
}

// ---------------------------------------------------------------- BthWriter

BthWriter::BthWriter(HeapWriter& heap, std::uint8_t cbKey, std::uint8_t cbEnt)
    : heap_(heap), cbKey_(cbKey), cbEnt_(cbEnt), headerHid_(heap.alloc(Bytes(8, 0))) {}

void BthWriter::add(const std::uint8_t* key, const std::uint8_t* data) {
    const std::size_t rec = std::size_t(cbKey_) + cbEnt_;
    if (leaf_.size() + rec > kMaxHeapItem)
        flushLeaf();
    if (leaf_.empty())
        firstKey_.assign(key, key + cbKey_);
    leaf_.insert(leaf_.end(), key, key + cbKey_);
    leaf_.insert(leaf_.end(), data, data + cbEnt_);
}

void BthWriter::flushLeaf() {
    if (leaf_.empty())
        return;
    refs_.push_back({firstKey_, heap_.alloc(leaf_)});
    leafHids_.push_back(refs_.back().hid);
    leaf_.clear();
}

std::uint32_t BthWriter::finish() {
    flushLeaf();
    std::uint8_t levels = 0;
    std::vector<Ref> refs = std::move(refs_);
    const std::size_t rec = std::size_t(cbKey_) + 4;
    while (refs.size() > 1) {
        ++levels;
        std::vector<Ref> up;
        Bytes node;
        Bytes first;
        for (const Ref& r : refs) {
            if (node.size() + rec > kMaxHeapItem) {
                up.push_back({first, heap_.alloc(node)});
                node.clear();
            }
            if (node.empty())
                first = r.key;
            node.insert(node.end(), r.key.begin(), r.key.end());
            append32(node, r.hid);
        }
        up.push_back({first, heap_.alloc(node)});
        refs = std::move(up);
    }
    Bytes header{0xB5, cbKey_, cbEnt_, levels};
    append32(header, refs.empty() ? 0 : refs.front().hid);
    heap_.patch(headerHid_, 0, header.data(), header.size());
    return headerHid_;
}

// ---------------------------------------------------------------- values

std::size_t fixedValueSize(std::uint16_t type) {
    switch (type) {
    case 0x0002:
        return 2;
    case 0x0003:
    case 0x0004:
    case 0x000A:
        return 4;
    case 0x000B:
        return 2;
    case 0x0005:
    case 0x0006:
    case 0x0007:
    case 0x0014:
    case 0x0040:
        return 8;
    case 0x0048:
        return 16;
    default:
        return 0;
    }
}

bool inlineInPc(std::uint16_t type) {
    return type == 0x0002 || type == 0x0003 || type == 0x0004 || type == 0x000A || type == 0x000B;
}

namespace {

const char* codePageName(std::uint32_t codePage) {
    switch (codePage) {
    case 1250:
        return "windows-1250";
    case 1251:
        return "windows-1251";
    case 1252:
        return "windows-1252";
    case 932:
        return "Shift_JIS";
    default:
        return nullptr;
    }
}

} // namespace

bool writableCodePage(std::uint32_t codePage) {
    const char* name = codePageName(codePage);
    return name && QStringEncoder(name).isValid();
}

Bytes toCodePage(const Bytes& utf16, std::uint32_t codePage) {
    QString text(qsizetype(utf16.size() / 2), Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        text[i] = QChar(char16_t(utf16[2 * i] | (utf16[2 * i + 1] << 8)));
    const char* name = codePageName(codePage);
    if (!name)
        throw std::logic_error("no encoder for code page " + std::to_string(codePage));
    // Characters the code page lacks become '?' in every code page alike; the encoders' own
    // substitutes differ from one code page to the next.
    auto encode = [&](const QString& s) {
        QStringEncoder encoder(name, QStringConverter::Flag::Stateless);
        QByteArray bytes = encoder.encode(s);
        return std::make_pair(bytes,
                              !encoder.hasError() && QStringDecoder(name).decode(bytes) == s);
    };
    auto [bytes, exact] = encode(text);
    if (!exact) {
        bytes.clear();
        for (qsizetype i = 0; i < text.size(); ++i) {
            const qsizetype n = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
            const auto [one, fits] = encode(text.mid(i, n));
            bytes += fits ? one : QByteArray("?");
            i += n - 1;
        }
    }
    return Bytes(bytes.begin(), bytes.end());
}

Value narrowed(const Value& v, std::uint32_t codePage) {
    if ((v.type & 0x0FFF) != 0x001F)
        return v;
    Value n;
    n.type = std::uint16_t((v.type & 0xF000) | 0x001E);
    n.data = toCodePage(v.data, codePage);
    for (const Bytes& b : v.values)
        n.values.push_back(toCodePage(b, codePage));
    return n;
}

std::uint32_t narrowedTag(std::uint32_t tag) {
    return (tag & 0x0FFF) == 0x001F ? (tag & 0xFFFFF000u) | 0x001E : tag;
}

Bytes encodeMultiValue(std::uint16_t type, const std::vector<Bytes>& values) {
    Bytes out;
    const std::uint16_t base = type & 0x0FFF;
    if (fixedValueSize(base) != 0) {
        for (const Bytes& v : values)
            out.insert(out.end(), v.begin(), v.end());
        return out;
    }
    append32(out, std::uint32_t(values.size()));
    std::uint32_t at = std::uint32_t(4 + 4 * values.size());
    for (const Bytes& v : values) {
        append32(out, at);
        at += std::uint32_t(v.size());
    }
    for (const Bytes& v : values)
        out.insert(out.end(), v.begin(), v.end());
    return out;
}

std::uint32_t storeVariable(HeapWriter& heap, SubnodeList& subs, NdbWriter& ndb, const Bytes& data,
                            bool forceSubnode) {
    if (data.empty())
        return 0;
    if (data.size() <= kMaxHeapItem && !forceSubnode)
        return heap.alloc(data);
    DataStreamWriter stream(ndb);
    stream.append(data.data(), data.size());
    const std::uint64_t bid = stream.finish();
    const std::uint32_t nid = subs.newNid(0x1F);
    subs.add(nid, bid, 0);
    return nid;
}

namespace {

// A value as the store keeps it: in 8 bits where the strings are, and with the terminator that
// other writers store after each string when the store is written as theirs.
Value storedValue(const Value& original, bool eightBit, const NdbWriter& ndb) {
    Value v = eightBit ? narrowed(original, ndb.codePage()) : original;
    const std::uint16_t base = v.type & 0x0FFF;
    const std::size_t width = base == 0x001F ? 2 : base == 0x001E ? 1 : 0;
    if (!ndb.terminators() || width == 0)
        return v;
    if (v.type & 0x1000) {
        for (Bytes& b : v.values)
            b.insert(b.end(), width, 0);
    } else {
        v.data.insert(v.data.end(), width, 0);
    }
    return v;
}

} // namespace

// ---------------------------------------------------------------- PcWriter

void PcWriter::build(const std::map<std::uint16_t, Value>& props) {
    const std::uint64_t before = ndb_.blockBytes();
    std::map<std::uint16_t, Value> values;
    for (const auto& [id, original] : props) {
        Value v = storedValue(original, eightBit_, ndb_);
        if (v.type & 0x1000) {
            v.data = encodeMultiValue(v.type, v.values);
            v.values.clear();
        }
        values.emplace(id, std::move(v));
    }
    // Keep the property heap within one block: when the values would overflow it, the largest
    // ones move to subnodes (readers handle those everywhere, multi-block property heaps less
    // so).
    auto heapBound = [](const Value& v) {
        return !inlineInPc(v.type) && !v.data.empty() && v.data.size() <= kMaxHeapItem;
    };
    std::size_t estimate = 12 + 8 + 8 * values.size() + 4 + 2 * (values.size() + 4) + 16;
    for (const auto& [id, v] : values)
        if (heapBound(v))
            estimate += v.data.size();
    std::set<std::uint16_t> spill;
    while (estimate > ndb_.maxBlockData()) {
        std::uint16_t largest = 0;
        std::size_t size = 0;
        for (const auto& [id, v] : values)
            if (heapBound(v) && !spill.count(id) && v.data.size() > size) {
                largest = id;
                size = v.data.size();
            }
        if (size == 0)
            break;
        spill.insert(largest);
        estimate -= size;
    }
    BthWriter bth(heap_, 2, 6);
    std::vector<std::array<std::uint8_t, 8>> records;
    for (const auto& [id, v] : values) {
        std::array<std::uint8_t, 8> r{};
        putLe16(&r[0], id);
        putLe16(&r[2], v.type);
        if (inlineInPc(v.type)) {
            std::memcpy(&r[4], v.data.data(), std::min<std::size_t>(4, v.data.size()));
            if (v.type == 0x000B)
                r[5] = 0; // booleans keep only their low byte
        } else {
            putLe32(&r[4], storeVariable(heap_, subs_, ndb_, v.data, spill.count(id) != 0));
        }
        records.push_back(r);
    }
    // Records go into leaves of at most kMaxHeapItem bytes; remember where inline values land
    // so that they can be patched.
    const std::size_t perLeaf = kMaxHeapItem / 8;
    std::size_t i = 0;
    std::vector<std::pair<std::uint16_t, std::pair<std::size_t, std::size_t>>> positions;
    for (const auto& r : records) {
        positions.push_back(
            {std::uint16_t(r[0] | (r[1] << 8)), {i / perLeaf, (i % perLeaf) * 8 + 4}});
        bth.add(&r[0], &r[2]);
        ++i;
    }
    root_ = bth.finish();
    // Leaves are the first allocations after the values; their HIDs come from the BTH.
    for (const auto& [id, pos] : positions)
        inlineAt_[id] = {bth.leafHid(pos.first), pos.second};
    subBytes_ = ndb_.blockBytes() - before;
}

std::uint64_t PcWriter::pendingBytes() const {
    return heap_.pendingBytes(root_);
}

void PcWriter::patchInline(std::uint16_t id, std::uint32_t value) {
    auto it = inlineAt_.find(id);
    if (it == inlineAt_.end())
        throw std::logic_error("patching a property that was not written");
    std::uint8_t b[4];
    putLe32(b, value);
    heap_.patch(it->second.first, it->second.second, b, 4);
}

PcResult PcWriter::write() {
    PcResult r;
    r.bidSub = subs_.write(ndb_);
    r.bidData = heap_.finish(root_);
    return r;
}

// ---------------------------------------------------------------- TcWriter

TcWriter::TcWriter(NdbWriter& ndb, std::vector<std::uint32_t> tags, std::optional<bool> eightBit)
    : ndb_(ndb), eightBit_(eightBit.value_or(!ndb.unicode())), heap_(ndb, 0x7C, true),
      index_(heap_, 4, ndb.unicode() ? 4 : 2) {
    std::vector<std::uint32_t> all{0x67F20003, 0x67F30003};
    if (eightBit_)
        for (std::uint32_t& t : tags)
            t = narrowedTag(t);
    for (std::uint32_t t : tags)
        if (t != 0x67F20003 && t != 0x67F30003 && std::find(all.begin(), all.end(), t) == all.end())
            all.push_back(t);
    auto width = [](std::uint32_t tag) -> std::uint8_t {
        const std::uint16_t type = tag & 0xFFFF;
        if (type & 0x1000)
            return 4;
        const std::size_t f = fixedValueSize(type);
        if (type == 0x000B)
            return 1;
        if (f == 0 || f > 8)
            return 4;
        return std::uint8_t(f);
    };
    std::uint16_t at = 0;
    for (int pass = 0; pass < 3; ++pass) {
        for (std::size_t i = 0; i < all.size(); ++i) {
            const std::uint8_t w = width(all[i]);
            const bool take = pass == 0 ? w >= 4 : pass == 1 ? w == 2 : w == 1;
            if (!take)
                continue;
            cols_.push_back({all[i], at, w, std::uint8_t(i)});
            at += w;
        }
        rgib_[pass] = at;
    }
    rowSize_ = at + (all.size() + 7) / 8;
    rgib_[3] = std::uint16_t(rowSize_);
    rowsPerBlock_ = ndb.maxBlockData() / rowSize_;
    // The mail program's tables open with the row index's header and then TCINFO; values and
    // rows follow. Readers that assume that order find both where they look.
    hidInfo_ = heap_.alloc(Bytes(22 + 8 * cols_.size(), 0));
}

void TcWriter::addRow(std::uint32_t rowId, const std::map<std::uint32_t, Value>& values) {
    if (lastRowId_ && rowId <= *lastRowId_)
        throw std::logic_error("table rows must arrive in ascending order");
    lastRowId_ = rowId;
    Bytes row(rowSize_, 0);
    const std::size_t ceb = rgib_[2];
    auto setBit = [&](std::uint8_t bit) { row[ceb + bit / 8] |= std::uint8_t(0x80 >> (bit % 8)); };
    for (const Col& c : cols_) {
        if (c.tag == 0x67F20003) {
            putLe32(&row[c.ib], rowId);
            setBit(c.bit);
            continue;
        }
        if (c.tag == 0x67F30003) {
            putLe32(&row[c.ib], 1);
            setBit(c.bit);
            continue;
        }
        auto it = values.find(c.tag);
        if (it == values.end() && eightBit_ && (c.tag & 0x0FFF) == 0x001E)
            it = values.find((c.tag & 0xFFFFF000u) | 0x001F);
        if (it == values.end())
            continue;
        const Value v = storedValue(it->second, eightBit_, ndb_);
        const std::uint16_t type = c.tag & 0xFFFF;
        if (type & 0x1000) {
            putLe32(&row[c.ib],
                    storeVariable(heap_, subs_, ndb_, encodeMultiValue(type, v.values)));
        } else if (fixedValueSize(type) != 0 && fixedValueSize(type) <= 8) {
            std::memcpy(&row[c.ib], v.data.data(), std::min<std::size_t>(c.cb, v.data.size()));
        } else {
            putLe32(&row[c.ib], storeVariable(heap_, subs_, ndb_, v.data));
        }
        setBit(c.bit);
    }
    // Small tables keep their rows in the heap; larger ones move them to a subnode whose
    // blocks each hold a whole number of rows.
    if (!rowStream_ && smallRows_.size() + rowSize_ > kMaxHeapItem) {
        rowStream_ = std::make_unique<DataStreamWriter>(ndb_);
        for (std::size_t off = 0; off < smallRows_.size(); off += rowSize_) {
            if (rowsInBlock_ == rowsPerBlock_) {
                rowStream_->endBlock();
                rowsInBlock_ = 0;
            }
            rowStream_->append(&smallRows_[off], rowSize_);
            ++rowsInBlock_;
        }
        smallRows_.clear();
        smallRows_.shrink_to_fit();
    }
    if (rowStream_) {
        if (rowsInBlock_ == rowsPerBlock_) {
            rowStream_->endBlock();
            rowsInBlock_ = 0;
        }
        rowStream_->append(row.data(), row.size());
        ++rowsInBlock_;
    } else {
        smallRows_.insert(smallRows_.end(), row.begin(), row.end());
    }
    std::uint8_t key[4];
    std::uint8_t data[4];
    putLe32(key, rowId);
    putLe32(data, std::uint32_t(rows_));
    index_.add(key, data);
    ++rows_;
}

PcResult TcWriter::finish() {
    std::uint32_t hnidRows = 0;
    if (rowStream_) {
        const std::uint64_t bid = rowStream_->finish();
        hnidRows = subs_.newNid(0x1F);
        subs_.add(hnidRows, bid, 0);
    } else if (!smallRows_.empty()) {
        hnidRows = heap_.alloc(smallRows_);
    }
    const std::uint32_t hidIndex = index_.finish();
    std::vector<Col> sorted = cols_;
    std::sort(sorted.begin(), sorted.end(),
              [](const Col& a, const Col& b) { return a.tag < b.tag; });
    Bytes info{0x7C, std::uint8_t(sorted.size())};
    for (auto v : rgib_)
        append16(info, v);
    append32(info, hidIndex);
    append32(info, hnidRows);
    append32(info, 0);
    for (const Col& c : sorted) {
        append32(info, c.tag);
        append16(info, c.ib);
        info.push_back(c.cb);
        info.push_back(c.bit);
    }
    heap_.patch(hidInfo_, 0, info.data(), info.size());
    PcResult r;
    r.bidSub = subs_.write(ndb_);
    r.bidData = heap_.finish(hidInfo_);
    return r;
}

} // namespace talvenor::pstwriter
