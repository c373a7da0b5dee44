// The compound-file writer against independent readers: libgsf's and olefile read back every
// shape, and the directory's trees are checked against the format's ordering and colouring.
#include "compoundfile.h"
#include "gsfhandles.h"
#include "mapi/mapi.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <outsideprograms.h>
#include <toolrun.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

using namespace talvenor::msg;
using cfb::Bytes;
using cfb::Tree;

namespace {

using talvenor::mapi::readLe16;
using talvenor::mapi::readLe32;
using talvenor::mapi::readLe64;

constexpr std::uint64_t Epoch = 116444736000000000ULL;
constexpr std::uint64_t Second = 10000000ULL;

Bytes pattern(std::size_t size, std::uint32_t seed) {
    Bytes b(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& c : b) {
        x = x * 1103515245u + 12345u;
        c = std::uint8_t(x >> 16);
    }
    return b;
}

// What a reader sees at a path: a stream's bytes, or a storage's class id and time.
struct Seen {
    bool storage = false;
    Bytes bytes;
    std::uint64_t modifiedSeconds = 0; // Unix seconds
    bool operator==(const Seen&) const = default;
};
using Contents = std::map<std::string, Seen>;

// A tree to build, recording what the readers must find in it.
class Shape {
public:
    Tree tree;
    Contents expected;
    std::map<Tree::Id, std::string> paths{{Tree::Root, ""}};

    Tree::Id storage(Tree::Id parent, const std::string& name, std::uint64_t unixSeconds = 0) {
        const Tree::Id id = tree.addStorage(parent, name);
        if (unixSeconds)
            tree.setTimes(id, Epoch + unixSeconds * Second, Epoch + unixSeconds * Second);
        paths[id] = paths[parent] + name + "/";
        expected[paths[id]] = {true, {}, unixSeconds};
        return id;
    }
    void stream(Tree::Id parent, const std::string& name, std::size_t size) {
        Bytes b = pattern(size, std::uint32_t(expected.size()));
        expected[paths[parent] + name] = {false, b, 0};
        tree.addStream(parent, name, std::move(b));
    }
};

struct Case {
    const char* name;
    std::function<void(Shape&)> make;
};

const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        {"empty root", [](Shape&) {}},
        {"empty storage", [](Shape& s) { s.storage(Tree::Root, "nothing inside", 1700000000); }},
        {"stream sizes around the sector and cutoff sizes",
         [](Shape& s) {
             for (std::size_t size :
                  {0, 1, 63, 64, 65, 511, 512, 513, 4095, 4096, 4097, 10000, 65536})
                 s.stream(Tree::Root, "size " + std::to_string(size), size);
         }},
        {"a stream large enough for DIFAT sectors",
         [](Shape& s) {
             s.stream(Tree::Root, "big", 20u << 20);
             s.stream(Tree::Root, "small", 10);
             s.stream(s.storage(Tree::Root, "below"), "after the big one", 5000);
         }},
        {"many siblings make deep trees",
         [](Shape& s) {
             for (int i = 0; i < 600; ++i)
                 s.stream(Tree::Root, "stream " + std::to_string(i * 7919 % 1000), i % 300);
             for (int i = 0; i < 130; ++i)
                 s.stream(s.storage(Tree::Root, "st" + std::to_string(i)), "x", 4100);
         }},
        {"names of 31 characters",
         [](Shape& s) {
             const Tree::Id d = s.storage(Tree::Root, std::string(31, 'D'), 1600000000);
             s.stream(d, std::string(31, 's'), 3);
             s.stream(d, std::string(30, 's'), 3);
             s.stream(Tree::Root, std::string(29, 'e') + "\xF0\x9F\x98\x80", 5); // 31 units
         }},
        {"nested storages",
         [](Shape& s) {
             Tree::Id d = Tree::Root;
             for (int depth = 0; depth < 12; ++depth) {
                 d = s.storage(d, "level" + std::to_string(depth), 1500000000 + depth);
                 s.stream(d, "small", 100);
                 s.stream(d, "large", 5000);
             }
         }},
        {"names beyond ASCII order by their upper case",
         [](Shape& s) {
             for (const char* n : {"\x01"
                                   "CompObj",
                                   "\x03ObjInfo",
                                   "Gr\xC3\xB6\xC3\x9F"
                                   "e",
                                   "\xC3\x89"
                                   "clair",
                                   "zebra", "Zz", "a", "B", "\xE2\x82\xAC"})
                 s.stream(Tree::Root, n, 20);
         }},
        {"a mini FAT of several sectors",
         [](Shape& s) {
             for (int i = 0; i < 300; ++i)
                 s.stream(Tree::Root, "m" + std::to_string(i), 100 + i);
         }},
    };
    return all;
}

void readTree(GsfInfile* dir, const std::string& prefix, Contents& out) {
    const int n = gsf_infile_num_children(dir);
    for (int i = 0; i < n; ++i) {
        const std::string name = gsf_infile_name_by_index(dir, i);
        GRef<GsfInput> child(gsf_infile_child_by_index(dir, i));
        ASSERT_TRUE(child) << name;
        const bool isDir =
            GSF_IS_INFILE(child.get()) && gsf_infile_num_children(GSF_INFILE(child.get())) >= 0;
        if (isDir) {
            GDateTime* t = gsf_input_get_modtime(child.get());
            out[prefix + name + "/"] = {true, {}, t ? std::uint64_t(g_date_time_to_unix(t)) : 0};
            readTree(GSF_INFILE(child.get()), prefix + name + "/", out);
            continue;
        }
        Bytes b(std::size_t(gsf_input_size(child.get())));
        if (!b.empty()) {
            ASSERT_TRUE(gsf_input_read(child.get(), b.size(), b.data())) << name;
        }
        out[prefix + name] = {false, std::move(b), 0};
    }
}

// What libgsf reads from the image; fails the test when it cannot open it.
Contents readWithGsf(const Bytes& image, std::uint8_t (&clsid)[16]) {
    GRef<GsfInput> in(gsf_input_memory_new(image.data(), gsf_off_t(image.size()), FALSE));
    GErrorHolder e;
    GRef<GsfInfile> root(gsf_infile_msole_new(in.get(), e.out()));
    Contents out;
    EXPECT_TRUE(root) << e.message();
    if (!root)
        return out;
    EXPECT_TRUE(gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(root.get()), clsid));
    readTree(root.get(), "", out);
    return out;
}

// The faults of the image's sector chains and directory trees: every chain ends within the
// file, each storage's children form a search tree in the format's name order, coloured as a
// red-black tree.
class Structure {
public:
    explicit Structure(const Bytes& image) : f_(image) {}

    std::vector<std::string> faults() {
        if (f_.size() < 512 || f_.size() % 512 != 0)
            return {"the size is not a whole number of sectors"};
        const std::uint32_t sectors = std::uint32_t(f_.size() / 512 - 1);
        check(readLe16(&f_[0x1A]) == 3 && readLe16(&f_[0x1E]) == 9, "not version 3");
        const std::uint32_t fatCount = readLe32(&f_[0x2C]);
        std::vector<std::uint32_t> fatSectors;
        for (std::uint32_t i = 0; i < 109 && i < fatCount; ++i)
            fatSectors.push_back(readLe32(&f_[0x4C + 4 * i]));
        std::uint32_t difat = readLe32(&f_[0x44]);
        for (std::uint32_t d = 0; d < readLe32(&f_[0x48]); ++d) {
            if (!check(difat < sectors, "a DIFAT sector outside the file"))
                return faults_;
            for (std::uint32_t k = 0; k < 127 && fatSectors.size() < fatCount; ++k)
                fatSectors.push_back(readLe32(sector(difat) + 4 * k));
            difat = readLe32(sector(difat) + 508);
        }
        check(difat == 0xFFFFFFFE, "the DIFAT does not end");
        if (!check(fatSectors.size() == fatCount, "FAT sectors missing"))
            return faults_;
        for (std::uint32_t s : fatSectors) {
            if (!check(s < sectors, "a FAT sector outside the file"))
                return faults_;
            for (int k = 0; k < 128; ++k)
                fat_.push_back(readLe32(sector(s) + 4 * k));
        }
        check(fat_.size() >= sectors, "the FAT does not cover the file");
        for (std::uint32_t s : fatSectors)
            check(s < fat_.size() && fat_[s] == 0xFFFFFFFD, "a FAT sector not marked as such");
        Bytes dir = chain(readLe32(&f_[0x30]), 512, f_);
        const Bytes miniFat = chain(readLe32(&f_[0x3C]), 512, f_);
        for (std::size_t at = 0; at + 4 <= miniFat.size(); at += 4)
            miniFatEntries_.push_back(readLe32(&miniFat[at]));
        entries_ = dir.size() / 128;
        dir_ = std::move(dir);
        if (!check(entries_ > 0 && entry(0)[0x42] == 5, "no root entry"))
            return faults_;
        miniStream_ = chain(readLe32(entry(0) + 0x74), 512, f_);
        visited_.assign(entries_, false);
        walkStorage(0);
        return faults_;
    }

private:
    bool check(bool ok, const std::string& fault) {
        if (!ok)
            faults_.push_back(fault);
        return ok;
    }
    const std::uint8_t* sector(std::uint32_t s) const { return &f_[(std::size_t(s) + 1) * 512]; }
    const std::uint8_t* entry(std::uint32_t id) const { return &dir_[std::size_t(id) * 128]; }

    // The bytes of the chain from start in the FAT (or, for 64-byte units, the mini FAT).
    Bytes chain(std::uint32_t start, std::size_t unit, const Bytes& from) {
        Bytes out;
        const std::vector<std::uint32_t>& table = unit == 512 ? fat_ : miniFatEntries_;
        for (std::uint32_t s = start, steps = 0; s != 0xFFFFFFFE; s = table[s], ++steps) {
            const std::size_t at = unit == 512 ? (std::size_t(s) + 1) * 512 : std::size_t(s) * 64;
            if (!check(s < table.size() && at + unit <= from.size() && steps <= table.size(),
                       "a chain leaves the file or loops"))
                break;
            out.insert(out.end(), from.begin() + long(at), from.begin() + long(at + unit));
        }
        return out;
    }

    std::u16string nameOf(std::uint32_t id) const {
        const std::uint8_t* e = entry(id);
        std::u16string n;
        for (std::size_t k = 0; k + 2 < readLe16(e + 0x40); k += 2)
            n.push_back(char16_t(readLe16(e + k)));
        return n;
    }
    static bool before(const std::u16string& a, const std::u16string& b) {
        if (a.size() != b.size())
            return a.size() < b.size();
        for (std::size_t i = 0; i < a.size(); ++i) {
            const char16_t x = QChar(a[i]).toUpper().unicode(), y = QChar(b[i]).toUpper().unicode();
            if (x != y)
                return x < y;
        }
        return false;
    }

    // The black height of the subtree at id (-1 where it is not a red-black tree), its names
    // in order into names.
    int walkSiblings(std::uint32_t id, bool parentRed, std::vector<std::u16string>& names) {
        if (id == 0xFFFFFFFF)
            return 0;
        if (!check(id < entries_ && !visited_[id], "a sibling link is wrong"))
            return -1;
        visited_[id] = true;
        const std::uint8_t* e = entry(id);
        const bool red = e[0x43] == 0;
        check(!(red && parentRed), "a red entry has a red parent");
        const int l = walkSiblings(readLe32(e + 0x44), red, names);
        names.push_back(nameOf(id));
        checkEntry(id);
        const int r = walkSiblings(readLe32(e + 0x48), red, names);
        check(l == r && l >= 0, "the black heights of two subtrees differ");
        return l + (red ? 0 : 1);
    }

    void checkEntry(std::uint32_t id) {
        const std::uint8_t* e = entry(id);
        if (e[0x42] == 1) {
            walkStorage(id);
            return;
        }
        const std::uint64_t size = readLe64(e + 0x78);
        const std::uint32_t start = readLe32(e + 0x74);
        if (size == 0) {
            check(start == 0xFFFFFFFE, "an empty stream has sectors");
        } else if (size < 4096) {
            check(chain(start, 64, miniStream_).size() == (size + 63) / 64 * 64,
                  "a mini chain has the wrong length");
        } else {
            check(chain(start, 512, f_).size() == (size + 511) / 512 * 512,
                  "a chain has the wrong length");
        }
    }

    void walkStorage(std::uint32_t id) {
        const std::uint32_t top = readLe32(entry(id) + 0x4C);
        if (top == 0xFFFFFFFF)
            return;
        check(top >= entries_ || entry(top)[0x43] == 1, "a tree's root is red");
        std::vector<std::u16string> names;
        walkSiblings(top, false, names);
        for (std::size_t i = 1; i < names.size(); ++i)
            check(before(names[i - 1], names[i]), "siblings are out of order");
    }

    const Bytes& f_;
    Bytes dir_, miniStream_;
    std::size_t entries_ = 0;
    std::vector<std::uint32_t> fat_, miniFatEntries_;
    std::vector<bool> visited_;
    std::vector<std::string> faults_;
};

// What a reader saw is what the shape holds: every element, with its bytes and time.
void expectHolds(const Contents& seen, const Contents& expected) {
    EXPECT_EQ(seen.size(), expected.size());
    for (const auto& [path, want] : expected) {
        SCOPED_TRACE(path);
        auto it = seen.find(path);
        ASSERT_NE(it, seen.end());
        EXPECT_EQ(it->second.storage, want.storage);
        EXPECT_TRUE(it->second.bytes == want.bytes);
        if (want.storage && want.modifiedSeconds != 0) {
            EXPECT_EQ(it->second.modifiedSeconds, want.modifiedSeconds);
        }
    }
}

// Builds every shape, passes its image through `route` and reads the result with libgsf: it
// holds what the shape holds, class id included.
template <typename Route> void everyShapeReadsBackThrough(Route route) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        Shape s;
        const std::uint8_t clsid[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
        s.tree.setClassId(Tree::Root, clsid);
        c.make(s);
        const Bytes image = route(s.tree.build());
        std::uint8_t back[16] = {};
        const Contents seen = readWithGsf(image, back);
        EXPECT_TRUE(std::equal(std::begin(clsid), std::end(clsid), std::begin(back)));
        expectHolds(seen, s.expected);
    }
}

TEST(CompoundFile, EveryShapeReadsBackWithLibgsfAndIsWellFormed) {
    everyShapeReadsBackThrough([](Bytes image) {
        EXPECT_EQ(Structure(image).faults(), std::vector<std::string>{});
        return image;
    });
}

// Our reader (for the OLE objects of attachments) copies every shape whole: read back from
// the copy by libgsf, it holds what the original held.
TEST(CompoundFile, EveryShapeCopiesThroughOurReader) {
    everyShapeReadsBackThrough([](const Bytes& image) {
        Tree copy;
        cfb::copyImage(image, copy, Tree::Root, 0);
        return copy.build();
    });
}

// The fuzz target's seeds along its own road: each is read whole, and what our writer makes of
// it reads back to exactly the same image (nothing of the seed is lost on the way).
TEST(CompoundFile, EverySeedCopiesToAFixedPoint) {
    const QDir dir(QStringLiteral(TALVENOR_CFB_CORPUS));
    const QStringList files = dir.entryList(QDir::Files, QDir::Name);
    ASSERT_FALSE(files.isEmpty()) << "no seeds in " << TALVENOR_CFB_CORPUS;
    for (const QString& name : files) {
        SCOPED_TRACE(name.toStdString());
        QFile f(dir.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray raw = f.readAll();
        const Bytes seed(raw.begin(), raw.end());
        Tree first;
        ASSERT_NO_THROW(cfb::copyImage(seed, first, Tree::Root, 0));
        const Bytes once = first.build();
        Tree second;
        ASSERT_NO_THROW(cfb::copyImage(once, second, Tree::Root, 0));
        EXPECT_EQ(second.build(), once);
    }
}

// Damage of every kind gives an error, never a crash, a hang or a huge allocation.
TEST(CompoundFile, DamagedImagesAreRefused) {
    Shape s;
    const Tree::Id d = s.storage(Tree::Root, "dir", 1600000000);
    s.stream(d, "small", 100);
    s.stream(d, "large", 6000);
    s.stream(Tree::Root, "other", 10);
    const Bytes good = s.tree.build();
    const std::uint32_t dirSector = readLe32(&good[0x30]);
    const std::size_t dir = (std::size_t(dirSector) + 1) * 512;
    const auto fatEntry = [&](std::uint32_t sector) { return 512 + 4 * std::size_t(sector); };
    // Entry 1 is "dir", 2 "small", 3 "large", 4 "other", in the order they were added.
    const auto entry = [&](std::uint32_t id) { return dir + 128 * std::size_t(id); };
    const struct {
        const char* what;
        std::function<void(Bytes&)> damage;
    } rows[] = {
        {"cut inside the header", [](Bytes& b) { b.resize(300); }},
        {"no signature", [](Bytes& b) { b[0] = 0; }},
        {"unknown sector size", [](Bytes& b) { b[0x1E] = 10; }},
        {"more FAT sectors than the file",
         [](Bytes& b) { talvenor::mapi::putLe32(&b[0x2C], 5000); }},
        {"a FAT sector beyond the end", [](Bytes& b) { talvenor::mapi::putLe32(&b[0x4C], 4000); }},
        {"the directory's chain loops",
         [&](Bytes& b) { talvenor::mapi::putLe32(&b[fatEntry(dirSector)], dirSector); }},
        {"the directory's chain leaves the file",
         [&](Bytes& b) { talvenor::mapi::putLe32(&b[fatEntry(dirSector)], 3000); }},
        {"the directory is cut off", [&](Bytes& b) { b.resize(dir); }},
        {"a sibling refers to its parent",
         [&](Bytes& b) {
             talvenor::mapi::putLe32(&b[entry(readLe32(&b[entry(0) + 0x4C])) + 0x44], 0);
         }},
        {"a child refers to an entry beyond the directory",
         [&](Bytes& b) { talvenor::mapi::putLe32(&b[entry(1) + 0x4C], 100000); }},
        {"a stream larger than the file",
         [&](Bytes& b) { talvenor::mapi::putLe32(&b[entry(3) + 0x78], 0x7FFFFFFF); }},
        {"a stream longer than its chain",
         [&](Bytes& b) { talvenor::mapi::putLe32(&b[entry(3) + 0x78], 20000); }},
        {"a mini stream beyond the mini stream",
         [&](Bytes& b) { talvenor::mapi::putLe32(&b[entry(2) + 0x74], 5000); }},
        {"a name without characters",
         [&](Bytes& b) { talvenor::mapi::putLe16(&b[entry(4) + 0x40], 0); }},
        {"an unused entry in the tree", [&](Bytes& b) { b[entry(4) + 0x42] = 0; }},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        Bytes bad = good;
        r.damage(bad);
        Tree copy;
        EXPECT_THROW(cfb::copyImage(bad, copy, Tree::Root, 0), cfb::Error);
    }
    Tree copy;
    EXPECT_NO_THROW(cfb::copyImage(good, copy, Tree::Root, 0));
    EXPECT_EQ(copy.size(), 5u);
}

TEST(CompoundFile, LargeFilesCarryTheirFatInDifatSectors) {
    Shape s;
    s.stream(Tree::Root, "big", 20u << 20);
    const Bytes image = s.tree.build();
    // 20 MB need about 320 FAT sectors: 109 in the header, the rest in two DIFAT sectors.
    EXPECT_GT(readLe32(&image[0x2C]), 109u);
    EXPECT_EQ(readLe32(&image[0x48]), 2u);
}

// The file's structures are laid out in memory, but a large stream goes to the file from its
// own bytes: a 300 MB attachment is never copied into an image of the whole file.
TEST(CompoundFile, LargeStreamsGoOutFromTheirOwnBytes) {
    struct Case {
        const char* name;
        std::vector<std::size_t> sizes;
    };
    const Case cases[] = {
        {"a stream at the cutoff", {cfb::MiniStreamCutoff}},
        {"a stream of whole sectors", {8 * cfb::SectorSize}},
        {"a stream ending inside a sector", {(3u << 20) + 7}},
        {"small and large streams mixed", {100, 70000, cfb::MiniStreamCutoff - 1, 5000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Bytes> values;
        Tree tree;
        for (std::size_t i = 0; i < c.sizes.size(); ++i) {
            values.push_back(pattern(c.sizes[i], std::uint32_t(i + 1)));
            tree.addStreamView(Tree::Root, "S" + std::to_string(i), values.back());
        }
        std::vector<std::pair<const std::uint8_t*, std::size_t>> pieces;
        Bytes joined;
        ASSERT_TRUE(tree.write([&](const std::uint8_t* data, std::size_t size) {
            pieces.emplace_back(data, size);
            joined.insert(joined.end(), data, data + size);
            return true;
        }));
        EXPECT_EQ(joined, tree.build());
        std::size_t structures = 0;
        for (const auto& [data, size] : pieces) {
            const bool ownBytes = std::any_of(values.begin(), values.end(), [&](const Bytes& v) {
                return v.data() == data && v.size() == size;
            });
            if (!ownBytes)
                structures += size;
        }
        for (const Bytes& v : values) {
            if (v.size() < cfb::MiniStreamCutoff)
                continue;
            EXPECT_EQ(std::count(pieces.begin(), pieces.end(), std::make_pair(v.data(), v.size())),
                      1);
        }
        EXPECT_LT(structures, std::size_t(64) << 10);
    }
}

TEST(CompoundFile, NamesThatCannotBeStoredAreRefused) {
    const struct {
        const char* what;
        std::string name;
    } rows[] = {
        {"empty", ""},
        {"32 characters", std::string(32, 'x')},
        {"32 UTF-16 units", std::string(30, 'x') + "\xF0\x9F\x98\x80"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        Tree t;
        EXPECT_THROW(t.addStream(Tree::Root, r.name, {}), cfb::Error);
        EXPECT_THROW(t.addStorage(Tree::Root, r.name), cfb::Error);
        EXPECT_EQ(t.size(), 1u);
    }
    Tree t;
    t.addStream(Tree::Root, "a stream", {});
    EXPECT_THROW(t.addStream(1, "below a stream", {}), cfb::Error);
    EXPECT_THROW(t.addStorage(7, "below nothing"), cfb::Error);
}

// olefile reads the raw structure strictly: any defect, not only fatal ones, raises.
TEST(CompoundFile, OlefileReadsEveryShapeStrictly) {
    TALVENOR_NEEDS_OUTSIDE(talvenor::testing::Outside::Olefile);
    const QString python = talvenor::testing::programFor(talvenor::testing::Outside::Olefile);
    QTemporaryDir dir;
    int n = 0;
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        Shape s;
        c.make(s);
        const QString path = dir.filePath(QString::number(n++) + ".cfb");
        {
            const Bytes image = s.tree.build();
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(reinterpret_cast<const char*>(image.data()), qint64(image.size()));
        }
        QStringList expected;
        for (const auto& [p, want] : s.expected) {
            if (want.storage)
                expected << QString::fromStdString("storage " + p.substr(0, p.size() - 1));
            else
                expected << QString::fromStdString("stream " + p + " ") +
                                QCryptographicHash::hash(
                                    QByteArrayView(want.bytes.data(), qsizetype(want.bytes.size())),
                                    QCryptographicHash::Md5)
                                    .toHex();
        }
        expected.sort();
        const auto r = talvenor::testing::runTool(
            python,
            {"-c",
             "import sys, hashlib, olefile\n"
             "o = olefile.OleFileIO(sys.argv[1], raise_defects=olefile.DEFECT_INCORRECT)\n"
             "for e in o.listdir(streams=False, storages=True):\n"
             "    print('storage', '/'.join(e))\n"
             "for e in o.listdir(streams=True, storages=False):\n"
             "    print('stream', '/'.join(e), hashlib.md5(o.openstream(e).read()).hexdigest())\n",
             path},
            120000);
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
        lines.sort();
        EXPECT_EQ(lines, expected);
    }
}

} // namespace
