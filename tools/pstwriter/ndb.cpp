#include "ndb.h"

#include "crypt.h"
#include "mapi/mapi.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <unistd.h>

namespace talvenor::pstwriter {

namespace {

using mapi::putLe16;
using mapi::putLe32;
using mapi::putLe64;

} // namespace

// The reader's checksum and tables serve the writer too, so that the two cannot disagree.
std::uint32_t pstCrc(const std::uint8_t* data, std::size_t size, std::uint32_t crc) {
    return pst::crc32(data, size, crc);
}

std::uint8_t decodeCompressible(std::uint8_t stored) {
    pst::permuteDecode(&stored, 1);
    return stored;
}

FileHandle& FileHandle::operator=(FileHandle&& o) noexcept {
    if (this != &o) {
        close();
        fd_ = o.fd_;
        o.fd_ = -1;
    }
    return *this;
}

FileHandle::~FileHandle() {
    close();
}

void FileHandle::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

NdbWriter::NdbWriter(Format format, Encoding encoding, FileHandle file)
    : format_(format), encoding_(encoding), file_(std::move(file)), amap_(amapBytes(), 0) {
    enterInterval(0);
}

void NdbWriter::pwriteAll(const void* data, std::size_t size, std::uint64_t offset) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::pwrite(file_.get(), p, size, off_t(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw std::system_error(errno, std::generic_category(), "cannot write the PST file");
        }
        p += n;
        size -= std::size_t(n);
        offset += std::uint64_t(n);
    }
}

std::uint64_t NdbWriter::intervalStart(std::uint64_t index) const {
    return firstAMap() + index * amapCoverage();
}

// The map pages that sit at the start of an interval: the AMap itself, a PMap every eighth
// interval, an FMap every 496 intervals after the first 128 (whose free space the header
// tracks) and an FPMap every 496 * 8 intervals after the first 1024.
std::uint64_t NdbWriter::reservedBytes(std::uint64_t index) const {
    // The 4 KiB layout keeps only the AMaps.
    if (fourK())
        return pageSize();
    std::uint64_t pages = 1;
    if (index % 8 == 0)
        ++pages;
    if (index >= 128 && (index - 128) % 496 == 0)
        ++pages;
    if (index >= 1024 && (index - 1024) % (496 * 8) == 0)
        ++pages;
    return pages * pageSize();
}

void NdbWriter::enterInterval(std::uint64_t index) {
    interval_ = index;
    std::fill(amap_.begin(), amap_.end(), 0);
    const std::uint64_t start = intervalStart(index);
    const std::uint64_t reserved = reservedBytes(index);
    markAllocated(start, reserved);
    cursor_ = start + reserved;
    if (spreadPages_)
        for (int k = 0; k < 2; ++k) {
            pageSlots_.push_back(cursor_);
            markAllocated(cursor_, pageSize());
            cursor_ += pageSize();
        }
    // The deprecated maps that follow the AMap are written once, filled as their readers expect.
    if (fourK())
        return;
    std::uint64_t at = start + pageSize();
    std::array<std::uint8_t, 512> page{};
    auto writeMap = [&](std::uint8_t ptype, std::uint8_t fill) {
        page.fill(0);
        std::memset(page.data() + (unicode() ? 0 : 4), fill, 496);
        writePage(page.data(), ptype, at, at, false);
        at += pageSize();
    };
    if (index % 8 == 0)
        writeMap(0x83, 0xFF);
    if (index >= 128 && (index - 128) % 496 == 0)
        writeMap(0x82, 0x00);
    if (index >= 1024 && (index - 1024) % (496 * 8) == 0)
        writeMap(0x85, 0xFF);
}

void NdbWriter::markAllocated(std::uint64_t ib, std::uint64_t size) {
    const std::uint64_t start = intervalStart(interval_);
    const std::uint64_t unit = amapSlot();
    for (std::uint64_t slot = (ib - start) / unit, end = (ib - start + size + unit - 1) / unit;
         slot < end; ++slot)
        amap_[slot / 8] |= std::uint8_t(0x80 >> (slot % 8));
}

void NdbWriter::flushAMap() {
    std::vector<std::uint8_t> page(pageSize(), 0);
    std::memcpy(page.data() + (unicode() ? 0 : 4), amap_.data(), amap_.size());
    std::uint64_t used = 0;
    for (auto b : amap_)
        used += std::uint64_t(__builtin_popcount(b));
    amapFree_ += (amap_.size() * 8 - used) * amapSlot();
    const std::uint64_t at = intervalStart(interval_);
    writePage(page.data(), 0x84, at, at, false);
}

void NdbWriter::leaveHoleBefore(std::uint64_t offset) {
    // An 8-bit store addresses its bytes with 32 bits, and its header says so in fewer.
    if (!unicode() && offset >= (std::uint64_t(1) << 31))
        throw std::invalid_argument("an 8-bit (ANSI) store cannot reach beyond 2 GB");
    if (interval_ != 0 || !blocks_.empty() || nextPageSlot_ != 0)
        throw std::invalid_argument("a hole can only start the file");
    while (intervalStart(interval_ + 1) <= offset) {
        markAllocated(intervalStart(interval_), amapCoverage());
        flushAMap();
        enterInterval(interval_ + 1);
    }
    if (offset > cursor_) {
        markAllocated(cursor_, offset - cursor_);
        cursor_ = offset;
    }
}

std::uint64_t NdbWriter::alloc(std::uint64_t size, std::uint64_t align) {
    std::uint64_t at = (cursor_ + align - 1) / align * align;
    if (at + size > intervalStart(interval_ + 1)) {
        flushAMap();
        enterInterval(interval_ + 1);
        at = (cursor_ + align - 1) / align * align;
    }
    markAllocated(at, size);
    cursor_ = at + size;
    return at;
}

std::uint16_t NdbWriter::signature(std::uint64_t ib, std::uint64_t bid) const {
    const std::uint64_t x = ib ^ bid;
    return std::uint16_t(std::uint16_t(x >> 16) ^ std::uint16_t(x));
}

void NdbWriter::writePage(std::uint8_t* page, std::uint8_t ptype, std::uint64_t bid,
                          std::uint64_t ib, bool signed_) {
    const std::size_t data = pageData();
    std::uint8_t* t = page + data;
    t[0] = ptype;
    t[1] = ptype;
    putLe16(t + 2, signed_ ? signature(ib, bid) : 0);
    const std::uint32_t crc = pstCrc(page, data);
    if (unicode()) {
        putLe32(t + 4, crc);
        putLe64(t + 8, bid);
    } else {
        putLe32(t + 4, std::uint32_t(bid));
        putLe32(t + 8, crc);
    }
    pwriteAll(page, pageSize(), ib);
}

std::uint64_t NdbWriter::writeBlock(const std::uint8_t* data, std::size_t size, bool internal) {
    if (size > maxBlockData())
        throw std::logic_error("block larger than a PST block can hold");
    const std::uint64_t bid = nextBid_ | (internal ? 2 : 0);
    nextBid_ += 4;
    const std::size_t trailer = blockTrailer();
    const std::size_t align = blockAlign();
    const std::size_t total = (size + trailer + align - 1) / align * align;
    const std::uint64_t ib = alloc(total, align);
    Bytes buf(total, 0);
    if (size > 0) {
        std::memcpy(buf.data(), data, size);
        if (!internal && encoding_ == Encoding::Compressible)
            pst::permuteEncode(buf.data(), size);
        else if (!internal && encoding_ == Encoding::Cyclic)
            pst::cyclic(buf.data(), size, std::uint32_t(bid));
    }
    std::uint8_t* t = buf.data() + total - trailer;
    putLe16(t, std::uint16_t(size));
    putLe16(t + 2, signature(ib, bid));
    const std::uint32_t crc = pstCrc(buf.data(), size);
    if (unicode()) {
        putLe32(t + 4, crc);
        putLe64(t + 8, bid);
        if (fourK())
            putLe16(t + 18, std::uint16_t(size)); // stored as it is: nothing to inflate
    } else {
        putLe32(t + 4, std::uint32_t(bid));
        putLe32(t + 8, crc);
    }
    pwriteAll(buf.data(), buf.size(), ib);
    blocks_.push_back({bid, ib, std::uint16_t(size)});
    blockBytes_ += size;
    return bid;
}

std::uint64_t NdbWriter::dataTreeOverhead(std::size_t leafBlocks) const {
    if (leafBlocks <= 1)
        return 0;
    const std::size_t per = maxTreeEntries();
    const std::size_t xblocks = (leafBlocks + per - 1) / per;
    std::uint64_t bytes = 8 * xblocks + bidSize() * leafBlocks;
    if (xblocks > 1)
        bytes += 8 + bidSize() * xblocks;
    return bytes;
}

std::uint64_t NdbWriter::writeDataTree(const std::vector<std::uint64_t>& bids,
                                       const std::vector<std::uint32_t>& sizes) {
    if (bids.empty())
        return 0;
    if (bids.size() == 1)
        return bids.front();
    const std::size_t per = maxTreeEntries();
    const std::size_t bs = bidSize();
    auto sum = [&](std::size_t from, std::size_t n) {
        std::uint64_t s = 0;
        for (std::size_t i = from; i < from + n; ++i)
            s += sizes[i];
        return s;
    };
    auto writeX = [&](std::uint8_t level, const std::uint64_t* ids, std::size_t n,
                      std::uint64_t bytes) {
        Bytes x(8 + bs * n, 0);
        x[0] = 0x01;
        x[1] = level;
        putLe16(x.data() + 2, std::uint16_t(n));
        putLe32(x.data() + 4, std::uint32_t(bytes));
        for (std::size_t i = 0; i < n; ++i) {
            if (bs == 8)
                putLe64(x.data() + 8 + 8 * i, ids[i]);
            else
                putLe32(x.data() + 8 + 4 * i, std::uint32_t(ids[i]));
        }
        return writeBlock(x, true);
    };
    if (bids.size() <= per)
        return writeX(1, bids.data(), bids.size(), sum(0, bids.size()));
    std::vector<std::uint64_t> xbids;
    for (std::size_t i = 0; i < bids.size(); i += per) {
        const std::size_t n = std::min(per, bids.size() - i);
        xbids.push_back(writeX(1, bids.data() + i, n, sum(i, n)));
    }
    if (xbids.size() > per)
        throw std::length_error("value too large for a PST data tree");
    return writeX(2, xbids.data(), xbids.size(), sum(0, bids.size()));
}

void NdbWriter::addNode(std::uint32_t nid, std::uint64_t bidData, std::uint64_t bidSub,
                        std::uint32_t parent) {
    nodes_.push_back({nid, parent, bidData, bidSub});
}

template <typename Leaf, typename KeyOf, typename Fill>
NdbWriter::BranchEntry NdbWriter::buildTree(const std::vector<Leaf>& leaves, std::uint8_t ptype,
                                            std::size_t leafSize, KeyOf keyOf, Fill fill) {
    const bool uni = unicode();
    const std::size_t area = entryArea();
    const std::size_t branchSize = uni ? 24 : 12;
    std::vector<std::uint8_t> page(pageSize(), 0);
    auto clear = [&] { std::fill(page.begin(), page.end(), 0); };
    auto finishPage = [&](std::size_t count, std::size_t cbEnt, std::uint8_t level) {
        std::uint8_t* meta = page.data() + area;
        if (fourK()) {
            putLe16(meta, std::uint16_t(count));
            putLe16(meta + 2, std::uint16_t(area / cbEnt));
            meta[4] = std::uint8_t(cbEnt);
            meta[5] = level;
        } else {
            meta[0] = std::uint8_t(count);
            meta[1] = std::uint8_t(area / cbEnt);
            meta[2] = std::uint8_t(cbEnt);
            meta[3] = level;
        }
        const std::uint64_t ib = nextPageSlot_ < pageSlots_.size() ? pageSlots_[nextPageSlot_++]
                                                                   : alloc(pageSize(), pageSize());
        const std::uint64_t bid = nextBid_;
        nextBid_ += 4;
        writePage(page.data(), ptype, bid, ib, true);
        return std::pair{bid, ib};
    };
    std::vector<BranchEntry> level;
    const std::size_t perLeaf = area / leafSize;
    if (leaves.empty()) {
        clear();
        auto [bid, ib] = finishPage(0, leafSize, 0);
        return {0, bid, ib};
    }
    for (std::size_t i = 0; i < leaves.size(); i += perLeaf) {
        clear();
        const std::size_t n = std::min(perLeaf, leaves.size() - i);
        for (std::size_t k = 0; k < n; ++k)
            fill(page.data() + k * leafSize, leaves[i + k]);
        auto [bid, ib] = finishPage(n, leafSize, 0);
        level.push_back({keyOf(leaves[i]), bid, ib});
    }
    const std::size_t perBranch = area / branchSize;
    std::uint8_t depth = 0;
    while (level.size() > 1) {
        ++depth;
        std::vector<BranchEntry> up;
        for (std::size_t i = 0; i < level.size(); i += perBranch) {
            clear();
            const std::size_t n = std::min(perBranch, level.size() - i);
            for (std::size_t k = 0; k < n; ++k) {
                std::uint8_t* e = page.data() + k * branchSize;
                const BranchEntry& b = level[i + k];
                if (uni) {
                    putLe64(e, b.key);
                    putLe64(e + 8, b.bid);
                    putLe64(e + 16, b.ib);
                } else {
                    putLe32(e, std::uint32_t(b.key));
                    putLe32(e + 4, std::uint32_t(b.bid));
                    putLe32(e + 8, std::uint32_t(b.ib));
                }
            }
            auto [bid, ib] = finishPage(n, branchSize, depth);
            up.push_back({level[i].key, bid, ib});
        }
        level = std::move(up);
    }
    return level.front();
}

void NdbWriter::finish(const HeaderInfo& info) {
    const bool uni = unicode();
    std::sort(nodes_.begin(), nodes_.end(),
              [](const NodeEntry& a, const NodeEntry& b) { return a.nid < b.nid; });
    for (std::size_t i = 1; i < nodes_.size(); ++i)
        if (nodes_[i].nid == nodes_[i - 1].nid)
            throw std::logic_error("duplicate node id in the node tree");
    std::sort(blocks_.begin(), blocks_.end(),
              [](const BlockEntry& a, const BlockEntry& b) { return a.bid < b.bid; });

    const BranchEntry nbt = buildTree(
        nodes_, 0x81, uni ? 32 : 16, [](const NodeEntry& n) { return std::uint64_t(n.nid); },
        [uni](std::uint8_t* e, const NodeEntry& n) {
            if (uni) {
                putLe64(e, n.nid);
                putLe64(e + 8, n.bidData);
                putLe64(e + 16, n.bidSub);
                putLe32(e + 24, n.parent);
            } else {
                putLe32(e, n.nid);
                putLe32(e + 4, std::uint32_t(n.bidData));
                putLe32(e + 8, std::uint32_t(n.bidSub));
                putLe32(e + 12, n.parent);
            }
        });
    const BranchEntry bbt = buildTree(
        blocks_, 0x80, uni ? 24 : 12, [](const BlockEntry& b) { return b.bid; },
        [uni, fourK = fourK()](std::uint8_t* e, const BlockEntry& b) {
            if (fourK) {
                // Offline stores also give the inflated size; nothing here is deflated.
                putLe64(e, b.bid);
                putLe64(e + 8, b.ib);
                putLe16(e + 16, b.cb);
                putLe16(e + 18, b.cb);
                putLe16(e + 20, 2);
            } else if (uni) {
                putLe64(e, b.bid);
                putLe64(e + 8, b.ib);
                putLe16(e + 16, b.cb);
                putLe16(e + 18, 2);
            } else {
                putLe32(e, std::uint32_t(b.bid));
                putLe32(e + 4, std::uint32_t(b.ib));
                putLe16(e + 8, b.cb);
                putLe16(e + 10, 2);
            }
        });
    // Grow the file to the end of its last AMap interval, as Outlook does.
    flushAMap();
    const std::uint64_t lastAMap = intervalStart(interval_);
    const std::uint64_t eof = intervalStart(interval_ + 1);
    if (uni && eof > 0xFFFFFFFFull * 1024)
        throw std::length_error("PST file too large");
    if (!uni && eof > 0x7FFFFFFFull)
        throw std::length_error("an ANSI PST file cannot exceed 2 GB");
    if (::ftruncate(file_.get(), off_t(eof)) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot size the PST file");

    // Density list: empty, which tells a reader to rebuild it from the AMaps.
    if (uni) {
        std::vector<std::uint8_t> page(pageSize(), 0);
        const std::uint64_t bid = nextBid_;
        nextBid_ += 4;
        writePage(page.data(), 0x86, bid, densityList(), true);
    }

    std::array<std::uint8_t, 564> h{};
    h[0] = '!';
    h[1] = 'B';
    h[2] = 'D';
    h[3] = 'N';
    h[8] = 'S';
    h[9] = fourK() ? 'O' : 'M';
    putLe16(&h[10], fourK() ? 0x24 : uni ? 23 : 14);
    putLe16(&h[12], 19);
    h[14] = 1;
    h[15] = 1;
    if (uni) {
        putLe64(&h[32], nextBid_);
        putLe32(&h[40], info.unique);
        for (int i = 0; i < 32; ++i)
            putLe32(&h[44 + 4 * i], info.rgnid[i]);
        putLe64(&h[184], eof);
        putLe64(&h[192], lastAMap);
        putLe64(&h[200], amapFree_);
        putLe64(&h[208], 0);
        putLe64(&h[216], nbt.bid);
        putLe64(&h[224], nbt.ib);
        putLe64(&h[232], bbt.bid);
        putLe64(&h[240], bbt.ib);
        h[248] = 0x02;
        std::memset(&h[256], 0xFF, 128);
        std::memset(&h[384], 0xFF, 128);
        h[512] = 0x80;
        h[513] = std::uint8_t(encoding_);
        putLe64(&h[516], nextBid_);
        putLe32(&h[4], pstCrc(&h[8], 471));
        putLe32(&h[524], pstCrc(&h[8], 516));
    } else {
        putLe32(&h[24], std::uint32_t(nextBid_));
        putLe32(&h[28], std::uint32_t(nextBid_));
        putLe32(&h[32], info.unique);
        for (int i = 0; i < 32; ++i)
            putLe32(&h[36 + 4 * i], info.rgnid[i]);
        putLe32(&h[168], std::uint32_t(eof));
        putLe32(&h[172], std::uint32_t(lastAMap));
        putLe32(&h[176], std::uint32_t(amapFree_));
        putLe32(&h[180], 0);
        putLe32(&h[184], std::uint32_t(nbt.bid));
        putLe32(&h[188], std::uint32_t(nbt.ib));
        putLe32(&h[192], std::uint32_t(bbt.bid));
        putLe32(&h[196], std::uint32_t(bbt.ib));
        h[200] = 0x02;
        std::memset(&h[204], 0xFF, 128);
        std::memset(&h[332], 0xFF, 128);
        h[460] = 0x80;
        h[461] = std::uint8_t(encoding_);
        putLe32(&h[4], pstCrc(&h[8], 471));
    }
    pwriteAll(h.data(), uni ? 564 : 512, 0);
    if (::fsync(file_.get()) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot flush the PST file");
}

} // namespace talvenor::pstwriter
