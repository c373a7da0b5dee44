// Recovery of damaged stores: damage to the header, to either B-tree or to a folder's tables
// and properties still lets our reader find every message another way; what it cannot read it
// reports. Over a seeded corpus of damaged copies it reads at least what readpst writes.
#include "damagedcorpus.h"
#include "outsideprograms.h"
#include <walk.h>

#include <crypt.h>
#include <pststore.h>

#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>

using namespace talvenor;
using namespace talvenor::pst;
using talvenor::testing::DamagedCorpus;

namespace {

const DamagedCorpus& corpus() {
    static const DamagedCorpus c = talvenor::testing::makeDamagedCorpus();
    return c;
}

std::uint64_t le64At(const Bytes& b, std::size_t at) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | b[at + std::size_t(i)];
    return v;
}

void zero(Bytes& b, std::size_t start, std::size_t size) {
    std::fill(b.begin() + std::ptrdiff_t(start), b.begin() + std::ptrdiff_t(start + size), 0);
}

void zeroHeap(Bytes& b, std::uint32_t nid) {
    const auto r = talvenor::testing::firstHeapBlock(b, nid);
    zero(b, r.start, r.size);
}

std::uint32_t tableOf(std::uint32_t folder, std::uint32_t type) {
    return (folder & ~0x1Fu) | type;
}

bool mentions(const Store& s, const std::string& what) {
    for (const std::string& r : s.repairs())
        if (r.find(what) != std::string::npos)
            return true;
    return false;
}

// What the intact store holds, to hold the damaged copies against.
struct Facts {
    std::uint32_t ipm = 0;
    std::uint32_t mailFolder = 0; // the folder with the most messages
    std::u16string mailFolderName;
    std::vector<std::uint32_t> ipmChildren;
    std::vector<std::uint32_t> mailFolderMessages;
};

const Facts& facts() {
    static const Facts f = [] {
        const Store s = Store::openMemory(corpus().intact);
        Facts out;
        out.ipm = s.ipmSubtree().value();
        out.ipmChildren = s.subfolders(out.ipm);
        std::vector<std::uint32_t> pending = out.ipmChildren;
        while (!pending.empty()) {
            const std::uint32_t f = pending.back();
            pending.pop_back();
            const auto m = s.messages(f);
            if (m.size() > out.mailFolderMessages.size()) {
                out.mailFolder = f;
                out.mailFolderMessages = m;
            }
            for (std::uint32_t sub : s.subfolders(f))
                pending.push_back(sub);
        }
        out.mailFolderName = s.folder(out.mailFolder).name;
        return out;
    }();
    return f;
}

std::vector<std::uint32_t> sorted(std::vector<std::uint32_t> v) {
    std::sort(v.begin(), v.end());
    return v;
}

struct Recovery {
    const char* name;
    std::function<void(Bytes&)> spoil;
    std::function<void(const Store&)> check;
    const char* repair; // part of what repairs() says
};

void readsWhole(const Store& s) {
    const WalkCounts c = walkStore(s);
    EXPECT_EQ(c.messages, corpus().messages);
    EXPECT_EQ(c.messageFailures, 0u);
}

void fixHeader(Bytes& b) {
    const std::uint32_t partial = crc32(b.data() + 8, 471);
    const std::uint32_t full = crc32(b.data() + 8, 516);
    for (int i = 0; i < 4; ++i) {
        b[4 + std::size_t(i)] = std::uint8_t(partial >> (8 * i));
        b[524 + std::size_t(i)] = std::uint8_t(full >> (8 * i));
    }
}

const Recovery kRecoveries[] = {
    {"HeaderChecksum", [](Bytes& b) { b[300] ^= 1; }, readsWhole, "header's checksum"},
    {"HeaderRootsChecksum", [](Bytes& b) { b[230] ^= 0x10; }, readsWhole, "header's checksum"},
    {"NodeTreeRootPage", [](Bytes& b) { zero(b, std::size_t(le64At(b, 224)), 512); }, readsWhole,
     "scanned"},
    {"NodeTreeRootFlipped", [](Bytes& b) { b[std::size_t(le64At(b, 224)) + 3] ^= 0x40; },
     readsWhole, "scanned"},
    {"BlockTreeRootPage", [](Bytes& b) { zero(b, std::size_t(le64At(b, 240)), 512); }, readsWhole,
     "scanned"},
    {"BlockTreePageType", [](Bytes& b) { b[std::size_t(le64At(b, 240)) + 496] = 0x81; }, readsWhole,
     "scanned"},
    {"BlockTreeLeaf",
     [](Bytes& b) {
         // Down the first branches to a leaf: its entries are then nowhere but in the blocks.
         std::size_t page = std::size_t(le64At(b, 240));
         while (b[page + 491] > 0)
             page = std::size_t(le64At(b, page + 16));
         zero(b, page, 512);
     },
     readsWhole, "own trailers"},
    {"RootsOutsideTheFile",
     [](Bytes& b) {
         for (std::size_t i = 216; i < 248; ++i)
             b[i] = 0x7F;
         fixHeader(b);
     },
     readsWhole, "scanned"},
    {"ContentsTable", [](Bytes& b) { zeroHeap(b, tableOf(facts().mailFolder, 0x0E)); },
     [](const Store& s) {
         // The nodes that name the folder as parent, in nid order; one (empty) row each.
         EXPECT_EQ(s.messages(facts().mailFolder), sorted(facts().mailFolderMessages));
         const auto rows = s.contentsRows(facts().mailFolder);
         ASSERT_EQ(rows.size(), facts().mailFolderMessages.size());
         EXPECT_TRUE(rows.front().empty());
         readsWhole(s);
     },
     "contents table is damaged"},
    {"HierarchyTable", [](Bytes& b) { zeroHeap(b, tableOf(facts().ipm, 0x0D)); },
     [](const Store& s) {
         EXPECT_EQ(sorted(s.subfolders(facts().ipm)), sorted(facts().ipmChildren));
         readsWhole(s);
     },
     "hierarchy table is damaged"},
    {"FolderProperties", [](Bytes& b) { zeroHeap(b, facts().mailFolder); },
     [](const Store& s) {
         const FolderInfo f = s.folder(facts().mailFolder);
         EXPECT_TRUE(f.recovered);
         EXPECT_FALSE(f.damage.empty());
         // Named by its parent's summary row, which also keeps its count.
         EXPECT_EQ(f.name, facts().mailFolderName);
         EXPECT_EQ(contentCount(f), facts().mailFolderMessages.size());
         readsWhole(s);
     },
     "is read as"},
    {"FolderAndParentSummary",
     [](Bytes& b) {
         zeroHeap(b, facts().mailFolder);
         const auto parent = Store::openMemory(corpus().intact).ndb().node(facts().mailFolder);
         zeroHeap(b, tableOf(parent->parent, 0x0D));
     },
     [](const Store& s) {
         const FolderInfo f = s.folder(facts().mailFolder);
         EXPECT_TRUE(f.recovered);
         char expected[64];
         std::snprintf(expected, sizeof expected, "Recovered folder %X", facts().mailFolder);
         EXPECT_EQ(mapi::toUtf8(f.name), expected);
         // Also where readers look for a folder's name.
         ASSERT_EQ(f.props.size(), 1u);
         EXPECT_EQ(f.props.front().id, mapi::tags::DisplayName);
         EXPECT_EQ(propertyText(f.props.front()), f.name);
         readsWhole(s);
     },
     "Recovered folder"},
    {"MessageStore", [](Bytes& b) { zeroHeap(b, kNidMessageStore); },
     [](const Store& s) {
         EXPECT_THROW(s.storeProperties(), Error);
         EXPECT_EQ(s.ipmSubtree(), facts().ipm);
         readsWhole(s);
     },
     "found by its name"},
    {"NameMap", [](Bytes& b) { zeroHeap(b, kNidNameMap); }, readsWhole,
     "named properties is damaged"},
};

class RecoveryTest : public ::testing::TestWithParam<Recovery> {};

TEST_P(RecoveryTest, FindsTheItemsAnotherWay) {
    Bytes b = corpus().intact;
    GetParam().spoil(b);
    const Store store = Store::openMemory(std::move(b));
    GetParam().check(store);
    EXPECT_TRUE(mentions(store, GetParam().repair))
        << "repairs() does not say \"" << GetParam().repair << "\"";
}

INSTANTIATE_TEST_SUITE_P(Cases, RecoveryTest, ::testing::ValuesIn(kRecoveries),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Recovery, AHealthyStoreNeedsNone) {
    const Store store = Store::openMemory(corpus().intact);
    readsWhole(store);
    EXPECT_TRUE(store.repairs().empty());
    EXPECT_FALSE(store.ndb().treeDamaged());
}

// Entries of a damaged leaf whose keys no longer sort are left out rather than inventing
// nodes; the others still count. A node id is the key's lower four bytes: damage above them
// costs nothing.
TEST(Recovery, ADamagedLeafGivesTheEntriesThatStillSort) {
    const Store intact = Store::openMemory(corpus().intact);
    const NodeEntry victim = *intact.ndb().node(facts().mailFolderMessages.front());
    for (const std::size_t byte : {std::size_t(3), std::size_t(7)}) {
        SCOPED_TRACE(byte);
        Bytes b = corpus().intact;
        // Find the leaf holding the message and break its key (not its checksum).
        std::size_t leaf = 0;
        for (std::size_t at = 512; at + 512 <= b.size(); at += 512)
            if (b[at + 496] == 0x81 && b[at + 497] == 0x81 && b[at + 491] == 0)
                for (std::size_t i = 0; i < b[at + 488]; ++i)
                    if (le64At(b, at + i * 32) == victim.nid)
                        leaf = at + i * 32;
        ASSERT_NE(leaf, 0u);
        b[leaf + byte] = 0x7F; // a key far above its neighbours', or only its upper half
        const bool lost = byte < 4;
        const Store store = Store::openMemory(std::move(b));
        EXPECT_EQ(bool(store.ndb().node(victim.nid)), !lost);
        EXPECT_FALSE(store.ndb().node(victim.nid | 0x7F000000u));
        const WalkCounts c = walkStore(store);
        EXPECT_EQ(c.messages + c.messageFailures, corpus().messages);
        EXPECT_EQ(c.messageFailures, lost ? 1u : 0u);
    }
}

// Where readpst writes more than we read, and why; each of these messages is reported (read or
// failed, the counts still add up).
struct Behind {
    const char* prefix; // of the case names
    const char* reason;
};
const Behind kBehindReadpst[] = {
    {"message-", "its own bytes are damaged; readpst writes them unchecked, we report it"},
};

const char* behindReason(const std::string& name) {
    for (const Behind& b : kBehindReadpst)
        if (name.rfind(b.prefix, 0) == 0)
            return b.reason;
    return nullptr;
}

// A folder that counts more messages than its readable table lists has its children looked
// up by parent; what is found nowhere is counted as missing, not silently dropped.
TEST(Recovery, AFolderCountingMoreThanItsTableListsIsLookedUpByParent) {
    Bytes b = corpus().intact;
    const std::uint32_t count = std::uint32_t(facts().mailFolderMessages.size());
    talvenor::testing::raiseContentCount(b, facts().mailFolder, count, 1);

    const Store store = Store::openMemory(std::move(b));
    EXPECT_EQ(store.messages(facts().mailFolder), facts().mailFolderMessages);
    EXPECT_TRUE(
        mentions(store, "lists " + std::to_string(count) + " of " + std::to_string(count + 1)));
    const WalkCounts c = walkStore(store);
    EXPECT_EQ(c.messages, corpus().messages);
    EXPECT_EQ(c.unlisted, 1u);
}

// readpst's messages: the .msg files it writes below `dir`.
std::size_t countMsgFiles(const QString& dir) {
    std::size_t n = 0;
    QDirIterator it(dir, {"*.msg"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++n;
    }
    return n;
}

TEST(DamagedCorpus, ReadsAtLeastWhatReadpstWritesAndCountsTheRest) {
    TALVENOR_NEEDS_OUTSIDE(talvenor::testing::Outside::Readpst);
    const QString readpst = talvenor::testing::programFor(talvenor::testing::Outside::Readpst);
    const bool peers = talvenor::testing::comparesWithPeers();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::uint64_t held = corpus().messages;
    ASSERT_GE(corpus().cases.size(), 40u);
    std::printf("%-24s %6s %6s %6s %8s %7s  %s\n", "case", "ours", "failed", "lost", "readpst",
                "repairs", "damage");
    std::size_t index = 0;
    for (const auto& c : corpus().cases) {
        const QString file = dir.filePath(QString("case%1.pst").arg(index));
        const QString out = dir.filePath(QString("out%1").arg(index++));
        talvenor::testing::writeBytes(file.toStdString(), c.bytes);
        ASSERT_TRUE(QDir().mkpath(out));
        // readpst works on the file while we do.
        QProcess peer;
        if (peers) {
            peer.start(readpst, {"-m", "-q", "-o", out, file});
            ASSERT_TRUE(peer.waitForStarted()) << "readpst does not start";
        }

        WalkCounts ours;
        bool opened = true;
        std::size_t repairs = 0;
        try {
            const Store store = Store::openFile(file.toStdString());
            ours = walkStore(store);
            repairs = store.repairs().size();
        } catch (const Error&) {
            opened = false;
        }
        if (peers)
            peer.waitForFinished(-1);
        const std::size_t theirs = countMsgFiles(out);
        QDir(out).removeRecursively();
        QFile::remove(file);
        const std::size_t lost =
            held - std::min<std::size_t>(held, ours.messages + ours.messageFailures);
        const char* behind = ours.messages < theirs ? behindReason(c.name) : nullptr;
        std::printf("%-24s %6zu %6zu %6zu %8zu %7zu  %s%s%s%s\n", c.name.c_str(), ours.messages,
                    ours.messageFailures, lost, theirs, repairs, c.what.c_str(),
                    opened ? "" : " (does not open)", behind ? "; behind readpst: " : "",
                    behind ? behind : "");
        if (behind) {
            EXPECT_GE(ours.messages + ours.messageFailures, theirs) << c.name;
        } else {
            EXPECT_GE(ours.messages, theirs) << c.name;
        }
        // Nothing invented, and every message the store held is read or reported: failed, or
        // counted by its folder although no table or node lists it.
        EXPECT_LE(ours.messages + ours.messageFailures, held) << c.name;
        if (opened && ours.uncounted == 0) {
            EXPECT_EQ(ours.messages + ours.messageFailures + ours.unlisted, held) << c.name;
        }
    }
}

} // namespace
