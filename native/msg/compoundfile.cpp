#include "compoundfile.h"

#include "mapi/mapi.h"

#include <QChar>

#include <algorithm>
#include <cstring>
#include <string>

namespace talvenor::msg::cfb {

namespace {

constexpr std::uint8_t Signature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr std::size_t HeaderFatSlots = 109;
constexpr std::size_t EntrySize = 128;
constexpr std::size_t IdsPerSector = SectorSize / 4;
constexpr std::size_t EntriesPerSector = SectorSize / EntrySize;
constexpr std::uint32_t DifatSect = 0xFFFFFFFC;
constexpr std::uint32_t FatSect = 0xFFFFFFFD;
constexpr std::uint32_t EndOfChain = 0xFFFFFFFE;
constexpr std::uint32_t FreeSect = 0xFFFFFFFF;
constexpr std::uint32_t NoStream = 0xFFFFFFFF;
constexpr std::uint8_t Red = 0, Black = 1;

using mapi::putLe16;
using mapi::putLe32;
using mapi::putLe64;

std::size_t ceilDiv(std::size_t a, std::size_t b) {
    return (a + b - 1) / b;
}

char16_t upper(char16_t c) {
    if (c < 0x80)
        return c >= 'a' && c <= 'z' ? char16_t(c - 'a' + 'A') : c;
    return char16_t(QChar::toUpper(char32_t(c)));
}

// Decodes UTF-8 into at most MaxNameLength UTF-16 units (a bad sequence becomes U+FFFD);
// returns the number of units, or more than MaxNameLength when the name does not fit.
std::size_t toUtf16(std::string_view in, char16_t (&out)[MaxNameLength + 1]) {
    std::size_t n = 0;
    const auto append = [&](char16_t u) {
        if (n < MaxNameLength)
            out[n] = u;
        ++n;
    };
    for (std::size_t i = 0; i < in.size();) {
        const auto b = std::uint8_t(in[i]);
        std::size_t len = b < 0x80         ? 1
                          : (b >> 5) == 6  ? 2
                          : (b >> 4) == 14 ? 3
                          : (b >> 3) == 30 ? 4
                                           : 0;
        char32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
        bool ok = len != 0 && i + len <= in.size();
        for (std::size_t k = 1; ok && k < len; ++k) {
            const auto c = std::uint8_t(in[i + k]);
            ok = (c & 0xC0) == 0x80;
            cp = (cp << 6) | (c & 0x3F);
        }
        constexpr char32_t Least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (!ok || cp < Least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) {
            append(u'\uFFFD');
            i += 1;
            continue;
        }
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            append(char16_t(0xD800 + (cp >> 10)));
            append(char16_t(0xDC00 + (cp & 0x3FF)));
        } else {
            append(char16_t(cp));
        }
    }
    return n;
}

} // namespace

Tree::Tree() {
    Node& root = nodes_.emplace_back();
    const char16_t name[] = u"Root Entry";
    std::copy(std::begin(name), std::end(name), root.name);
    root.nameLength = std::uint8_t(std::size(name) - 1);
    root.kind = Kind::Root;
}

void Tree::reserve(std::size_t entries) {
    nodes_.reserve(entries + 1);
}

Tree::Node& Tree::storage(Id id) {
    if (id >= nodes_.size() || nodes_[id].kind == Kind::Stream)
        throw Error("no storage " + std::to_string(id) + " in the compound file");
    return nodes_[id];
}

Tree::Node& Tree::add(Id parent, std::string_view name, Kind kind) {
    Node n;
    const std::size_t length = toUtf16(name, n.name);
    if (length == 0 || length > MaxNameLength)
        throw Error("the name \"" + std::string(name) +
                    "\" cannot be stored in a compound file (1 to 31 characters)");
    return named(parent, n, length, kind);
}

Tree::Node& Tree::add(Id parent, std::u16string_view name, Kind kind) {
    Node n;
    if (name.empty() || name.size() > MaxNameLength)
        throw Error("a name of " + std::to_string(name.size()) +
                    " characters cannot be stored in a compound file (1 to 31)");
    std::copy(name.begin(), name.end(), n.name);
    return named(parent, n, name.size(), kind);
}

Tree::Node& Tree::named(Id parent, Node& n, std::size_t length, Kind kind) {
    storage(parent);
    n.nameLength = std::uint8_t(length);
    n.name[length] = 0;
    n.kind = kind;
    n.parent = parent;
    return nodes_.emplace_back(n);
}

Tree::Id Tree::addStorage(Id parent, std::string_view name) {
    add(parent, name, Kind::Storage);
    return Id(nodes_.size() - 1);
}

Tree::Id Tree::addStorage(Id parent, std::u16string_view name) {
    add(parent, name, Kind::Storage);
    return Id(nodes_.size() - 1);
}

void Tree::own(Node& n, Bytes bytes) {
    n.size = bytes.size();
    n.owned = std::uint32_t(owned_.size());
    owned_.push_back(std::move(bytes));
}

void Tree::addStream(Id parent, std::string_view name, Bytes bytes) {
    own(add(parent, name, Kind::Stream), std::move(bytes));
}

void Tree::addStream(Id parent, std::u16string_view name, Bytes bytes) {
    own(add(parent, name, Kind::Stream), std::move(bytes));
}

void Tree::addStreamView(Id parent, std::string_view name, const std::uint8_t* data,
                         std::size_t size) {
    Node& n = add(parent, name, Kind::Stream);
    n.data = data;
    n.size = size;
}

void Tree::setClassId(Id id, const std::uint8_t (&clsid)[16]) {
    std::memcpy(storage(id).clsid, clsid, sizeof clsid);
}

void Tree::setTimes(Id id, std::uint64_t created, std::uint64_t modified) {
    Node& n = storage(id);
    n.created = n.kind == Kind::Root ? 0 : created;
    n.modified = modified;
}

bool Tree::nameLess(const Node& a, const Node& b) {
    if (a.nameLength != b.nameLength)
        return a.nameLength < b.nameLength;
    for (std::size_t i = 0; i < a.nameLength; ++i) {
        const char16_t x = upper(a.name[i]), y = upper(b.name[i]);
        if (x != y)
            return x < y;
    }
    return false;
}

bool Tree::write(const Out& out) const {
    return writeAll([&out](std::span<const Piece> pieces) {
        for (const Piece& p : pieces)
            if (!out(p.data, p.size))
                return false;
        return true;
    });
}

bool Tree::writeAll(const OutAll& write) const {
    const std::size_t count = nodes_.size();

    // The children of each storage, sorted, each storage's range in one array.
    std::vector<std::uint32_t> first(count + 1, 0);
    for (std::size_t i = 1; i < count; ++i)
        ++first[nodes_[i].parent + 1];
    for (std::size_t i = 0; i < count; ++i)
        first[i + 1] += first[i];
    std::vector<Id> kids(count > 0 ? count - 1 : 0);
    {
        std::vector<std::uint32_t> fill(first.begin(), first.end() - 1);
        for (std::size_t i = 1; i < count; ++i)
            kids[fill[nodes_[i].parent]++] = Id(i);
    }
    // Equal names (which the format forbids) keep the order they were added in.
    const auto byName = [this](Id a, Id b) {
        return nameLess(nodes_[a], nodes_[b]) || (!nameLess(nodes_[b], nodes_[a]) && a < b);
    };

    // Each storage's children become a balanced search tree: its levels are full but for
    // the deepest, which is coloured red and the rest black, so that it is a red-black tree.
    std::vector<std::uint32_t> left(count, NoStream), right(count, NoStream),
        child(count, NoStream);
    std::vector<std::uint8_t> colour(count, Black);
    const auto balance = [&](auto& self, std::size_t lo, std::size_t hi, unsigned depth,
                             unsigned deepest) -> std::uint32_t {
        if (lo >= hi)
            return NoStream;
        const std::size_t mid = lo + (hi - lo) / 2;
        const Id id = kids[mid];
        if (depth == deepest && depth > 0)
            colour[id] = Red;
        left[id] = self(self, lo, mid, depth + 1, deepest);
        right[id] = self(self, mid + 1, hi, depth + 1, deepest);
        return id;
    };
    for (std::size_t s = 0; s < count; ++s) {
        const std::size_t lo = first[s], hi = first[s + 1];
        if (lo == hi)
            continue;
        std::sort(kids.begin() + long(lo), kids.begin() + long(hi), byName);
        unsigned deepest = 0;
        while ((std::size_t(2) << deepest) <= hi - lo)
            ++deepest;
        child[s] = balance(balance, lo, hi, 0, deepest);
    }

    // Where each stream goes: below the cutoff into the mini stream, else into sectors.
    std::vector<std::uint32_t> start(count, 0);
    std::size_t miniSectors = 0, bigSectors = 0;
    for (std::size_t i = 1; i < count; ++i) {
        const Node& n = nodes_[i];
        if (n.kind != Kind::Stream)
            continue;
        if (n.size > 0xFFFFFFFFu)
            throw Error("a stream of more than 4 GB cannot be stored in a compound file");
        if (n.size == 0) {
            start[i] = EndOfChain;
        } else if (n.size < MiniStreamCutoff) {
            start[i] = std::uint32_t(miniSectors);
            miniSectors += ceilDiv(n.size, MiniSectorSize);
        } else {
            start[i] = std::uint32_t(bigSectors); // relative for now
            bigSectors += ceilDiv(n.size, SectorSize);
        }
    }
    const std::size_t miniStreamSectors = ceilDiv(miniSectors * MiniSectorSize, SectorSize);
    const std::size_t miniFatSectors = ceilDiv(miniSectors, IdsPerSector);
    const std::size_t dirSectors = ceilDiv(count, EntriesPerSector);
    const std::size_t dataSectors = miniFatSectors + dirSectors + miniStreamSectors + bigSectors;
    // The FAT names its own sectors and the DIFAT's as well as the data.
    std::size_t fatSectors = 1, difatSectors = 0;
    while (true) {
        difatSectors = fatSectors > HeaderFatSlots
                           ? ceilDiv(fatSectors - HeaderFatSlots, IdsPerSector - 1)
                           : 0;
        const std::size_t need = ceilDiv(dataSectors + fatSectors + difatSectors, IdsPerSector);
        if (need <= fatSectors)
            break;
        fatSectors = need;
    }
    const std::size_t difatStart = fatSectors;
    const std::size_t miniFatStart = difatStart + difatSectors;
    const std::size_t dirStart = miniFatStart + miniFatSectors;
    const std::size_t miniStreamStart = dirStart + dirSectors;
    const std::size_t bigStart = miniStreamStart + miniStreamSectors;

    // Everything before the large streams; they follow it, each from its own bytes.
    Bytes out((bigStart + 1) * SectorSize, 0);
    const auto sector = [&](std::size_t s) { return out.data() + (s + 1) * SectorSize; };

    std::uint8_t* h = out.data();
    std::memcpy(h, Signature, sizeof Signature);
    putLe16(h + 0x18, 0x003E); // minor version
    putLe16(h + 0x1A, 0x0003); // major version: 512-byte sectors
    putLe16(h + 0x1C, 0xFFFE); // little-endian
    putLe16(h + 0x1E, 9);      // sector shift
    putLe16(h + 0x20, 6);      // mini sector shift
    putLe32(h + 0x2C, std::uint32_t(fatSectors));
    putLe32(h + 0x30, std::uint32_t(dirStart));
    putLe32(h + 0x38, std::uint32_t(MiniStreamCutoff));
    putLe32(h + 0x3C, miniFatSectors ? std::uint32_t(miniFatStart) : EndOfChain);
    putLe32(h + 0x40, std::uint32_t(miniFatSectors));
    putLe32(h + 0x44, difatSectors ? std::uint32_t(difatStart) : EndOfChain);
    putLe32(h + 0x48, std::uint32_t(difatSectors));
    for (std::size_t i = 0; i < HeaderFatSlots; ++i)
        putLe32(h + 0x4C + 4 * i, i < fatSectors ? std::uint32_t(i) : FreeSect);

    // The DIFAT beyond the header: 127 FAT sector numbers and the next DIFAT sector each.
    for (std::size_t d = 0; d < difatSectors; ++d) {
        std::uint8_t* p = sector(difatStart + d);
        for (std::size_t k = 0; k < IdsPerSector - 1; ++k) {
            const std::size_t fat = HeaderFatSlots + d * (IdsPerSector - 1) + k;
            putLe32(p + 4 * k, fat < fatSectors ? std::uint32_t(fat) : FreeSect);
        }
        putLe32(p + SectorSize - 4,
                d + 1 < difatSectors ? std::uint32_t(difatStart + d + 1) : EndOfChain);
    }

    // The FAT: its own and the DIFAT's sectors marked, every other region one chain.
    {
        std::uint8_t* fat = sector(0);
        std::size_t at = 0;
        const auto mark = [&](std::uint32_t v) {
            putLe32(fat + 4 * at, v);
            ++at;
        };
        for (std::size_t i = 0; i < fatSectors; ++i)
            mark(FatSect);
        for (std::size_t i = 0; i < difatSectors; ++i)
            mark(DifatSect);
        const auto chain = [&](std::size_t length) {
            for (std::size_t i = 1; i <= length; ++i)
                mark(i == length ? EndOfChain : std::uint32_t(at + 1));
        };
        chain(miniFatSectors);
        chain(dirSectors);
        chain(miniStreamSectors);
        for (std::size_t i = 1; i < count; ++i)
            if (nodes_[i].kind == Kind::Stream && nodes_[i].size >= MiniStreamCutoff)
                chain(ceilDiv(nodes_[i].size, SectorSize));
        while (at < fatSectors * IdsPerSector)
            mark(FreeSect);
    }

    // The mini FAT and the mini stream, and the large streams in their sectors.
    {
        std::uint8_t* miniFat = miniFatSectors ? sector(miniFatStart) : nullptr;
        std::size_t at = 0;
        for (std::size_t i = 1; i < count; ++i) {
            const Node& n = nodes_[i];
            if (n.kind != Kind::Stream || n.size == 0)
                continue;
            if (n.size < MiniStreamCutoff) {
                std::memcpy(sector(miniStreamStart) + start[i] * MiniSectorSize, bytesOf(n),
                            n.size);
                const std::size_t length = ceilDiv(n.size, MiniSectorSize);
                for (std::size_t k = 1; k <= length; ++k, ++at)
                    putLe32(miniFat + 4 * at, k == length ? EndOfChain : std::uint32_t(at + 1));
            } else {
                start[i] += std::uint32_t(bigStart);
            }
        }
        for (; at < miniFatSectors * IdsPerSector; ++at)
            putLe32(miniFat + 4 * at, FreeSect);
    }

    // The directory, then unused entries up to the end of its last sector.
    for (std::size_t i = 0; i < dirSectors * EntriesPerSector; ++i) {
        std::uint8_t* e = sector(dirStart) + i * EntrySize;
        putLe32(e + 0x44, NoStream);
        putLe32(e + 0x48, NoStream);
        putLe32(e + 0x4C, NoStream);
        if (i >= count)
            continue;
        const Node& n = nodes_[i];
        for (std::size_t k = 0; k < n.nameLength; ++k)
            putLe16(e + 2 * k, n.name[k]);
        putLe16(e + 0x40, std::uint16_t(2 * (n.nameLength + 1)));
        e[0x42] = std::uint8_t(n.kind);
        e[0x43] = colour[i];
        putLe32(e + 0x44, left[i]);
        putLe32(e + 0x48, right[i]);
        if (n.kind == Kind::Stream) {
            putLe32(e + 0x74, start[i]);
            putLe64(e + 0x78, n.size);
            continue;
        }
        putLe32(e + 0x4C, child[i]);
        std::memcpy(e + 0x50, n.clsid, sizeof n.clsid);
        putLe64(e + 0x64, n.created);
        putLe64(e + 0x6C, n.modified);
        if (n.kind == Kind::Root) {
            putLe32(e + 0x74, miniSectors ? std::uint32_t(miniStreamStart) : EndOfChain);
            putLe64(e + 0x78, miniSectors * MiniSectorSize);
        }
    }
    // The large streams in the order the FAT chains them, each filling its last sector.
    static constexpr std::uint8_t Zeros[SectorSize] = {};
    std::vector<Piece> pieces{{out.data(), out.size()}};
    for (std::size_t i = 1; i < count; ++i) {
        const Node& n = nodes_[i];
        if (n.kind != Kind::Stream || n.size < MiniStreamCutoff)
            continue;
        pieces.push_back({bytesOf(n), n.size});
        if (const std::size_t fill = (SectorSize - n.size % SectorSize) % SectorSize)
            pieces.push_back({Zeros, fill});
    }
    return write(pieces);
}

Bytes Tree::build() const {
    Bytes out;
    write([&out](const std::uint8_t* data, std::size_t size) {
        out.insert(out.end(), data, data + size);
        return true;
    });
    return out;
}

} // namespace talvenor::msg::cfb
