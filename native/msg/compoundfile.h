// A compound file (the container of .msg files): a tree of storages and streams, turned into
// the bytes of a version-3 file (512-byte sectors) in one pass. Only the file's own structures
// are laid out in memory; large streams go out straight from where their bytes are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace talvenor::msg::cfb {

using Bytes = std::vector<std::uint8_t>;

// A tree that cannot be stored (a name that is empty or too long, a stream above 4 GB), or an
// image that cannot be read.
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

inline constexpr std::size_t MaxNameLength = 31; // UTF-16 code units
inline constexpr std::size_t SectorSize = 512;
inline constexpr std::size_t MiniSectorSize = 64;
inline constexpr std::size_t MiniStreamCutoff = 4096;

class Tree {
public:
    using Id = std::uint32_t;
    static constexpr Id Root = 0;

    Tree();
    // Room for this many storages and streams, so that adding them does not reallocate.
    void reserve(std::size_t entries);

    // Names are UTF-8, at most 31 UTF-16 code units; children of one storage are stored in
    // the order the format asks for, whatever the order they are added in. Throw Error.
    Id addStorage(Id parent, std::string_view name);
    Id addStorage(Id parent, std::u16string_view name);
    // A stream that owns its bytes.
    void addStream(Id parent, std::string_view name, Bytes bytes);
    void addStream(Id parent, std::u16string_view name, Bytes bytes);
    // A stream whose bytes stay where they are: they must outlive every build().
    void addStreamView(Id parent, std::string_view name, const std::uint8_t* data,
                       std::size_t size);
    void addStreamView(Id parent, std::string_view name, const Bytes& bytes) {
        addStreamView(parent, name, bytes.data(), bytes.size());
    }

    // For storages and the root: the class id as stored on disk, and the times (FILETIMEs,
    // 0 for none; the root's creation time is always 0).
    void setClassId(Id storage, const std::uint8_t (&clsid)[16]);
    void setTimes(Id storage, std::uint64_t created, std::uint64_t modified);

    std::size_t size() const { return nodes_.size(); }

    // Takes the file's bytes in order; false stops the writing.
    using Out = std::function<bool(const std::uint8_t* data, std::size_t size)>;
    // Hands the file's bytes to out: the header, the allocation tables, the directory and the
    // small streams as one piece, then each large stream from its own bytes (and the zeros
    // that fill its last sector). False when out refused a piece. Throws Error when a stream
    // is too large for the format.
    bool write(const Out& out) const;
    // The same pieces, all at once (valid only during the call), so that a file can take them
    // in one system call.
    struct Piece {
        const std::uint8_t* data;
        std::size_t size;
    };
    using OutAll = std::function<bool(std::span<const Piece> pieces)>;
    bool writeAll(const OutAll& out) const;
    // The file's bytes, all in one buffer.
    Bytes build() const;

private:
    enum class Kind : std::uint8_t { Root = 5, Storage = 1, Stream = 2 };
    struct Node {
        char16_t name[MaxNameLength + 1];
        std::uint8_t nameLength = 0;
        Kind kind = Kind::Stream;
        std::uint8_t clsid[16] = {};
        Id parent = 0;
        std::uint32_t owned = NotOwned; // index into owned_
        std::uint64_t created = 0, modified = 0;
        const std::uint8_t* data = nullptr;
        std::size_t size = 0;
    };
    static constexpr std::uint32_t NotOwned = 0xFFFFFFFF;

    Node& add(Id parent, std::string_view name, Kind kind);
    Node& add(Id parent, std::u16string_view name, Kind kind);
    Node& named(Id parent, Node& n, std::size_t length, Kind kind);
    void own(Node& n, Bytes bytes);
    Node& storage(Id id);
    const std::uint8_t* bytesOf(const Node& n) const {
        return n.owned == NotOwned ? n.data : owned_[n.owned].data();
    }
    // The order of siblings in a storage's tree: shorter names first, then by upper case.
    static bool nameLess(const Node& a, const Node& b);

    std::vector<Node> nodes_;
    std::vector<Bytes> owned_;
};

// Copies the storages and streams of a compound-file image (version 3 or 4) below the storage
// to, with their class ids and times; the image's root class id goes to to itself. Storages
// without a time get stamp. The image is untrusted: every read is checked against its bounds,
// chains that loop or leave it and directories that nest beyond 64 storages throw Error.
void copyImage(std::span<const std::uint8_t> image, Tree& tree, Tree::Id to, std::uint64_t stamp);

} // namespace talvenor::msg::cfb
