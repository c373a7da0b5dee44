// The offline store's 64-bit layout with 4 KiB pages, built byte by byte: its header, B-tree
// pages with two-byte entry counts, blocks with the longer trailer, and blocks compressed with
// zlib that inflate to the size their trailer states.
#include <crypt.h>
#include <ndb.h>

#include <zlib.h>

#include <gtest/gtest.h>

#include <cstring>

using namespace talvenor::pst;

namespace {

void put16(Bytes& b, std::size_t at, std::uint16_t v) {
    b.at(at) = std::uint8_t(v);
    b.at(at + 1) = std::uint8_t(v >> 8);
}
void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    put16(b, at, std::uint16_t(v));
    put16(b, at + 2, std::uint16_t(v >> 16));
}
void put64(Bytes& b, std::size_t at, std::uint64_t v) {
    put32(b, at, std::uint32_t(v));
    put32(b, at + 4, std::uint32_t(v >> 32));
}

constexpr std::size_t kNbt = 0x1000, kBbt = 0x2000, kPlain = 0x3000, kPacked = 0x3200;
constexpr std::uint64_t kPlainBid = 0x8, kPackedBid = 0xC;

void page(Bytes& f, std::size_t at, std::uint8_t ptype, std::uint64_t bid, std::uint8_t cbEnt,
          std::uint16_t count) {
    put16(f, at + 4056, count);
    put16(f, at + 4058, std::uint16_t(4056 / cbEnt));
    f[at + 4060] = cbEnt;
    f[at + 4061] = 0; // a leaf
    f[at + 4072] = ptype;
    f[at + 4073] = ptype;
    put32(f, at + 4076, crc32(f.data() + at, 4072));
    put64(f, at + 4080, bid);
}

// Writes a block's stored bytes and its 24-byte trailer; returns the stored size.
std::uint16_t block(Bytes& f, std::size_t at, std::uint64_t bid, const Bytes& stored,
                    std::uint16_t inflated) {
    std::memcpy(f.data() + at, stored.data(), stored.size());
    const std::size_t total = (stored.size() + 24 + 511) / 512 * 512;
    const std::size_t t = at + total - 24;
    put16(f, t, std::uint16_t(stored.size()));
    put32(f, t + 4, crc32(stored.data(), stored.size()));
    put64(f, t + 8, bid);
    put16(f, t + 18, inflated);
    return std::uint16_t(stored.size());
}

Bytes pattern(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = std::uint8_t("offline store "[i % 14]);
    return b;
}

struct Ost {
    Bytes file;
    Bytes plain = pattern(100);
    Bytes packedPlain = pattern(3000);
};

Ost buildOst() {
    Ost o;
    Bytes& f = o.file;
    f.assign(0x8000, 0);
    std::memcpy(f.data(), "!BDN", 4);
    f[8] = 'S';
    f[9] = 'O';
    put16(f, 10, 0x24);
    put64(f, 216, 0x100); // node B-tree root
    put64(f, 224, kNbt);
    put64(f, 232, 0x104); // block B-tree root
    put64(f, 240, kBbt);
    f[513] = 0; // no encoding
    put32(f, 4, crc32(f.data() + 8, 471));
    put32(f, 524, crc32(f.data() + 8, 516));

    put64(f, kNbt, 0x21);
    put64(f, kNbt + 8, kPlainBid);
    page(f, kNbt, 0x81, 0x100, 32, 1);

    uLongf packedSize = compressBound(uLong(o.packedPlain.size()));
    Bytes packed(packedSize);
    compress(packed.data(), &packedSize, o.packedPlain.data(), uLong(o.packedPlain.size()));
    packed.resize(packedSize);
    const std::uint16_t cb1 = block(f, kPlain, kPlainBid, o.plain, std::uint16_t(o.plain.size()));
    const std::uint16_t cb2 =
        block(f, kPacked, kPackedBid, packed, std::uint16_t(o.packedPlain.size()));
    const std::size_t e1 = kBbt, e2 = kBbt + 24;
    put64(f, e1, kPlainBid);
    put64(f, e1 + 8, kPlain);
    put16(f, e1 + 16, cb1);
    put64(f, e2, kPackedBid);
    put64(f, e2 + 8, kPacked);
    put16(f, e2 + 16, cb2);
    page(f, kBbt, 0x80, 0x104, 24, 2);
    return o;
}

TEST(OfflineLayout, HeaderPagesAndBlocksRead) {
    Ost o = buildOst();
    const Ndb ndb(std::make_shared<MemorySource>(o.file));
    EXPECT_EQ(ndb.header().layout, Layout::Unicode4k);
    EXPECT_TRUE(ndb.header().offline);
    const auto n = ndb.node(0x21);
    ASSERT_TRUE(n);
    EXPECT_EQ(n->bidData, kPlainBid);
    EXPECT_FALSE(ndb.node(0x22));
    EXPECT_EQ(ndb.readBlock(kPlainBid), o.plain);
}

TEST(OfflineLayout, CompressedBlocksInflate) {
    Ost o = buildOst();
    const Ndb ndb(std::make_shared<MemorySource>(o.file));
    EXPECT_EQ(ndb.readBlock(kPackedBid), o.packedPlain);
}

TEST(OfflineLayout, ADamagedCompressedBlockIsAnError) {
    Ost o = buildOst();
    // Damage inside the deflate stream, with the checksum mended so that inflating meets it.
    o.file[kPacked + 20] ^= 0x55;
    const std::size_t t = kPacked + 512 - 24;
    const std::uint16_t cb = std::uint16_t(o.file[t] | (o.file[t + 1] << 8));
    put32(o.file, t + 4, crc32(o.file.data() + kPacked, cb));
    const Ndb ndb(std::make_shared<MemorySource>(o.file));
    EXPECT_THROW(ndb.readBlock(kPackedBid), Error);
}

} // namespace
