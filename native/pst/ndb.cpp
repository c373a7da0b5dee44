#include "ndb.h"

#include "crypt.h"

#include <zlib.h>

#include <algorithm>

namespace talvenor::pst {

namespace {

constexpr std::uint8_t kPtypeBbt = 0x80;
constexpr std::uint8_t kPtypeNbt = 0x81;
constexpr std::size_t kCacheSize = 64;

struct PageGeometry {
    std::size_t entryArea; // bytes of entries before the page's metadata
    std::size_t trailer;   // where the page trailer starts (the checksum covers what precedes)
};

PageGeometry geometry(Layout l) {
    switch (l) {
    case Layout::Ansi:
        return {496, 500};
    case Layout::Unicode:
        return {488, 496};
    case Layout::Unicode4k:
        return {4056, 4072};
    }
    return {488, 496};
}

std::size_t blockTrailerSize(Layout l) {
    return l == Layout::Ansi ? 12 : l == Layout::Unicode ? 16 : 24;
}

std::size_t blockAlignment(Layout l) {
    return l == Layout::Unicode4k ? 512 : 64;
}

Bytes inflate(View in, std::size_t outSize) {
    Bytes out(outSize);
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        fail("cannot start decompressing a block");
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = uInt(in.size());
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    const int rc = ::inflate(&z, Z_FINISH);
    const std::size_t produced = out.size() - z.avail_out;
    inflateEnd(&z);
    if (rc != Z_STREAM_END || produced != outSize)
        fail("a compressed block does not decompress to its stated size");
    return out;
}

} // namespace

Header parseHeader(View h) {
    if (h.size() < 512)
        fail("the file is too small to be a personal-folders file");
    if (h.u32(0) != 0x4E444221) // "!BDN"
        fail("the file is not a personal-folders file (no !BDN signature)");
    Header out;
    const std::uint16_t client = h.u16(8);
    if (client == 0x4F53) // "SO"
        out.offline = true;
    else if (client != 0x4D53 && client != 0x4241) // "SM", "AB"
        fail("the file is not a personal-folders file (unknown client signature)");
    out.version = h.u16(10);
    if (out.version == 14 || out.version == 15)
        out.layout = Layout::Ansi;
    else if (out.version >= 0x24)
        out.layout = Layout::Unicode4k;
    else if (out.version >= 0x15)
        out.layout = Layout::Unicode;
    else
        fail("unknown personal-folders file version " + std::to_string(out.version));
    // A damaged checksum alone does not end reading: the fields it covers are used when they
    // are of a kind we know, and the B-trees' own checks catch damaged roots.
    bool checksumFailed = crc32(h.data() + 8, 471) != h.u32(4);
    std::uint8_t crypt = 0;
    if (out.layout == Layout::Ansi) {
        out.fileEof = h.u32(168);
        out.nbtBid = h.u32(184);
        out.nbtIb = h.u32(188);
        out.bbtBid = h.u32(192);
        out.bbtIb = h.u32(196);
        crypt = h.u8(461);
    } else {
        if (h.size() < 528)
            fail("the file header is truncated");
        if (crc32(h.data() + 8, 516) != h.u32(524))
            checksumFailed = true;
        out.fileEof = h.u64(184);
        out.nbtBid = h.u64(216);
        out.nbtIb = h.u64(224);
        out.bbtBid = h.u64(232);
        out.bbtIb = h.u64(240);
        crypt = h.u8(513);
    }
    if (crypt > 2 && checksumFailed) {
        // The reader tries the encodings on the store's own node (see Ndb).
        out.cryptUnknown = true;
        crypt = 0;
    }
    if (crypt > 2)
        fail("the file uses an unknown encoding (" + std::to_string(crypt) + ")");
    out.crypt = Crypt(crypt);
    out.checksumFailed = checksumFailed;
    return out;
}

Ndb::Ndb(std::shared_ptr<const ByteSource> source, ReadOptions options)
    : source_(std::move(source)), options_(options) {
    Bytes head;
    source_->read(0, std::size_t(std::min<std::uint64_t>(source_->size(), 564)), head);
    header_ = parseHeader(View(head));
    if (header_.cryptUnknown)
        guessCrypt();
}

void Ndb::guessCrypt() {
    // The message store's properties are a heap: its signature shows through the right
    // decoding only.
    for (const Crypt c : {Crypt::Permute, Crypt::Cyclic, Crypt::None}) {
        header_.crypt = c;
        try {
            const auto store = node(0x21);
            if (store && (store->bidData & 2) == 0) {
                const Bytes b = readBlock(store->bidData);
                if (b.size() >= 4 && b[2] == 0xEC && b[3] == 0xBC)
                    return;
            }
        } catch (const Error&) {
        }
    }
    fail("the file header is damaged (checksum mismatch, unknown encoding)");
}

std::shared_ptr<const Ndb::Page> Ndb::page(std::uint64_t ib, std::uint64_t bid,
                                           std::uint8_t ptype) const {
    for (std::size_t i = 0; i < cache_.size(); ++i) {
        if (cache_[i].first == ib) {
            auto hit = cache_[i];
            if (hit.second->ptype != ptype)
                fail("a B-tree page is damaged (wrong page type)");
            cache_.erase(cache_.begin() + std::ptrdiff_t(i));
            cache_.insert(cache_.begin(), hit);
            return hit.second;
        }
    }
    auto p = std::make_shared<Page>();
    p->ptype = ptype;
    source_->read(ib, pageSize(), p->bytes);
    const View v(p->bytes);
    const PageGeometry g = geometry(header_.layout);
    if (v.u8(g.trailer) != ptype || v.u8(g.trailer + 1) != ptype)
        fail("a B-tree page is damaged (wrong page type)");
    const bool ansi = header_.layout == Layout::Ansi;
    const std::uint32_t crc = ansi ? v.u32(g.trailer + 8) : v.u32(g.trailer + 4);
    if (options_.verifyChecksums && crc32(v.data(), g.trailer) != crc)
        fail("a B-tree page is damaged (checksum mismatch)");
    const std::uint64_t pageBid = ansi ? v.u32(g.trailer + 4) : v.u64(g.trailer + 8);
    if (pageBid != bid)
        fail("a B-tree page is not the one its parent names");
    if (header_.layout == Layout::Unicode4k) {
        p->count = v.u16(g.entryArea);
        p->entrySize = v.u8(g.entryArea + 4);
        p->level = v.u8(g.entryArea + 5);
    } else {
        p->count = v.u8(g.entryArea);
        p->entrySize = v.u8(g.entryArea + 2);
        p->level = v.u8(g.entryArea + 3);
    }
    if (p->entrySize == 0 || p->count * p->entrySize > g.entryArea)
        fail("a B-tree page is damaged (impossible entry count)");
    cache_.insert(cache_.begin(), {ib, p});
    if (cache_.size() > kCacheSize)
        cache_.pop_back();
    return p;
}

namespace {

// Reads key, child bid and child offset of a branch entry.
struct Branch {
    std::uint64_t key, bid, ib;
};
Branch branchAt(View e, bool ansi) {
    if (ansi)
        return {e.u32(0), e.u32(4), e.u32(8)};
    return {e.u64(0), e.u64(8), e.u64(16)};
}

// The key of a B-tree entry. A node id is four bytes in every format; Unicode files widen it to
// eight only to match the block tree's keys, so what stands in the upper half is no part of it
// (other readers ignore it too, and a damaged byte there must not lose the node).
std::uint64_t entryKey(View e, bool ansi, std::uint8_t ptype) {
    if (ansi)
        return e.u32(0);
    return ptype == kPtypeNbt ? e.u32(0) : e.u64(0);
}

} // namespace

template <typename Key, typename Leaf>
std::optional<Leaf> Ndb::lookup(std::uint64_t bid, std::uint64_t ib, std::uint8_t ptype, Key key,
                                Leaf (*parse)(const Ndb&, View)) const {
    const bool ansi = header_.layout == Layout::Ansi;
    const std::size_t keySize = ansi ? 4 : 8;
    const auto keyOf = [&](View e) { return entryKey(e, ansi, ptype); };
    std::optional<unsigned> parentLevel;
    for (std::size_t depth = 0; depth < kMaxDepth; ++depth) {
        auto p = page(ib, bid, ptype);
        const View v(p->bytes);
        if (parentLevel && p->level + 1 != *parentLevel)
            fail("a B-tree page is damaged (wrong level)");
        parentLevel = p->level;
        if (p->entrySize < keySize)
            fail("a B-tree page is damaged (entries too small)");
        // The last entry whose key is not above the wanted one.
        std::optional<std::size_t> at;
        std::size_t lo = 0, hi = p->count;
        while (lo < hi) {
            const std::size_t mid = (lo + hi) / 2;
            const std::uint64_t k = keyOf(v.sub(mid * p->entrySize, p->entrySize));
            if (k <= std::uint64_t(key)) {
                at = mid;
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        if (!at)
            return std::nullopt;
        const View e = v.sub(*at * p->entrySize, p->entrySize);
        if (p->level == 0) {
            if (keyOf(e) != std::uint64_t(key))
                return std::nullopt;
            return parse(*this, e);
        }
        if (p->entrySize < (ansi ? 12u : 24u))
            fail("a B-tree page is damaged (branch entries too small)");
        const Branch b = branchAt(e, ansi);
        bid = b.bid;
        ib = b.ib;
    }
    fail("a B-tree is deeper than any store has");
}

namespace {

NodeEntry parseNode(const Ndb& ndb, View e) {
    if (!ndb.unicode())
        return {e.u32(0), e.u32(4), e.u32(8), e.u32(12)};
    return {std::uint32_t(e.u64(0)), e.u64(8), e.u64(16), e.u32(24)};
}

BlockEntry parseBlock(const Ndb& ndb, View e) {
    if (!ndb.unicode())
        return {e.u32(0), e.u32(4), e.u16(8)};
    return {e.u64(0), e.u64(8), e.u16(16)};
}

} // namespace

namespace {

template <typename Entry, typename Key>
std::optional<Entry> findSorted(const std::vector<Entry>& v, Key key, Key Entry::*field) {
    const auto it = std::lower_bound(v.begin(), v.end(), key,
                                     [field](const Entry& e, Key k) { return e.*field < k; });
    if (it == v.end() || (*it).*field != key)
        return std::nullopt;
    return *it;
}

} // namespace

// A lookup goes through the tree; once a page on some path is found damaged, lookups that the
// tree cannot answer are answered from the scan of the file.
std::optional<NodeEntry> Ndb::node(std::uint32_t nid) const {
    try {
        if (auto found =
                lookup(header_.nbtBid, header_.nbtIb, kPtypeNbt, std::uint64_t(nid), &parseNode))
            return found;
    } catch (const Error&) {
        nbtDamaged_ = true;
    }
    if (!nbtDamaged_)
        return std::nullopt;
    return findSorted(scan(kPtypeNbt).nodes, nid, &NodeEntry::nid);
}

std::optional<BlockEntry> Ndb::block(std::uint64_t bid) const {
    // The lowest bit of a block id is reserved; writers may set it in references.
    bid &= ~std::uint64_t(1);
    try {
        if (auto found = lookup(header_.bbtBid, header_.bbtIb, kPtypeBbt, bid, &parseBlock))
            return found;
    } catch (const Error&) {
        bbtDamaged_ = true;
    }
    if (!bbtDamaged_)
        return std::nullopt;
    const auto found = findSorted(scan(kPtypeBbt).blocks, bid, &ScannedBlock::bid);
    if (!found)
        return std::nullopt;
    return BlockEntry{found->bid, found->ib, found->cb};
}

const Ndb::Scan& Ndb::scan(std::uint8_t ptype) const {
    auto& slot = ptype == kPtypeNbt ? nbtScan_ : bbtScan_;
    if (slot)
        return *slot;
    auto s = std::make_unique<Scan>();
    // Candidates with their rank: intact pages before damaged ones, newer pages (higher ids)
    // before older copies a writer left behind.
    std::vector<std::pair<std::uint32_t, NodeEntry>> nodes;
    const std::size_t ps = pageSize();
    const std::size_t chunk = ps * 512;
    Bytes buffer;
    for (std::uint64_t at = ps; at + ps <= source_->size(); at += chunk) {
        const std::size_t count =
            std::size_t(std::min<std::uint64_t>(chunk, (source_->size() - at) / ps * ps));
        stillAtWork();
        source_->read(at, count, buffer);
        for (std::size_t off = 0; off + ps <= count; off += ps)
            scanPage(View(buffer).sub(off, ps), ptype, nodes, s->blocks, s->damagedPages);
    }
    std::sort(nodes.begin(), nodes.end(), [](const auto& a, const auto& b) {
        return a.second.nid != b.second.nid ? a.second.nid < b.second.nid : a.first > b.first;
    });
    for (const auto& c : nodes)
        if (s->nodes.empty() || s->nodes.back().nid != c.second.nid)
            s->nodes.push_back(c.second);
    auto& blocks = s->blocks;
    std::sort(blocks.begin(), blocks.end(), [](const ScannedBlock& a, const ScannedBlock& b) {
        return a.bid != b.bid ? a.bid < b.bid : a.rank > b.rank;
    });
    blocks.erase(
        std::unique(blocks.begin(), blocks.end(),
                    [](const ScannedBlock& a, const ScannedBlock& b) { return a.bid == b.bid; }),
        blocks.end());
    slot = std::move(s);
    return *slot;
}

void Ndb::scanPage(View v, std::uint8_t wanted,
                   std::vector<std::pair<std::uint32_t, NodeEntry>>& nodes,
                   std::vector<ScannedBlock>& blocks, std::size_t& damaged) const {
    const PageGeometry g = geometry(header_.layout);
    const std::uint8_t ptype = v.u8(g.trailer);
    if (ptype != wanted || v.u8(g.trailer + 1) != ptype)
        return;
    const bool ansi = header_.layout == Layout::Ansi;
    const bool four = header_.layout == Layout::Unicode4k;
    const std::size_t count = four ? v.u16(g.entryArea) : v.u8(g.entryArea);
    const std::size_t entrySize = v.u8(g.entryArea + (four ? 4 : 2));
    const unsigned level = v.u8(g.entryArea + (four ? 5 : 3));
    const bool nbt = ptype == kPtypeNbt;
    const std::size_t size = nbt ? (ansi ? 16 : 32) : (ansi ? 12 : 24);
    if (level != 0 || entrySize != size || count == 0 || count * entrySize > g.entryArea)
        return;
    const std::uint32_t crc = ansi ? v.u32(g.trailer + 8) : v.u32(g.trailer + 4);
    const bool intact = !options_.verifyChecksums || crc32(v.data(), g.trailer) == crc;
    const std::uint64_t pageBid = ansi ? v.u32(g.trailer + 4) : v.u64(g.trailer + 8);
    const std::uint32_t rank =
        (intact ? 1u << 31 : 0) | std::uint32_t(std::min<std::uint64_t>(pageBid >> 2, 0x7FFFFFFF));
    auto key = [&](std::size_t i) {
        return entryKey(v.sub(i * entrySize, entrySize), ansi, ptype);
    };
    // Of a damaged page, only the entries whose keys still rise with the longest run of
    // rising keys count: a damaged key would otherwise invent a node or block.
    std::vector<bool> keep(count, true);
    if (!intact) {
        ++damaged;
        std::vector<std::size_t> length(count, 1), before(count, count);
        std::size_t best = 0;
        for (std::size_t i = 0; i < count; ++i) {
            for (std::size_t j = 0; j < i; ++j)
                if (key(j) < key(i) && length[j] + 1 > length[i]) {
                    length[i] = length[j] + 1;
                    before[i] = j;
                }
            if (length[i] > length[best])
                best = i;
        }
        std::fill(keep.begin(), keep.end(), false);
        for (std::size_t i = best; i < count; i = before[i])
            keep[i] = true;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (!keep[i])
            continue;
        const View e = v.sub(i * entrySize, entrySize);
        if (nbt) {
            const NodeEntry n = parseNode(*this, e);
            if (n.nid != 0)
                nodes.emplace_back(rank, n);
        } else {
            const BlockEntry b = parseBlock(*this, e);
            if (b.bid != 0 && b.ib <= source_->size() && b.cb <= source_->size() - b.ib)
                blocks.push_back({b.bid, b.ib, rank, b.cb});
        }
    }
}

std::vector<NodeEntry> Ndb::recoverableNodes() const {
    std::vector<NodeEntry> out;
    std::set<std::uint64_t> seen;
    bool failed = false;
    walkTolerant(header_.nbtBid, header_.nbtIb, 0, -1, seen, out, failed);
    if (failed)
        nbtDamaged_ = true;
    if (!nbtDamaged_)
        return out;
    // The tree's entries first, so that where both know a node the tree's entry stays.
    const auto& scanned = scan(kPtypeNbt).nodes;
    out.insert(out.end(), scanned.begin(), scanned.end());
    std::stable_sort(out.begin(), out.end(),
                     [](const NodeEntry& a, const NodeEntry& b) { return a.nid < b.nid; });
    out.erase(std::unique(out.begin(), out.end(),
                          [](const NodeEntry& a, const NodeEntry& b) { return a.nid == b.nid; }),
              out.end());
    return out;
}

void Ndb::walkTolerant(std::uint64_t bid, std::uint64_t ib, std::size_t depth, int parentLevel,
                       std::set<std::uint64_t>& seen, std::vector<NodeEntry>& out,
                       bool& failed) const {
    stillAtWork();
    if (depth >= kMaxDepth || !seen.insert(ib).second) {
        failed = true;
        return;
    }
    std::shared_ptr<const Page> p;
    try {
        p = page(ib, bid, kPtypeNbt);
    } catch (const Error&) {
        failed = true;
        return;
    }
    if (parentLevel >= 0 && int(p->level) + 1 != parentLevel) {
        failed = true;
        return;
    }
    const View v(p->bytes);
    const bool ansi = header_.layout == Layout::Ansi;
    const std::size_t least = p->level == 0 ? (ansi ? 16u : 32u) : (ansi ? 12u : 24u);
    if (p->entrySize < least) {
        failed = true;
        return;
    }
    for (std::size_t i = 0; i < p->count; ++i) {
        const View e = v.sub(i * p->entrySize, p->entrySize);
        if (p->level == 0) {
            out.push_back(parseNode(*this, e));
        } else {
            const Branch b = branchAt(e, ansi);
            walkTolerant(b.bid, b.ib, depth + 1, int(p->level), seen, out, failed);
        }
    }
}

std::vector<std::string> Ndb::repairs() const {
    std::vector<std::string> out;
    if (header_.checksumFailed)
        out.push_back("the file header's checksum fails; its fields are used as they stand");
    if (header_.cryptUnknown)
        out.push_back("the file header names no known encoding; the store's own node shows it");
    if (trailers_)
        out.push_back("blocks the index misnames were looked for by their own trailers");
    for (const Scan* scanned : {nbtScan_.get(), bbtScan_.get()}) {
        if (!scanned)
            continue;
        const bool nbt = scanned == nbtScan_.get();
        std::string what = std::string("a page of the store's ") + (nbt ? "node" : "block") +
                           " index is damaged; the file was scanned and " +
                           std::to_string(nbt ? scanned->nodes.size() : scanned->blocks.size()) +
                           (nbt ? " nodes" : " blocks") + " found";
        if (scanned->damagedPages)
            what += " (" + std::to_string(scanned->damagedPages) +
                    " damaged index pages used entry by entry)";
        out.push_back(std::move(what));
    }
    return out;
}

void Ndb::forEachNode(const std::function<void(const NodeEntry&)>& visit) const {
    std::set<std::uint64_t> seen;
    walk(header_.nbtBid, header_.nbtIb, 0, visit, -1, seen);
}

void Ndb::walk(std::uint64_t bid, std::uint64_t ib, std::size_t depth,
               const std::function<void(const NodeEntry&)>& visit, int parentLevel,
               std::set<std::uint64_t>& seen) const {
    stillAtWork();
    if (depth >= kMaxDepth)
        fail("a B-tree is deeper than any store has");
    // Each page once: branches that all name the same pages would multiply the walk.
    if (!seen.insert(ib).second)
        fail("a B-tree page is named twice");
    auto p = page(ib, bid, kPtypeNbt);
    // Levels must fall by one on the way down, or a page naming itself would never end.
    if (parentLevel >= 0 && int(p->level) + 1 != parentLevel)
        fail("a B-tree page is damaged (wrong level)");
    const View v(p->bytes);
    const bool ansi = header_.layout == Layout::Ansi;
    for (std::size_t i = 0; i < p->count; ++i) {
        const View e = v.sub(i * p->entrySize, p->entrySize);
        if (p->level == 0) {
            visit(parseNode(*this, e));
        } else {
            const Branch b = branchAt(e, ansi);
            walk(b.bid, b.ib, depth + 1, visit, int(p->level), seen);
        }
    }
}

bool Ndb::readVerified(const BlockEntry& entry, Bytes& raw, std::string& why,
                       bool& indexWrong) const {
    const std::size_t trailer = blockTrailerSize(header_.layout);
    const std::size_t align = blockAlignment(header_.layout);
    const std::size_t total = (std::size_t(entry.cb) + trailer + align - 1) / align * align;
    if (entry.ib > source_->size() || total > source_->size() - entry.ib) {
        why = "a block lies outside the file";
        indexWrong = true;
        return false;
    }
    source_->read(entry.ib, total, raw);
    const View t = View(raw).sub(total - trailer, trailer);
    const bool ansi = header_.layout == Layout::Ansi;
    if (t.u16(0) != entry.cb) {
        why = "a block is damaged (its size does not match the index)";
        indexWrong = true;
        return false;
    }
    const std::uint64_t storedBid = ansi ? t.u32(4) : t.u64(8);
    if ((storedBid & ~std::uint64_t(1)) != (entry.bid & ~std::uint64_t(1))) {
        why = "a block is not the one the index names";
        indexWrong = true;
        return false;
    }
    const std::uint32_t crc = ansi ? t.u32(8) : t.u32(4);
    if (options_.verifyChecksums && crc32(raw.data(), entry.cb) != crc) {
        why = "a block is damaged (checksum mismatch)";
        return false;
    }
    // The trailer is read before the buffer it lies in is cut to the block's data.
    const std::uint16_t inflated = header_.layout == Layout::Unicode4k ? t.u16(18) : 0;
    raw.resize(entry.cb);
    if (inflated != 0 && inflated != entry.cb)
        raw = inflate(View(raw), inflated);
    return true;
}

Bytes Ndb::readBlock(std::uint64_t bid) const {
    const auto entry = block(bid);
    Bytes raw;
    std::string why = "a block the store refers to is missing";
    bool indexWrong = !entry && bbtDamaged_;
    bool found = entry && readVerified(*entry, raw, why, indexWrong);
    // When the index is what is wrong (its entry names other bytes, or a damaged page lost
    // it), the block is looked for by its own trailer.
    if (!found && indexWrong) {
        const auto& candidates = trailerScan();
        const std::uint64_t key = bid & ~std::uint64_t(1);
        auto it = std::lower_bound(candidates.begin(), candidates.end(), key,
                                   [](const BlockEntry& e, std::uint64_t k) { return e.bid < k; });
        for (; !found && it != candidates.end() && it->bid == key; ++it) {
            bool ignored = false;
            std::string ignoredWhy;
            found = readVerified(*it, raw, ignoredWhy, ignored);
        }
    }
    if (!found)
        fail(why);
    const bool internal = (bid & 2) != 0;
    if (!internal) {
        if (header_.crypt == Crypt::Permute)
            permuteDecode(raw.data(), raw.size());
        else if (header_.crypt == Crypt::Cyclic)
            cyclic(raw.data(), raw.size(), std::uint32_t(bid));
    }
    return raw;
}

const std::vector<BlockEntry>& Ndb::trailerScan() const {
    if (trailers_)
        return *trailers_;
    auto out = std::make_unique<std::vector<BlockEntry>>();
    const std::size_t trailer = blockTrailerSize(header_.layout);
    const std::size_t align = blockAlignment(header_.layout);
    const bool ansi = header_.layout == Layout::Ansi;
    const std::size_t chunk = align * 16384;
    const std::size_t maxData = header_.layout == Layout::Unicode4k ? 65536 : 8192;
    Bytes buffer;
    for (std::uint64_t at = 0; at + align <= source_->size(); at += chunk) {
        const std::size_t count =
            std::size_t(std::min<std::uint64_t>(chunk, (source_->size() - at) / align * align));
        stillAtWork();
        source_->read(at, count, buffer);
        const View v(buffer);
        for (std::size_t end = align; end <= count; end += align) {
            const View t = v.sub(end - trailer, trailer);
            const std::size_t cb = t.u16(0);
            const std::size_t total = (cb + trailer + align - 1) / align * align;
            const std::uint64_t bid = ansi ? t.u32(4) : t.u64(8);
            if (cb + trailer > maxData || bid == 0 || total > at + end)
                continue;
            const std::uint64_t ib = at + end - total;
            const std::uint64_t x = ib ^ bid;
            if (t.u16(2) != std::uint16_t(std::uint16_t(x >> 16) ^ std::uint16_t(x)))
                continue;
            out->push_back({bid & ~std::uint64_t(1), ib, std::uint16_t(cb)});
        }
    }
    std::stable_sort(out->begin(), out->end(),
                     [](const BlockEntry& a, const BlockEntry& b) { return a.bid < b.bid; });
    trailers_ = std::move(out);
    return *trailers_;
}

// A value's blocks are the file's own bytes (inflated at most sixteenfold): a tree that names
// one block over and over cannot make it larger than that.
std::uint64_t Ndb::streamLimit() const {
    return std::min<std::uint64_t>(kMaxStream, 16 * source_->size() + (1u << 20));
}

void Ndb::collectLeaves(std::uint64_t bid, std::size_t depth, std::uint64_t& total,
                        std::size_t& leaves, const std::function<void(Bytes&&)>& take) const {
    if (depth > 2)
        fail("a data tree is deeper than a store allows");
    stillAtWork();
    Bytes b = readBlock(bid);
    if ((bid & 2) == 0) {
        total += b.size();
        if (total > streamLimit() || leaves >= kMaxLeaves)
            fail("a value is larger than the store can hold");
        ++leaves;
        take(std::move(b));
        return;
    }
    const View v(b);
    if (v.u8(0) != 0x01)
        fail("a data tree block is damaged (wrong type)");
    const unsigned level = v.u8(1);
    if (level != 1 && level != 2)
        fail("a data tree block is damaged (wrong level)");
    if (level + depth > 2)
        fail("a data tree is deeper than a store allows");
    const std::size_t count = v.u16(2);
    const std::size_t idSize = unicode() ? 8 : 4;
    const View ids = v.sub(8, count * idSize);
    const std::uint64_t before = total;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t child = unicode() ? ids.u64(i * 8) : ids.u32(i * 4);
        if (level == 1 && (child & 2) != 0)
            fail("a data tree block is damaged (a leaf is a tree)");
        if (level == 2 && (child & 2) == 0)
            fail("a data tree block is damaged (a branch is a leaf)");
        collectLeaves(child, depth + 1, total, leaves, take);
    }
    if (total - before != v.u32(4))
        fail("a data tree is damaged (its blocks do not add up to its size)");
}

std::vector<Bytes> Ndb::readLeaves(std::uint64_t bid) const {
    std::vector<Bytes> out;
    if (bid == 0)
        return out;
    std::uint64_t total = 0;
    std::size_t leaves = 0;
    collectLeaves(bid, 0, total, leaves, [&out](Bytes&& leaf) { out.push_back(std::move(leaf)); });
    return out;
}

Bytes Ndb::readStream(std::uint64_t bid) const {
    Bytes out;
    if (bid == 0)
        return out;
    if ((bid & 2) != 0) {
        // The size the tree declares: told before anything is read, and room for it at once
        // when it is one the file can hold (the blocks must add up to it anyway).
        const std::uint64_t declared = View(readBlock(bid)).u32(4);
        if (options_.beforeValue)
            options_.beforeValue(declared);
        if (declared <= streamLimit())
            out.reserve(std::size_t(declared));
    }
    std::uint64_t total = 0;
    std::size_t leaves = 0;
    collectLeaves(bid, 0, total, leaves, [&out](Bytes&& leaf) {
        if (out.empty() && out.capacity() < leaf.size())
            out = std::move(leaf); // a value of one block
        else
            out.insert(out.end(), leaf.begin(), leaf.end());
    });
    return out;
}

void Ndb::collectSubnodes(std::uint64_t bid, std::size_t depth, SubnodeMap& out) const {
    if (depth > 2)
        fail("a sub-node tree is deeper than a store allows");
    const Bytes b = readBlock(bid);
    const View v(b);
    if (v.u8(0) != 0x02)
        fail("a sub-node block is damaged (wrong type)");
    const unsigned level = v.u8(1);
    const std::size_t count = v.u16(2);
    const bool uni = unicode();
    const std::size_t start = uni ? 8 : 4;
    if (level == 0) {
        const std::size_t size = uni ? 24 : 12;
        const View entries = v.sub(start, count * size);
        for (std::size_t i = 0; i < count; ++i) {
            const View e = entries.sub(i * size, size);
            NodeEntry n = uni ? NodeEntry{std::uint32_t(e.u64(0)), e.u64(8), e.u64(16), 0}
                              : NodeEntry{e.u32(0), e.u32(4), e.u32(8), 0};
            out[n.nid] = n;
        }
    } else if (level == 1) {
        const std::size_t size = uni ? 16 : 8;
        const View entries = v.sub(start, count * size);
        for (std::size_t i = 0; i < count; ++i) {
            const View e = entries.sub(i * size, size);
            collectSubnodes(uni ? e.u64(8) : e.u32(4), depth + 1, out);
        }
    } else {
        fail("a sub-node block is damaged (wrong level)");
    }
}

SubnodeMap Ndb::readSubnodes(std::uint64_t bid) const {
    SubnodeMap out;
    if (bid != 0)
        collectSubnodes(bid, 0, out);
    return out;
}

} // namespace talvenor::pst
