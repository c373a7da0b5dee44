// Damaged stores: every truncation and many flipped bytes of a small store give failures our
// reader reports (pst::Error), never a crash or another kind of exception; damage to a named
// structure gives the message that names it.
#include "../nativestore/generatedstore.h"
#include "fixtures.h"
#include <walk.h>

#include <crypt.h>
#include <pststore.h>

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

using namespace talvenor;
using namespace talvenor::pst;
using pstwriter::Encoding;
using pstwriter::Format;

namespace {

Bytes smallStore(Format format, Encoding encoding = Encoding::Compressible) {
    QTemporaryDir dir;
    const QString path = dir.filePath("small.pst");
    test::writeSmallStore(path.toStdString(), format, encoding);
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read the small store back");
    const QByteArray all = f.readAll();
    return Bytes(all.begin(), all.end());
}

// Opens and walks the bytes; returns false when opening failed with pst::Error. Any other
// exception escapes and fails the test.
bool openAndWalk(Bytes bytes, WalkCounts* counts = nullptr) {
    try {
        const Store store = Store::openMemory(std::move(bytes));
        const auto c = walkStore(store);
        if (counts)
            *counts = c;
        return true;
    } catch (const Error&) {
        return false;
    }
}

// The last byte any structure of the store uses: the file is grown to a whole allocation
// interval, whose tail holds nothing.
std::size_t usedEnd(const Bytes& b) {
    std::size_t end = b.size();
    while (end > 0 && b[end - 1] == 0)
        --end;
    return end;
}

class Damaged : public ::testing::TestWithParam<Format> {};

TEST_P(Damaged, TheIntactStoreReadsWhole) {
    WalkCounts c;
    ASSERT_TRUE(openAndWalk(smallStore(GetParam()), &c));
    EXPECT_EQ(c.messages, 2u);
    EXPECT_EQ(c.failures, 0u);
}

TEST_P(Damaged, EveryTruncationFailsCleanly) {
    const Bytes whole = smallStore(GetParam());
    const std::size_t end = usedEnd(whole);
    std::size_t opened = 0;
    // Every length through the header, then a prime stride so that cuts land at every offset
    // within pages and blocks.
    for (std::size_t len = 0; len < end; len += len < 600 ? 1 : 61) {
        Bytes cut(whole.begin(), whole.begin() + std::ptrdiff_t(len));
        WalkCounts c;
        if (openAndWalk(std::move(cut), &c)) {
            ++opened;
            // A cut store reads whole (what was cut, the index's pages, is found again by a
            // scan) or reports what it could not read; it never loses mail silently.
            EXPECT_TRUE(c.failures > 0 || c.messages == 2) << "length " << len;
        }
    }
    EXPECT_GT(opened, 0u); // past the header, opening succeeds and the damage shows later
}

TEST_P(Damaged, FlippedBytesFailCleanly) {
    const Bytes whole = smallStore(GetParam());
    const std::size_t end = usedEnd(whole);
    std::size_t damaged = 0;
    for (std::size_t at = 0; at < end; at += at < 600 ? 1 : 31) {
        Bytes b = whole;
        b[at] ^= 0xFF;
        WalkCounts c;
        if (!openAndWalk(std::move(b), &c) || c.failures > 0 || c.messages < 2)
            ++damaged;
    }
    EXPECT_GT(damaged, 0u);
}

INSTANTIATE_TEST_SUITE_P(BothFormats, Damaged, ::testing::Values(Format::Unicode, Format::Ansi),
                         [](const auto& info) {
                             return info.param == Format::Ansi ? "Ansi" : "Unicode";
                         });

struct NamedDamage {
    const char* name;
    std::function<void(Bytes&)> spoil;
    const char* expected; // part of the message
    bool atOpen;          // fails when opening, else when reading the root folder
};

// Rewrites the header's checksums so that damage behind them is what the reader meets.
void fixHeader(Bytes& b) {
    const std::uint32_t partial = crc32(b.data() + 8, 471);
    const std::uint32_t full = crc32(b.data() + 8, 516);
    for (int i = 0; i < 4; ++i) {
        b[4 + i] = std::uint8_t(partial >> (8 * i));
        b[524 + i] = std::uint8_t(full >> (8 * i));
    }
}

std::uint64_t le64At(const Bytes& b, std::size_t at) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | b[at + std::size_t(i)];
    return v;
}

const NamedDamage kNamedDamage[] = {
    {"Empty", [](Bytes& b) { b.clear(); }, "too small", true},
    {"NotAStore", [](Bytes& b) { b[0] = 'X'; }, "!BDN", true},
    {"UnknownVersion",
     [](Bytes& b) {
         b[10] = 3;
         fixHeader(b);
     },
     "version", true},
    {"UnknownEncoding",
     [](Bytes& b) {
         b[513] = 9;
         fixHeader(b);
     },
     "encoding", true},
    // Without a checksum to vouch for the rest, an unknown encoding is taken for damage; when
    // no encoding shows the store's own node, the store cannot be read.
    {"UnknownEncodingAndChecksum",
     [](Bytes& b) {
         b[513] = 9;
         b[300] ^= 1;
         std::fill(b.begin() + 564, b.end(), 0);
     },
     "unknown encoding", true},
};

class NamedDamageTest : public ::testing::TestWithParam<NamedDamage> {};

TEST_P(NamedDamageTest, NamesWhatIsDamaged) {
    Bytes b = smallStore(Format::Unicode);
    GetParam().spoil(b);
    std::string message;
    try {
        const Store store = Store::openMemory(std::move(b));
        EXPECT_FALSE(GetParam().atOpen) << "opened a store that should not open";
        store.folder(kNidRootFolder);
        store.message(store.messages(store.subfolders(*store.ipmSubtree()).front()).front());
    } catch (const Error& e) {
        message = e.what();
    }
    EXPECT_NE(message.find(GetParam().expected), std::string::npos) << message;
}

INSTANTIATE_TEST_SUITE_P(Cases, NamedDamageTest, ::testing::ValuesIn(kNamedDamage),
                         [](const auto& info) { return std::string(info.param.name); });

// A node B-tree whose root names one child page twice: a walk that followed it would visit
// that subtree again and again; it must stop with a failure.
TEST(HostileTrees, ABranchNamingAPageTwiceFails) {
    QTemporaryDir dir;
    const QString path = dir.filePath("large.pst");
    talvenor::testing::writeLargeFolderStore(path.toStdString(), 400);
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray all = f.readAll();
    Bytes b(all.begin(), all.end());
    const std::size_t root = std::size_t(le64At(b, 224));
    ASSERT_GT(b[root + 491], 0) << "the node tree should have branches";
    ASSERT_GE(b[root + 488], 2);
    // Entry 1 (24 bytes: key, bid, offset) now names entry 0's child; the checksum is mended.
    std::copy(b.begin() + std::ptrdiff_t(root + 8), b.begin() + std::ptrdiff_t(root + 24),
              b.begin() + std::ptrdiff_t(root + 24 + 8));
    const std::uint32_t crc = crc32(b.data() + root, 496);
    for (int i = 0; i < 4; ++i)
        b[root + 500 + std::size_t(i)] = std::uint8_t(crc >> (8 * i));
    const Store store = Store::openMemory(std::move(b));
    try {
        store.ndb().forEachNode([](const NodeEntry&) {});
        FAIL() << "walked a tree that names a page twice";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("named twice"), std::string::npos) << e.what();
    }
}

TEST(Crypt, CyclicIsItsOwnInverseAndDependsOnTheKey) {
    Bytes plain(300);
    for (std::size_t i = 0; i < plain.size(); ++i)
        plain[i] = std::uint8_t(i * 7);
    Bytes a = plain, b = plain;
    cyclic(a.data(), a.size(), 0x12345678);
    cyclic(b.data(), b.size(), 0x12345679);
    EXPECT_NE(a, plain);
    EXPECT_NE(a, b);
    cyclic(a.data(), a.size(), 0x12345678);
    EXPECT_EQ(a, plain);
}

TEST(Crypt, PermutationRoundTrips) {
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[std::size_t(i)] = std::uint8_t(i);
    Bytes b = all;
    permuteEncode(b.data(), b.size());
    EXPECT_NE(b, all);
    permuteDecode(b.data(), b.size());
    EXPECT_EQ(b, all);
}

TEST(Crypt, ChecksumMatchesTheBytewiseDefinition) {
    // Lengths around the eight-byte steps, against the plain table-free definition.
    for (std::size_t n : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 496u, 4072u}) {
        Bytes d(n);
        for (std::size_t i = 0; i < n; ++i)
            d[i] = std::uint8_t(i * 31 + 5);
        std::uint32_t slow = 0;
        for (std::uint8_t byte : d) {
            slow ^= byte;
            for (int k = 0; k < 8; ++k)
                slow = (slow & 1) ? 0xEDB88320u ^ (slow >> 1) : slow >> 1;
        }
        EXPECT_EQ(crc32(d.data(), d.size()), slow) << n;
    }
}

} // namespace
