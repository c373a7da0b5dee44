#include "damagedcorpus.h"

#include <crypt.h>
#include <generate.h>
#include <pststore.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <functional>
#include <random>
#include <stdexcept>

namespace talvenor::testing {

namespace {

using Bytes = std::vector<std::uint8_t>;

// Where the structures of a Unicode store lie (512-byte pages, 64-byte block units).
constexpr std::size_t kPage = 512;
constexpr std::size_t kPageTrailer = 496;
constexpr std::size_t kHeaderNbtIb = 224;
constexpr std::size_t kHeaderBbtIb = 240;

std::uint64_t le64(const Bytes& b, std::size_t at) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | b.at(at + std::size_t(i));
    return v;
}

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.at(at + std::size_t(i)) = std::uint8_t(v >> (8 * i));
}

using Region = ByteRange;

Region heapBlockIn(const pst::Store& store, std::uint32_t nid) {
    const auto node = store.ndb().node(nid);
    if (!node)
        throw std::runtime_error("the intact store lacks node " + std::to_string(nid));
    std::uint64_t bid = node->bidData;
    if (bid & 2) {
        const Bytes x = store.ndb().readBlock(bid);
        bid = le64(x, 8);
    }
    const auto block = store.ndb().block(bid);
    if (!block)
        throw std::runtime_error("the intact store lacks a block");
    return {std::size_t(block->ib), block->cb};
}

struct TreePage {
    unsigned level;
    std::size_t ib;
};

void collectPages(const Bytes& b, std::size_t ib, int depth, std::vector<TreePage>& out) {
    if (depth > 8 || ib + kPage > b.size())
        throw std::runtime_error("the intact store's B-tree cannot be walked");
    const unsigned level = b[ib + 491];
    const std::size_t count = b[ib + 488];
    out.push_back({level, ib});
    if (level > 0)
        for (std::size_t i = 0; i < count; ++i)
            collectPages(b, std::size_t(le64(b, ib + i * 24 + 16)), depth + 1, out);
}

// Deterministic on every machine: raw mt19937 output, reduced by hand.
class Random {
public:
    explicit Random(std::uint32_t seed) : engine_(seed) {}
    std::size_t below(std::size_t n) { return n == 0 ? 0 : std::size_t(engine_() % n); }
    std::uint8_t byte() { return std::uint8_t(engine_()); }

private:
    std::mt19937 engine_;
};

class Builder {
public:
    Builder(Bytes intact, std::uint32_t seed)
        : intact_(std::move(intact)), random_(seed),
          store_(pst::Store::openMemory(Bytes(intact_))) {
        collectPages(intact_, std::size_t(le64(intact_, kHeaderNbtIb)), 0, nbt_);
        collectPages(intact_, std::size_t(le64(intact_, kHeaderBbtIb)), 0, bbt_);
        listFolders(pst::kNidRootFolder, 0);
    }

    std::vector<DamagedCase> cases;

    void add(const std::string& name, const std::string& what,
             const std::function<void(Bytes&)>& spoil) {
        Bytes b = intact_;
        spoil(b);
        cases.push_back({name, what, std::move(b)});
    }

    // The node B-tree leaf that holds a node's entry.
    std::size_t leafHolding(std::uint32_t nid) const {
        for (const TreePage& p : nbt_) {
            if (p.level != 0)
                continue;
            const Region r = entries(intact_, p.ib);
            for (std::size_t at = r.start; at + 32 <= r.start + r.size; at += 32)
                if (le64(intact_, at) == nid)
                    return p.ib;
        }
        throw std::runtime_error("no node B-tree leaf holds node " + std::to_string(nid));
    }

    // Pages of one tree: the leaves, or the pages above them.
    std::vector<std::size_t> pages(bool nbt, bool leaves) const {
        std::vector<std::size_t> out;
        for (const TreePage& p : nbt ? nbt_ : bbt_)
            if ((p.level == 0) == leaves)
                out.push_back(p.ib);
        return out;
    }
    std::size_t pick(const std::vector<std::size_t>& from) {
        return from.at(random_.below(from.size()));
    }
    std::uint32_t pickNid(const std::vector<std::uint32_t>& from) {
        return from.at(random_.below(from.size()));
    }

    Region heapOf(std::uint32_t nid) const { return heapBlockIn(store_, nid); }

    void flip(Bytes& b, Region r, int count = 1) {
        for (int i = 0; i < count; ++i)
            b.at(r.start + random_.below(r.size)) ^= std::uint8_t(1 + random_.below(255));
    }
    void overwrite(Bytes& b, Region r, std::size_t n) {
        n = std::min(n, r.size);
        const std::size_t at = r.start + random_.below(r.size - n + 1);
        for (std::size_t i = 0; i < n; ++i)
            b.at(at + i) = random_.byte();
    }
    static void recheckPage(Bytes& b, std::size_t ib) {
        put32(b, ib + 500, pst::crc32(b.data() + ib, kPageTrailer));
    }
    static void recheckBlock(Bytes& b, Region r) {
        const std::size_t end = r.start + (r.size + 16 + 63) / 64 * 64;
        put32(b, end - 12, pst::crc32(b.data() + r.start, r.size));
    }
    static void recheckHeader(Bytes& b) {
        put32(b, 4, pst::crc32(b.data() + 8, 471));
        put32(b, 524, pst::crc32(b.data() + 8, 516));
    }
    static Region entries(const Bytes& b, std::size_t ib) {
        const std::size_t used = std::size_t(b[ib + 488]) * b[ib + 490];
        return {ib, used > 0 ? used : 488};
    }

    std::vector<std::uint32_t> folders;         // every normal folder below the root
    std::vector<std::uint32_t> foldersWithMail; // of those, the ones holding messages
    std::vector<std::uint32_t> messages;

private:
    void listFolders(std::uint32_t nid, int depth) {
        if (depth > 16)
            return;
        folders.push_back(nid);
        const auto m = store_.messages(nid);
        if (!m.empty())
            foldersWithMail.push_back(nid);
        messages.insert(messages.end(), m.begin(), m.end());
        for (std::uint32_t sub : store_.subfolders(nid))
            if ((sub & 0x1F) == 0x02)
                listFolders(sub, depth + 1);
    }

    Bytes intact_;
    Random random_;
    pst::Store store_;
    std::vector<TreePage> nbt_, bbt_;
};

Bytes generated(std::uint64_t messages, std::uint32_t seed) {
    QTemporaryDir dir;
    if (!dir.isValid())
        throw std::runtime_error("cannot make a temporary folder");
    const std::string path = dir.filePath("intact.pst").toStdString();
    // Index pages among the data, as in a store that grew over years: a copy cut short keeps
    // part of its index, and the reader must find what that part still names.
    pstwriter::Options options;
    options.spreadPages = true;
    pstwriter::generateStore(path, messages, options, seed);
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read the generated store back");
    const QByteArray all = f.readAll();
    return Bytes(all.begin(), all.end());
}

std::string hexNid(std::uint32_t nid) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", nid);
    return text;
}

} // namespace

DamagedCorpus makeDamagedCorpus(std::uint32_t seed, std::uint64_t messageCount) {
    DamagedCorpus corpus;
    corpus.intact = generated(messageCount, seed);
    corpus.messages = messageCount;
    Builder k(corpus.intact, seed);
    const Region header{12, 516};

    // The header: its fields behind a failing checksum, and its roots.
    for (int i = 1; i <= 4; ++i)
        k.add("header-flip-" + std::to_string(i), "a byte of the header",
              [&](Bytes& b) { k.flip(b, header); });
    k.add("header-nbt-root", "the node B-tree's root reference", [&](Bytes& b) {
        k.overwrite(b, {kHeaderNbtIb, 8}, 8);
    });
    k.add("header-bbt-root", "the block B-tree's root reference", [&](Bytes& b) {
        k.overwrite(b, {kHeaderBbtIb, 8}, 8);
    });
    k.add("header-roots-zero", "both roots, checksum mended", [&](Bytes& b) {
        std::fill(b.begin() + 216, b.begin() + 248, 0);
        Builder::recheckHeader(b);
    });
    k.add("header-encoding", "the encoding byte", [&](Bytes& b) { b.at(513) = 0x47; });

    // Both B-trees: leaves and the pages above them.
    for (const bool nbt : {true, false}) {
        const std::string tree = nbt ? "nbt" : "bbt";
        const std::string name = nbt ? "node B-tree" : "block B-tree";
        const auto leaves = k.pages(nbt, true);
        const auto upper = k.pages(nbt, false);
        for (int i = 1; i <= 5; ++i)
            k.add(tree + "-leaf-flip-" + std::to_string(i), "a byte of a " + name + " leaf",
                  [&](Bytes& b) {
                      const std::size_t ib = k.pick(leaves);
                      k.flip(b, Builder::entries(b, ib));
                  });
        for (int i = 1; i <= 2; ++i)
            k.add(tree + "-leaf-overwrite-" + std::to_string(i), "40 bytes of a " + name + " leaf",
                  [&](Bytes& b) {
                      k.overwrite(b, {k.pick(leaves), kPage}, 40);
                  });
        k.add(tree + "-leaf-zero", "a whole " + name + " leaf", [&](Bytes& b) {
            const std::size_t ib = k.pick(leaves);
            std::fill(b.begin() + std::ptrdiff_t(ib), b.begin() + std::ptrdiff_t(ib + kPage), 0);
        });
        k.add(tree + "-leaf-rechecked", "an entry of a " + name + " leaf, checksum mended",
              [&](Bytes& b) {
                  const std::size_t ib = k.pick(leaves);
                  k.overwrite(b, Builder::entries(b, ib), 8);
                  Builder::recheckPage(b, ib);
              });
        if (!upper.empty()) {
            for (int i = 1; i <= 2; ++i)
                k.add(tree + "-branch-flip-" + std::to_string(i), "a byte of a " + name + " branch",
                      [&](Bytes& b) { k.flip(b, Builder::entries(b, k.pick(upper))); });
            k.add(tree + "-branch-zero", "a whole " + name + " branch page", [&](Bytes& b) {
                const std::size_t ib = k.pick(upper);
                std::fill(b.begin() + std::ptrdiff_t(ib), b.begin() + std::ptrdiff_t(ib + kPage),
                          0);
            });
        }
    }

    // Heaps: of the store, its name map, folders, their tables and messages.
    auto heapCase = [&](const std::string& name, const std::string& what, std::uint32_t nid,
                        bool overwrite, bool recheck) {
        k.add(name, what + " (node " + hexNid(nid) + ")", [&k, nid, overwrite, recheck](Bytes& b) {
            const Region r = k.heapOf(nid);
            if (overwrite)
                k.overwrite(b, r, 32);
            else
                k.flip(b, r, recheck ? 3 : 1);
            if (recheck)
                Builder::recheckBlock(b, r);
        });
    };
    auto tableOf = [](std::uint32_t folder, std::uint32_t type) {
        return (folder & ~0x1Fu) | type;
    };
    heapCase("store-flip", "the message store's properties", pst::kNidMessageStore, false, false);
    heapCase("store-overwrite", "the message store's properties", pst::kNidMessageStore, true,
             false);
    heapCase("namemap-flip", "the map of named properties", pst::kNidNameMap, false, false);
    heapCase("root-folder-flip", "the root folder's properties", pst::kNidRootFolder, false, false);
    heapCase("root-hierarchy-flip", "the root folder's hierarchy table",
             tableOf(pst::kNidRootFolder, 0x0D), false, false);
    for (int i = 1; i <= 3; ++i) {
        const std::string n = std::to_string(i);
        const std::uint32_t f = k.pickNid(k.folders);
        heapCase("folder-flip-" + n, "a folder's properties", f, false, false);
        const std::uint32_t h = k.pickNid(k.folders);
        heapCase("hierarchy-flip-" + n, "a hierarchy table", tableOf(h, 0x0D), false, false);
        const std::uint32_t c = k.pickNid(k.foldersWithMail);
        heapCase("contents-flip-" + n, "a contents table", tableOf(c, 0x0E), false, false);
        const std::uint32_t m = k.pickNid(k.messages);
        heapCase("message-flip-" + n, "a message's properties", m, false, false);
    }
    heapCase("folder-overwrite", "a folder's properties", k.pickNid(k.folders), true, false);
    heapCase("contents-overwrite", "a contents table", tableOf(k.pickNid(k.foldersWithMail), 0x0E),
             true, false);
    heapCase("message-overwrite", "a message's properties", k.pickNid(k.messages), true, false);
    heapCase("folder-rechecked", "a folder's properties, checksum mended", k.pickNid(k.folders),
             false, true);
    heapCase("hierarchy-rechecked", "a hierarchy table, checksum mended",
             tableOf(k.pickNid(k.folders), 0x0D), false, true);
    for (int i = 1; i <= 2; ++i) {
        heapCase("contents-rechecked-" + std::to_string(i), "a contents table, checksum mended",
                 tableOf(k.pickNid(k.foldersWithMail), 0x0E), false, true);
        heapCase("message-rechecked-" + std::to_string(i),
                 "a message's properties, checksum mended", k.pickNid(k.messages), false, true);
    }
    // The leaf that holds a folder with mail: the folder, its tables and its neighbours are
    // gone from the index, while its messages still name it as their parent.
    k.add("nbt-folder-leaf-zero", "the node B-tree leaf of a folder with mail", [&](Bytes& b) {
        const std::size_t ib = k.leafHolding(k.pickNid(k.foldersWithMail));
        std::fill(b.begin() + std::ptrdiff_t(ib), b.begin() + std::ptrdiff_t(ib + kPage), 0);
    });

    // Copies cut short, from most of the file gone to its last bytes.
    for (const double keep : {0.2, 0.35, 0.5, 0.6, 0.7, 0.8, 0.88, 0.94, 0.98, 0.995}) {
        const std::string percent = std::to_string(int(keep * 1000 + 0.5));
        k.add("cut-" + percent, "cut short, keeping " + percent + " per mille",
              [&](Bytes& b) { b.resize(std::size_t(double(b.size()) * keep) / 8 * 8); });
    }
    corpus.cases = std::move(k.cases);
    return corpus;
}

ByteRange firstHeapBlock(const std::vector<std::uint8_t>& store, std::uint32_t nid) {
    return heapBlockIn(pst::Store::openMemory(Bytes(store)), nid);
}

void raiseContentCount(std::vector<std::uint8_t>& b, std::uint32_t folderNid, std::uint32_t count,
                       std::uint8_t by) {
    const ByteRange r = firstHeapBlock(b, folderNid);
    Bytes heap(b.begin() + std::ptrdiff_t(r.start), b.begin() + std::ptrdiff_t(r.start + r.size));
    pst::permuteDecode(heap.data(), heap.size());
    // The property's record on the heap: tag 0x3602, type PT_LONG, the value in place.
    const std::uint8_t record[] = {
        0x02, 0x36, 0x03, 0x00, std::uint8_t(count), std::uint8_t(count >> 8), 0, 0};
    const auto at = std::search(heap.begin(), heap.end(), std::begin(record), std::end(record));
    if (at == heap.end() || count + by > 0xFF)
        throw std::runtime_error("the folder's message count is not where expected");
    at[4] = std::uint8_t(count + by);
    pst::permuteEncode(heap.data(), heap.size());
    std::copy(heap.begin(), heap.end(), b.begin() + std::ptrdiff_t(r.start));
    // The block trailer follows the 64-byte aligned block: its checksum is 12 bytes from the end.
    const std::size_t end = r.start + (r.size + 16 + 63) / 64 * 64;
    const std::uint32_t crc = pst::crc32(b.data() + r.start, r.size);
    for (int i = 0; i < 4; ++i)
        b.at(end - 12 + std::size_t(i)) = std::uint8_t(crc >> (8 * i));
}

void writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::WriteOnly) || f.write(reinterpret_cast<const char*>(bytes.data()),
                                                 qint64(bytes.size())) != qint64(bytes.size()))
        throw std::runtime_error("cannot write " + path);
}

} // namespace talvenor::testing
