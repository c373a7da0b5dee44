// Checks the node-database structures of written files byte by byte, the way MS-PST defines
// them, beyond what the readers tolerate: header CRCs, B-tree page types, levels, back-pointers,
// signatures and CRCs, block trailers, ids that name one page or block each, heaps, and
// allocation maps that mark exactly what is in use. Every store the project generates passes.
#include "description.h"
#include "generate.h"
#include "ndb.h"
#include "realworld.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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
    bool fourK = false;
    std::set<std::pair<std::uint64_t, std::uint64_t>> used; // [start, end)
    std::size_t blocks = 0;
    std::size_t nodes = 0;
    int nbtLevels = 0;
    // Every id a page or a block carries, with what carries it: one id names one thing.
    std::map<std::uint64_t, std::string> ids;
    std::map<std::uint64_t, std::pair<std::uint64_t, std::uint16_t>> blockAt; // bid -> ib, cb
    std::vector<std::pair<std::uint64_t, std::uint64_t>> nodeData;            // nid, bidData
    std::vector<std::uint64_t> nodeSubs;                                      // bidSub, alike
    bool compressible = false;
    std::size_t heaps = 0;
    // Stores nobody here wrote are held only to what readers assume of every store: their
    // pages, blocks and heaps, not the exact allocation maps and ids our writer keeps.
    bool ours = true;

    int bid() const { return uni ? 8 : 4; }
    std::uint64_t pageSize() const { return fourK ? 4096 : 512; }
    std::uint64_t pageData() const { return fourK ? 4072 : uni ? 496 : 500; }

    void claim(std::uint64_t id, const std::string& what) {
        if (!ours)
            return;
        const auto [it, fresh] = ids.emplace(id & ~std::uint64_t(1), what);
        EXPECT_TRUE(fresh) << "id " << id << " names both " << it->second << " and " << what;
    }

    void page(std::uint64_t ib, std::uint8_t ptype, std::uint64_t expectBid) {
        ASSERT_EQ(ib % pageSize(), 0u);
        const std::uint64_t t = ib + pageData();
        EXPECT_EQ(std::uint8_t(f[qsizetype(t)]), ptype) << "page at " << ib;
        EXPECT_EQ(std::uint8_t(f[qsizetype(t + 1)]), ptype) << "page at " << ib;
        const std::uint64_t pageBid = uni ? le(f, t + 8, 8) : le(f, t + 4, 4);
        const std::uint32_t pageCrc = std::uint32_t(uni ? le(f, t + 4, 4) : le(f, t + 8, 4));
        EXPECT_EQ(pageBid, expectBid) << "back-pointer of page at " << ib;
        EXPECT_EQ(pageCrc, crc(f, ib, pageData())) << "CRC of page at " << ib;
        EXPECT_EQ(le(f, t + 2, 2), sig(ib, pageBid)) << "signature of page at " << ib;
        claim(pageBid, "the page at " + std::to_string(ib));
        used.insert({ib, ib + pageSize()});
    }

    void tree(std::uint64_t bidRef, std::uint64_t ib, std::uint8_t ptype, int expectLevel,
              std::uint64_t minKey) {
        page(ib, ptype, bidRef);
        const std::uint64_t meta = ib + (fourK ? 4056 : uni ? 488 : 496);
        const int count = int(fourK ? le(f, meta, 2) : std::uint8_t(f[qsizetype(meta)]));
        const int cbEnt = std::uint8_t(f[qsizetype(meta + (fourK ? 4 : 2))]);
        const int level = std::uint8_t(f[qsizetype(meta + (fourK ? 5 : 3))]);
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
                nodeData.push_back({key, le(f, e + bid(), bid())});
                nodeSubs.push_back(le(f, e + 2 * bid(), bid()));
            }
        }
    }

    void block(std::uint64_t id, std::uint64_t ib, std::uint16_t cb) {
        const std::size_t trailer = fourK ? 24 : uni ? 16 : 12;
        const std::uint64_t align = fourK ? 512 : 64;
        const std::uint64_t total = (cb + trailer + align - 1) / align * align;
        const std::uint64_t t = ib + total - trailer;
        EXPECT_EQ(ib % align, 0u);
        if (fourK) {
            EXPECT_EQ(le(f, t + 18, 2), cb) << "inflated size of block " << id;
        }
        claim(id, "the block at " + std::to_string(ib));
        blockAt[id & ~std::uint64_t(1)] = {ib, cb};
        EXPECT_EQ(le(f, t, 2), cb) << "block " << id;
        EXPECT_EQ(le(f, t + 2, 2), sig(ib, id)) << "block " << id;
        const std::uint64_t blockBid = uni ? le(f, t + 8, 8) : le(f, t + 4, 4);
        const std::uint32_t blockCrc = std::uint32_t(uni ? le(f, t + 4, 4) : le(f, t + 8, 4));
        EXPECT_EQ(blockBid, id);
        EXPECT_EQ(blockCrc, crc(f, ib, cb)) << "CRC of block " << id;
        used.insert({ib, ib + total});
        ++blocks;
    }

    // The bytes of an external block as stored before encoding.
    QByteArray blockData(std::uint64_t id) {
        const auto it = blockAt.find(id & ~std::uint64_t(1));
        if (it == blockAt.end())
            return {};
        QByteArray d = f.mid(qsizetype(it->second.first), it->second.second);
        if (compressible && !(id & 2))
            for (auto& c : d)
                c = char(decodeCompressible(std::uint8_t(c)));
        return d;
    }

    // The heaps of the subnodes under a subnode block (attachments, recipient tables and the
    // subnodes of attached messages).
    void subnodeHeaps(std::uint64_t bidSub, int depth) {
        const QByteArray b = blockData(bidSub);
        if (b.size() < 8 || std::uint8_t(b[0]) != 0x02 || depth > 8)
            return;
        const int level = std::uint8_t(b[1]);
        const int count = int(le(b, 2, 2));
        const int head = uni ? 8 : 4;
        const int width = level == 0 ? 3 * bid() : 2 * bid();
        for (int i = 0; i < count && head + (i + 1) * width <= b.size(); ++i) {
            const std::uint64_t e = std::uint64_t(head + i * width);
            if (level > 0) {
                subnodeHeaps(le(b, e + bid(), bid()), depth + 1);
                continue;
            }
            const std::uint64_t data = le(b, e + bid(), bid());
            const std::uint64_t sub = le(b, e + 2 * bid(), bid());
            if (data != 0)
                heap(le(b, e, bid()), data);
            if (sub != 0)
                subnodeHeaps(sub, depth + 1);
        }
    }

    // The first block of a node's data: a data tree's leftmost leaf.
    QByteArray firstBlock(std::uint64_t bidData) {
        for (int depth = 0; (bidData & 2) && depth < 3; ++depth) {
            const QByteArray tree = blockData(bidData);
            if (tree.size() < 8 + bid() || std::uint8_t(tree[0]) != 0x01)
                return {};
            bidData = le(tree, 8, bid());
        }
        return blockData(bidData);
    }

    // A node's heap: the page map closes its first block, allocations neither overlap nor run
    // into it, and the root names a live item. Its header is where the mail program puts it and
    // readers look: a property context's BTH header is the first item, a table's first two are
    // the row index's BTH header and TCINFO.
    void heap(std::uint64_t nid, std::uint64_t bidData) {
        const QByteArray d = firstBlock(bidData);
        static const std::set<std::uint8_t> clients{0x6C, 0x7C, 0x8C, 0x9C, 0xA5,
                                                    0xAC, 0xB5, 0xBC, 0xCC};
        if (d.size() < 12 || std::uint8_t(d[2]) != 0xEC || !clients.count(std::uint8_t(d[3])))
            return;
        SCOPED_TRACE("heap of node " + std::to_string(nid));
        ++heaps;
        const std::uint64_t ibHnpm = le(d, 0, 2);
        ASSERT_LE(ibHnpm + 4, std::uint64_t(d.size()));
        EXPECT_EQ(ibHnpm % 2, 0u);
        const std::uint64_t cAlloc = le(d, ibHnpm, 2);
        if (ours) {
            EXPECT_EQ(le(d, ibHnpm + 2, 2), 0u) << "freed items";
        }
        ASSERT_EQ(ibHnpm + 4 + 2 * (cAlloc + 1), std::uint64_t(d.size())) << "page map at the end";
        std::vector<std::uint64_t> starts;
        std::uint64_t last = 12;
        for (std::uint64_t i = 0; i <= cAlloc; ++i) {
            const std::uint64_t at = le(d, ibHnpm + 4 + 2 * i, 2);
            EXPECT_GE(at, last) << "allocation " << i;
            last = at;
            starts.push_back(at);
        }
        EXPECT_LE(last, ibHnpm);
        // The bytes of the item with this HID in the first block.
        auto item = [&](std::uint32_t hid) -> QByteArray {
            const std::uint32_t index = (hid >> 5) & 0x7FF;
            if ((hid >> 16) != 0 || (hid & 0x1F) != 0 || index < 1 || index > cAlloc)
                return {};
            return d.mid(qsizetype(starts[index - 1]),
                         qsizetype(starts[index] - starts[index - 1]));
        };
        const std::uint32_t root = std::uint32_t(le(d, 4, 4));
        const std::uint8_t client = std::uint8_t(d[3]);
        if (client == 0xBC) {
            EXPECT_EQ(root, 0x20u) << "a property context's BTH header is its first item";
            const QByteArray header = item(root);
            ASSERT_EQ(header.size(), 8);
            EXPECT_EQ(header.left(3), QByteArray("\xB5\x02\x06", 3));
        } else if (client == 0x7C) {
            EXPECT_EQ(root, 0x40u) << "a table's TCINFO is its second item";
            const QByteArray index = item(0x20);
            ASSERT_EQ(index.size(), 8) << "a table's row index header is its first item";
            EXPECT_EQ(index.left(2), QByteArray("\xB5\x04", 2));
            const QByteArray info = item(root);
            ASSERT_GE(info.size(), 22);
            EXPECT_EQ(std::uint8_t(info[0]), 0x7C);
            EXPECT_EQ(le(info, 10, 4), 0x20u) << "TCINFO names the first item as its row index";
        }
    }

    void run(const std::string& path) {
        QFile file(QString::fromStdString(path));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        f = file.readAll();
        ASSERT_EQ(f.left(4), QByteArray("!BDN"));
        uni = le(f, 10, 2) >= 23;
        fourK = le(f, 10, 2) == 0x24;
        compressible = std::uint8_t(f[uni ? 513 : 461]) == 1;
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
        const std::uint64_t dlist = fourK ? 0x21000 : 0x4200;
        if (uni && ours)
            page(dlist, 0x86, le(f, dlist + pageData() + 8, 8));
        for (std::size_t i = 0; i < nodeData.size(); ++i) {
            if (nodeData[i].second != 0)
                heap(nodeData[i].first, nodeData[i].second);
            if (nodeSubs[i] != 0)
                subnodeHeaps(nodeSubs[i], 0);
        }
        if (!ours)
            return;
        // The ids still to be given out lie beyond every id in use.
        if (uni) {
            EXPECT_GT(le(f, 516, 8), ids.rbegin()->first) << "next block id";
            EXPECT_GT(le(f, 32, 8), ids.rbegin()->first) << "next page id";
        }

        // Allocation maps: exactly the pages and blocks found above, plus the maps themselves.
        const std::uint64_t unit = fourK ? 512 : 64;
        const std::uint64_t bits = (fourK ? 4072 : 496) * 8;
        const std::uint64_t span = bits * unit;
        std::uint64_t free = 0;
        std::uint64_t index = 0;
        for (std::uint64_t a = fourK ? 0x22000 : 0x4400; a < eof; a += span, ++index) {
            const std::uint64_t t = a + pageData();
            EXPECT_EQ(std::uint8_t(f[qsizetype(t)]), 0x84) << "AMap at " << a;
            EXPECT_EQ(le(f, uni ? t + 4 : t + 8, 4), crc(f, a, pageData())) << "AMap CRC";
            used.insert({a, a + pageSize()});
            if (index % 8 == 0 && !fourK)
                used.insert({a + 512, a + 1024});
            std::vector<bool> expect(bits, false);
            for (const auto& [s, e] : used)
                for (std::uint64_t x = std::max(s, a) / unit * unit; x < std::min(e, a + span);
                     x += unit)
                    if (x >= a)
                        expect[(x - a) / unit] = true;
            const std::uint64_t bits = a + (uni ? 0 : 4);
            for (std::size_t slot = 0; slot < expect.size(); ++slot) {
                const bool set =
                    (std::uint8_t(f[qsizetype(bits + slot / 8)]) >> (7 - slot % 8)) & 1;
                if (set != expect[slot]) {
                    ADD_FAILURE() << "AMap at " << a << " slot " << slot << " is "
                                  << (set ? "set" : "clear");
                    return;
                }
                free += set ? 0 : unit;
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

INSTANTIATE_TEST_SUITE_P(Formats, Structure,
                         ::testing::Values(Format::Unicode, Format::Ansi, Format::Ost4k),
                         [](const auto& info) {
                             return info.param == Format::Unicode ? "Unicode"
                                    : info.param == Format::Ansi  ? "Ansi"
                                                                  : "Ost4k";
                         });

// The shipped samples: the Unicode ones once gave a page and a block the same id, which
// readers that keep what they read by id take for one another.
TEST(Structure, EveryShippedSampleFollowsTheFormat) {
    const QDir samples(QStringLiteral(TALVENOR_SAMPLES_DIR));
    const QStringList files = samples.entryList({QStringLiteral("*.pst")}, QDir::Files);
    ASSERT_GE(files.size(), 3) << "no samples in " << TALVENOR_SAMPLES_DIR;
    for (const QString& name : files) {
        SCOPED_TRACE(name.toStdString());
        Checker c;
        c.run(samples.filePath(name).toStdString());
        EXPECT_GT(c.nodes, 0u);
    }
}

// The benchmark's generated stores, in every layout and encoding.
TEST(Structure, GeneratedStoresFollowTheFormat) {
    QTemporaryDir dir;
    for (const Format format : {Format::Unicode, Format::Ansi, Format::Ost4k})
        for (const Encoding encoding : {Encoding::None, Encoding::Compressible}) {
            SCOPED_TRACE(int(format) * 10 + int(encoding));
            Options o;
            o.format = format;
            o.encoding = encoding;
            const std::string path = dir.filePath("g.pst").toStdString();
            generateStore(path, 300, o, 7);
            Checker c;
            c.run(path);
            EXPECT_GT(c.nodes, 300u);
        }
}

// Where every heap's header lies, over every kind of store: those the writer generates, the
// shipped samples, and real stores, which show that the check holds for the mail program's
// own files too.
TEST(Structure, EveryHeapOpensWithItsHeader) {
    QTemporaryDir dir;
    struct Store {
        std::string label;
        std::string path;
        bool ours;
    };
    std::vector<Store> stores;
    for (const Format format : {Format::Unicode, Format::Ansi, Format::Ost4k}) {
        Options o;
        o.format = format;
        o.encoding = Encoding::Compressible;
        const std::string path =
            dir.filePath(QStringLiteral("g%1.pst").arg(int(format))).toStdString();
        generateStore(path, 40, o, 3);
        stores.push_back({"generated " + std::to_string(int(format)), path, true});
    }
    const QDir samples(QStringLiteral(TALVENOR_SAMPLES_DIR));
    for (const QString& name : samples.entryList({QStringLiteral("*.pst")}, QDir::Files))
        stores.push_back({name.toStdString(), samples.filePath(name).toStdString(), true});
    QStringList realFiles;
    const bool haveReal = talvenor::testing::findRealWorldStores(realFiles);
    for (const QString& path : realFiles)
        stores.push_back(
            {"real " + QFileInfo(path).fileName().toStdString(), path.toStdString(), false});

    std::size_t checked = 0;
    for (const Store& store : stores) {
        SCOPED_TRACE(store.label);
        Checker c;
        c.ours = store.ours;
        c.run(store.path);
        EXPECT_GT(c.heaps, 3u);
        checked += c.heaps;
    }
    EXPECT_GT(checked, 100u);
    if (!haveReal)
        GTEST_SKIP();
}

} // namespace
