// The reading half of the compound-file format, for the OLE objects that attachments carry:
// their bytes come from a mail store and may be anything.
#include "compoundfile.h"

#include <cstring>
#include <string>

namespace talvenor::msg::cfb {

namespace {

constexpr std::uint8_t Signature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr std::size_t HeaderSize = 512;
constexpr std::size_t HeaderFatSlots = 109;
constexpr std::size_t EntrySize = 128;
constexpr std::uint32_t MaxRegularSector = 0xFFFFFFFA;
constexpr std::uint32_t EndOfChain = 0xFFFFFFFE;
constexpr std::uint32_t NoStream = 0xFFFFFFFF;
constexpr int MaxDepth = 64;

[[noreturn]] void damaged(const std::string& what) {
    throw Error("the compound file is damaged: " + what);
}

// Bytes with every read checked against their end.
class View {
public:
    View() = default;
    explicit View(std::span<const std::uint8_t> b) : b_(b) {}
    std::size_t size() const { return b_.size(); }
    const std::uint8_t* at(std::size_t offset, std::size_t length) const {
        if (offset > b_.size() || length > b_.size() - offset)
            damaged("a structure lies beyond the end");
        return b_.data() + offset;
    }
    std::uint16_t le16(std::size_t offset) const {
        const std::uint8_t* p = at(offset, 2);
        return std::uint16_t(p[0] | (p[1] << 8));
    }
    std::uint32_t le32(std::size_t offset) const {
        const std::uint8_t* p = at(offset, 4);
        return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
               (std::uint32_t(p[3]) << 24);
    }
    std::uint64_t le64(std::size_t offset) const {
        return le32(offset) | (std::uint64_t(le32(offset + 4)) << 32);
    }

private:
    std::span<const std::uint8_t> b_;
};

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> image) : file_(image) {
        if (image.size() < HeaderSize || std::memcmp(image.data(), Signature, 8) != 0)
            damaged("no compound-file header");
        const std::uint16_t shift = file_.le16(0x1E);
        if ((shift != 9 && shift != 12) || file_.le16(0x20) != 6)
            damaged("unknown sector sizes");
        sectorSize_ = std::size_t(1) << shift;
        version4_ = shift == 12;
        sectors_ = (image.size() + sectorSize_ - 1) / sectorSize_ - 1;
        cutoff_ = file_.le32(0x38);
        loadFat();
        dir_ = chain(file_.le32(0x30), sectorSize_, fat_, file_);
        const View dir(dir_);
        if (dir.size() < EntrySize || dir.at(0, EntrySize)[0x42] != 5)
            damaged("no root entry");
        miniFatBytes_ = chain(file_.le32(0x3C), sectorSize_, fat_, file_);
        const View miniFat(miniFatBytes_);
        for (std::size_t at = 0; at + 4 <= miniFat.size(); at += 4)
            miniFat_.push_back(miniFat.le32(at));
        miniStream_ = chain(dir.le32(0x74), sectorSize_, fat_, file_);
        if (miniStream_.size() > streamSize(0))
            miniStream_.resize(streamSize(0));
    }

    void copy(Tree& tree, Tree::Id to, std::uint64_t stamp) {
        visited_.assign(dir_.size() / EntrySize, false);
        visited_[0] = true;
        copyClassId(tree, to, 0);
        copyChildren(tree, to, 0, stamp, 0);
    }

private:
    void loadFat() {
        const std::uint32_t count = file_.le32(0x2C);
        if (count > sectors_)
            damaged("more FAT sectors than the file holds");
        std::vector<std::uint32_t> fatSectors;
        fatSectors.reserve(count);
        for (std::size_t i = 0; i < HeaderFatSlots && fatSectors.size() < count; ++i)
            fatSectors.push_back(file_.le32(0x4C + 4 * i));
        const std::size_t perDifat = sectorSize_ / 4 - 1;
        std::uint32_t difat = file_.le32(0x44);
        for (std::size_t steps = 0; fatSectors.size() < count; ++steps) {
            if (difat >= sectors_ || steps > sectors_)
                damaged("the DIFAT leaves the file");
            const std::size_t base = offsetOf(difat);
            for (std::size_t k = 0; k < perDifat && fatSectors.size() < count; ++k)
                fatSectors.push_back(file_.le32(base + 4 * k));
            difat = file_.le32(base + 4 * perDifat);
        }
        fat_.reserve(count * (sectorSize_ / 4));
        for (std::uint32_t s : fatSectors) {
            if (s >= sectors_)
                damaged("a FAT sector lies beyond the end");
            const std::size_t base = offsetOf(s);
            for (std::size_t k = 0; k < sectorSize_ / 4; ++k)
                fat_.push_back(file_.le32(base + 4 * k));
        }
    }

    std::size_t offsetOf(std::uint32_t sector) const {
        return (std::size_t(sector) + 1) * sectorSize_;
    }

    // The units of a chain one after another; the last one of the file may be cut short.
    Bytes chain(std::uint32_t start, std::size_t unit, const std::vector<std::uint32_t>& table,
                const View& from) const {
        Bytes out;
        const bool mini = unit != sectorSize_;
        // A chain names each unit of the file at most once.
        const std::size_t most = std::min(table.size(), from.size() / unit + 1);
        for (std::size_t steps = 0; start != EndOfChain; ++steps) {
            if (start >= MaxRegularSector || start >= table.size() || steps >= most)
                damaged("a chain of sectors leaves the file or loops");
            const std::size_t offset = mini ? std::size_t(start) * unit : offsetOf(start);
            if (offset >= from.size())
                damaged("a sector lies beyond the end");
            const std::size_t length = std::min(unit, from.size() - offset);
            const std::uint8_t* p = from.at(offset, length);
            out.insert(out.end(), p, p + length);
            start = table[start];
        }
        return out;
    }

    const std::uint8_t* entry(std::uint32_t id) const {
        return View(dir_).at(std::size_t(id) * EntrySize, EntrySize);
    }
    std::uint64_t streamSize(std::uint32_t id) const {
        const View e({entry(id), EntrySize});
        // Version 3 files may leave garbage in the upper half.
        return version4_ ? e.le64(0x78) : e.le32(0x78);
    }
    void copyClassId(Tree& tree, Tree::Id to, std::uint32_t id) const {
        std::uint8_t clsid[16];
        std::memcpy(clsid, entry(id) + 0x50, sizeof clsid);
        tree.setClassId(to, clsid);
    }

    std::u16string nameOf(std::uint32_t id) const {
        const View e({entry(id), EntrySize});
        const std::size_t bytes = e.le16(0x40);
        if (bytes < 4 || bytes > 64 || bytes % 2 != 0)
            damaged("an entry has no name");
        std::u16string name;
        for (std::size_t k = 0; k + 2 < bytes; k += 2)
            name.push_back(char16_t(e.le16(k)));
        return name;
    }

    Bytes streamBytes(std::uint32_t id) {
        const std::uint64_t size = streamSize(id);
        // The streams of a sound file share no bytes: together they fit in it.
        if (size > budget_)
            damaged("its streams are larger than the file");
        budget_ -= size;
        const std::uint32_t start = View({entry(id), EntrySize}).le32(0x74);
        if (size == 0)
            return {};
        Bytes b = size < cutoff_ ? chain(start, 64, miniFat_, View(miniStream_))
                                 : chain(start, sectorSize_, fat_, file_);
        if (b.size() < size)
            damaged("a stream is shorter than its size");
        b.resize(std::size_t(size));
        return b;
    }

    // The entries of the sibling tree below storage parent, each once.
    void copyChildren(Tree& tree, Tree::Id to, std::uint32_t parent, std::uint64_t stamp,
                      int depth) {
        if (depth > MaxDepth)
            damaged("its storages are nested too deeply");
        std::vector<std::uint32_t> pending{View({entry(parent), EntrySize}).le32(0x4C)};
        while (!pending.empty()) {
            const std::uint32_t id = pending.back();
            pending.pop_back();
            if (id == NoStream)
                continue;
            if (id >= visited_.size() || visited_[id])
                damaged("its directory refers to an entry twice or to none");
            visited_[id] = true;
            const View e({entry(id), EntrySize});
            pending.push_back(e.le32(0x44));
            pending.push_back(e.le32(0x48));
            const std::uint8_t type = e.at(0x42, 1)[0];
            if (type == 2) {
                tree.addStream(to, nameOf(id), streamBytes(id));
            } else if (type == 1) {
                const Tree::Id sub = tree.addStorage(to, nameOf(id));
                const std::uint64_t created = e.le64(0x64), modified = e.le64(0x6C);
                tree.setTimes(sub, created ? created : stamp, modified ? modified : stamp);
                copyClassId(tree, sub, id);
                copyChildren(tree, sub, id, stamp, depth + 1);
            } else {
                damaged("its directory refers to an unused entry");
            }
        }
    }

    View file_;
    std::size_t sectorSize_ = 512;
    bool version4_ = false;
    std::size_t sectors_ = 0;
    std::uint64_t cutoff_ = 4096;
    std::vector<std::uint32_t> fat_, miniFat_;
    Bytes dir_, miniFatBytes_, miniStream_;
    std::vector<bool> visited_;
    std::uint64_t budget_ = file_.size();
};

} // namespace

void copyImage(std::span<const std::uint8_t> image, Tree& tree, Tree::Id to, std::uint64_t stamp) {
    Reader(image).copy(tree, to, stamp);
}

} // namespace talvenor::msg::cfb
