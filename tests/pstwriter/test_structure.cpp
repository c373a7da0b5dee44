// Checks the node-database structures of written files byte by byte, the way MS-PST defines
// them, beyond what the readers tolerate: header CRCs, B-tree page types, levels, back-pointers,
// signatures and CRCs, block trailers, and allocation maps that mark exactly what is in use.
#include "description.h"
#include "ndb.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <set>

using namespace talvenor;
using namespace talvenor::pstwriter;

namespace {

std::uint64_t le(const QByteArray& f, std::uint64_t at, int n) {
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = (v << 8) | std::uint8_t(f[qsizetype(at) + i]);
    return v;
}

std::uint32_t crc(const QByteArray& f, std::uint64_t at, std::size_t n) {
    return pstCrc(reinterpret_cast<const std::uint8_t*>(f.constData() + at), n);
}

std::uint16_t sig(std::uint64_t ib, std::uint64_t bid) {
    const std::uint64_t x = ib ^ bid;
    return std::uint16_t(std::uint16_t(x >> 16) ^ std::uint16_t(x));
}

struct Checker {
    QByteArray f;
    bool uni = true;
    std::set<std::pair<std::uint64_t, std::uint64_t>> used; // [start, end)
    std::size_t blocks = 0;
    std::size_t nodes = 0;
    int nbtLevels = 0;

    int bid() const { return uni ? 8 : 4; }

    void page(std::uint64_t ib, std::uint8_t ptype, std::uint64_t expectBid) {
        ASSERT_EQ(ib % 512, 0u);
        const std::uint64_t t = ib + (uni ? 496 : 500);
        EXPECT_EQ(std::uint8_t(f[qsizetype(t)]), ptype) << "page at " << ib;
        EXPECT_EQ(std::uint8_t(f[qsizetype(t + 1)]), ptype) << "page at " << ib;
        const std::uint64_t pageBid = uni ? le(f, t + 8, 8) : le(f, t + 4, 4);
        const std::uint32_t pageCrc = std::uint32_t(uni ? le(f, t + 4, 4) : le(f, t + 8, 4));
        EXPECT_EQ(pageBid, expectBid) << "back-pointer of page at " << ib;
        EXPECT_EQ(pageCrc, crc(f, ib, uni ? 496 : 500)) << "CRC of page at " << ib;
        EXPECT_EQ(le(f, t + 2, 2), sig(ib, pageBid)) << "signature of page at " << ib;
        used.insert({ib, ib + 512});
    }

    void tree(std::uint64_t bidRef, std::uint64_t ib, std::uint8_t ptype, int expectLevel,
              std::uint64_t minKey) {
        page(ib, ptype, bidRef);
        const std::uint64_t meta = ib + (uni ? 488 : 496);
        const int count = std::uint8_t(f[qsizetype(meta)]);
        const int cbEnt = std::uint8_t(f[qsizetype(meta + 2)]);
        const int level = std::uint8_t(f[qsizetype(meta + 3)]);
        if (expectLevel >= 0) {
            EXPECT_EQ(level, expectLevel) << "level of page at " << ib;
        }
        if (ptype == 0x81)
            nbtLevels = std::max(nbtLevels, level + 1);
        std::uint64_t last = 0;
        for (int i = 0; i < count; ++i) {
            const std::uint64_t e = ib + std::uint64_t(i) * cbEnt;
            const std::uint64_t key = le(f, e, bid());
            EXPECT_GE(key, minKey);
            if (i > 0) {
                EXPECT_GT(key, last) << "keys out of order in page at " << ib;
            }
            last = key;
            if (level > 0) {
                tree(le(f, e + bid(), bid()), le(f, e + 2 * bid(), bid()), ptype, level - 1, key);
            } else if (ptype == 0x80) {
                block(key, le(f, e + bid(), bid()), std::uint16_t(le(f, e + 2 * bid(), 2)));
            } else {
                ++nodes;
            }
        }
    }

    void block(std::uint64_t id, std::uint64_t ib, std::uint16_t cb) {
        const std::size_t trailer = uni ? 16 : 12;
        const std::uint64_t total = (cb + trailer + 63) / 64 * 64;
        const std::uint64_t t = ib + total - trailer;
        EXPECT_EQ(ib % 64, 0u);
        EXPECT_EQ(le(f, t, 2), cb) << "block " << id;
        EXPECT_EQ(le(f, t + 2, 2), sig(ib, id)) << "block " << id;
        const std::uint64_t blockBid = uni ? le(f, t + 8, 8) : le(f, t + 4, 4);
        const std::uint32_t blockCrc = std::uint32_t(uni ? le(f, t + 4, 4) : le(f, t + 8, 4));
        EXPECT_EQ(blockBid, id);
        EXPECT_EQ(blockCrc, crc(f, ib, cb)) << "CRC of block " << id;
        used.insert({ib, ib + total});
        ++blocks;
    }

    void run(const std::string& path) {
        QFile file(QString::fromStdString(path));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        f = file.readAll();
        ASSERT_EQ(f.left(4), QByteArray("!BDN"));
        uni = le(f, 10, 2) >= 23;
        EXPECT_EQ(le(f, 4, 4), crc(f, 8, 471)) << "partial header CRC";
        if (uni) {
            EXPECT_EQ(le(f, 524, 4), crc(f, 8, 516)) << "full header CRC";
        }
        const std::uint64_t eof = uni ? le(f, 184, 8) : le(f, 168, 4);
        const std::uint64_t lastAMap = uni ? le(f, 192, 8) : le(f, 172, 4);
        const std::uint64_t amapFree = uni ? le(f, 200, 8) : le(f, 176, 4);
        EXPECT_EQ(eof, std::uint64_t(f.size()));
        const std::uint64_t nbt = uni ? 216 : 184;
        const std::uint64_t bbt = uni ? 232 : 192;
        tree(le(f, nbt, bid()), le(f, nbt + bid(), bid()), 0x81, -1, 0);
        tree(le(f, bbt, bid()), le(f, bbt + bid(), bid()), 0x80, -1, 0);
        if (uni)
            page(0x4200, 0x86, le(f, 0x4200 + 504, 8));

        // Allocation maps: exactly the pages and blocks found above, plus the maps themselves.
        const std::uint64_t span = 496 * 8 * 64;
        std::uint64_t free = 0;
        std::uint64_t index = 0;
        for (std::uint64_t a = 0x4400; a < eof; a += span, ++index) {
            const std::uint64_t t = a + (uni ? 496 : 500);
            EXPECT_EQ(std::uint8_t(f[qsizetype(t)]), 0x84) << "AMap at " << a;
            EXPECT_EQ(le(f, uni ? t + 4 : t + 8, 4), crc(f, a, uni ? 496 : 500)) << "AMap CRC";
            used.insert({a, a + 512});
            if (index % 8 == 0)
                used.insert({a + 512, a + 1024});
            std::vector<bool> expect(496 * 8, false);
            for (const auto& [s, e] : used)
                for (std::uint64_t x = std::max(s, a); x < std::min(e, a + span); x += 64)
                    expect[(x - a) / 64] = true;
            const std::uint64_t bits = a + (uni ? 0 : 4);
            for (std::size_t slot = 0; slot < expect.size(); ++slot) {
                const bool set =
                    (std::uint8_t(f[qsizetype(bits + slot / 8)]) >> (7 - slot % 8)) & 1;
                if (set != expect[slot]) {
                    ADD_FAILURE() << "AMap at " << a << " slot " << slot << " is "
                                  << (set ? "set" : "clear");
                    return;
                }
                free += set ? 0 : 64;
            }
            if (a + span >= eof) {
                EXPECT_EQ(a, lastAMap);
            }
        }
        EXPECT_EQ(free, amapFree);
    }
};

class Structure : public ::testing::TestWithParam<Format> {};

TEST_P(Structure, TreesBlocksAndAllocationMapsFollowTheFormat) {
    QTemporaryDir dir;
    const std::string path = dir.filePath("s.pst").toStdString();
    {
        Options o;
        o.format = GetParam();
        Writer w(path, o);
        const FolderId f = w.addFolder(w.topFolder(), u"Inbox");
        for (int i = 0; i < 1200; ++i) {
            mapi::Message m;
            build::setSubject(m, u"Message " + mapi::fromUtf8(std::to_string(i)));
            m.setUnicode(mapi::tags::Body, std::u16string(std::size_t(50 + i * 7 % 9000), u'b'));
            if (i % 200 == 0)
                build::addAttachment(m, u"a.bin", "", mapi::Bytes(300000, std::uint8_t(i)));
            w.addMessage(f, m);
        }
        w.finish();
    }
    Checker c;
    c.run(path);
    EXPECT_GT(c.nodes, 1200u);
    EXPECT_GE(c.nbtLevels, 2);
    EXPECT_GT(c.blocks, 2400u);
}

INSTANTIATE_TEST_SUITE_P(Formats, Structure, ::testing::Values(Format::Unicode, Format::Ansi),
                         [](const auto& info) {
                             return info.param == Format::Unicode ? "Unicode" : "Ansi";
                         });

} // namespace
