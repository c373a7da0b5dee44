#include "directorytimes.h"

#include "mapi/mapi.h"

#include <cerrno>
#include <cstring>
#include <vector>

namespace talvenor::msg {

namespace {

constexpr std::uint8_t Signature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr std::size_t HeaderSize = 512;
constexpr std::size_t HeaderFatSlots = 109;
constexpr std::size_t DirEntrySize = 128;
constexpr std::uint32_t MaxRegularSector = 0xFFFFFFFA;
constexpr std::uint8_t TypeStorage = 1;
constexpr std::uint8_t TypeRoot = 5;
constexpr std::size_t TypeOffset = 0x42;
constexpr std::size_t CreatedOffset = 0x64;
constexpr std::size_t ModifiedOffset = 0x6C;

bool malformed() {
    errno = EIO;
    return false;
}

class Layout {
public:
    explicit Layout(OutputSink& file) : file_(file) {}

    bool load() {
        std::uint8_t h[HeaderSize];
        if (!file_.read(0, h, sizeof h))
            return false;
        const std::uint16_t shift = mapi::readLe16(h + 0x1E);
        if (std::memcmp(h, Signature, sizeof Signature) != 0 || (shift != 9 && shift != 12))
            return malformed();
        shift_ = shift;
        const std::uint32_t fatCount = mapi::readLe32(h + 0x2C);
        dirStart_ = mapi::readLe32(h + 0x30);
        std::uint32_t difat = mapi::readLe32(h + 0x44);
        const std::uint32_t difatCount = mapi::readLe32(h + 0x48);
        for (std::size_t i = 0; i < HeaderFatSlots && fat_.size() < fatCount; ++i)
            fat_.push_back(mapi::readLe32(h + 0x4C + 4 * i));
        std::vector<std::uint8_t> sector(sectorSize());
        for (std::uint32_t d = 0; d < difatCount && fat_.size() < fatCount; ++d) {
            if (difat >= MaxRegularSector || !read(difat, sector))
                return difat >= MaxRegularSector ? malformed() : false;
            const std::size_t idsPerSector = sectorSize() / 4 - 1;
            for (std::size_t i = 0; i < idsPerSector && fat_.size() < fatCount; ++i)
                fat_.push_back(mapi::readLe32(&sector[4 * i]));
            difat = mapi::readLe32(&sector[4 * idsPerSector]);
        }
        return fat_.size() == fatCount || malformed();
    }

    std::size_t sectorSize() const { return std::size_t(1) << shift_; }
    std::uint32_t dirStart() const { return dirStart_; }

    bool read(std::uint32_t sector, std::vector<std::uint8_t>& out) {
        return file_.read(offset(sector), out.data(), out.size());
    }
    bool write(std::uint32_t sector, const std::vector<std::uint8_t>& bytes) {
        return file_.seek(offset(sector)) && file_.write(bytes.data(), bytes.size());
    }
    bool next(std::uint32_t sector, std::uint32_t& out) {
        const std::size_t perSector = sectorSize() / 4;
        const std::size_t index = sector / perSector;
        if (index >= fat_.size() || fat_[index] >= MaxRegularSector)
            return malformed();
        std::uint8_t b[4];
        if (!file_.read(offset(fat_[index]) + std::int64_t(4 * (sector % perSector)), b, 4))
            return false;
        out = mapi::readLe32(b);
        return true;
    }

private:
    std::int64_t offset(std::uint32_t sector) const { return (std::int64_t(sector) + 1) << shift_; }

    OutputSink& file_;
    std::uint16_t shift_ = 9;
    std::uint32_t dirStart_ = 0;
    std::vector<std::uint32_t> fat_;
};

// Sets the time at offset when it is zero; true when it changed.
bool fill(std::uint8_t* entry, std::size_t offset, std::uint64_t stamp) {
    if (mapi::readLe64(entry + offset) != 0)
        return false;
    mapi::putLe64(entry + offset, stamp);
    return true;
}

} // namespace

bool stampStorageTimes(OutputSink& file, std::uint64_t stamp) {
    Layout layout(file);
    if (!layout.load())
        return false;
    std::vector<std::uint8_t> sector(layout.sectorSize());
    // A chain longer than the sectors the FAT can name is a loop.
    std::size_t left = std::size_t(1) << 24;
    for (std::uint32_t s = layout.dirStart(); s < MaxRegularSector; --left) {
        if (left == 0)
            return malformed();
        if (!layout.read(s, sector))
            return false;
        bool changed = false;
        for (std::size_t at = 0; at + DirEntrySize <= sector.size(); at += DirEntrySize) {
            std::uint8_t* entry = &sector[at];
            if (entry[TypeOffset] == TypeStorage) {
                changed |= fill(entry, CreatedOffset, stamp);
                changed |= fill(entry, ModifiedOffset, stamp);
            } else if (entry[TypeOffset] == TypeRoot) {
                changed |= fill(entry, ModifiedOffset, stamp);
            }
        }
        if (changed && !layout.write(s, sector))
            return false;
        if (!layout.next(s, s))
            return false;
    }
    return true;
}

} // namespace talvenor::msg
