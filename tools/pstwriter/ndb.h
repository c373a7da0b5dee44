// The node database layer of a PST file: blocks, pages, allocation maps, the node and block
// B-trees and the header. Blocks are written to disk as soon as they are handed over; only a
// compact index entry per block and per node stays in memory until finish() builds the trees.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace talvenor::pstwriter {

// Unicode and Ansi are personal-folders layouts with 512-byte pages; Ost4k is the offline
// store's 64-bit layout with 4 KiB pages, Unicode strings throughout.
enum class Format { Unicode, Ansi, Ost4k };
enum class Encoding { None, Compressible, Cyclic };

using Bytes = std::vector<std::uint8_t>;

std::uint32_t pstCrc(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0);
// One byte of an external block stored with the "compressible" encoding, as it was written.
std::uint8_t decodeCompressible(std::uint8_t stored);

// Owns a file descriptor; closes it on destruction.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd) : fd_(fd) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    FileHandle(FileHandle&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    FileHandle& operator=(FileHandle&& o) noexcept;
    ~FileHandle();
    int get() const { return fd_; }
    void close();

private:
    int fd_ = -1;
};

class NdbWriter {
public:
    NdbWriter(Format format, Encoding encoding, FileHandle file);

    Format format() const { return format_; }
    bool unicode() const { return format_ != Format::Ansi; }
    // The code page 8-bit strings are written in.
    std::uint32_t codePage() const { return codePage_; }
    void setCodePage(std::uint32_t codePage) { codePage_ = codePage; }
    // Whether every string is stored with its terminator, as other writers leave them.
    bool terminators() const { return terminators_; }
    void setTerminators(bool terminators) { terminators_ = terminators; }
    // Whether the B-tree pages are spread among the data, two in every allocation interval, as
    // a store that grew over years has them (the rest follow the data, as without).
    void setSpreadPages(bool spread) { spreadPages_ = spread; }
    // Leaves everything before offset unwritten (a hole in a sparse file), each allocation
    // interval before it marked wholly taken. Throws std::invalid_argument beyond the format's
    // reach or once anything was written.
    void leaveHoleBefore(std::uint64_t offset);
    bool fourK() const { return format_ == Format::Ost4k; }
    // Largest payload of one data block.
    std::size_t maxBlockData() const { return unicode() ? 8176 : 8180; }
    // Entries an XBLOCK/XXBLOCK can hold.
    std::size_t maxTreeEntries() const { return (maxBlockData() - 8) / bidSize(); }
    std::size_t bidSize() const { return unicode() ? 8 : 4; }

    // Writes one block (encoding external blocks as configured) and returns its BID.
    std::uint64_t writeBlock(const std::uint8_t* data, std::size_t size, bool internal);
    std::uint64_t writeBlock(const Bytes& data, bool internal) {
        return writeBlock(data.data(), data.size(), internal);
    }
    // Builds XBLOCK/XXBLOCK levels over already written data blocks; returns the tree's root.
    std::uint64_t writeDataTree(const std::vector<std::uint64_t>& bids,
                                const std::vector<std::uint32_t>& sizes);
    // Bytes of an XBLOCK tree that writeDataTree would add for this many leaf blocks.
    std::uint64_t dataTreeOverhead(std::size_t leafBlocks) const;

    void addNode(std::uint32_t nid, std::uint64_t bidData, std::uint64_t bidSub,
                 std::uint32_t parent);

    // Total payload bytes of all blocks written so far; lets callers tell what an item occupies.
    std::uint64_t blockBytes() const { return blockBytes_; }

    struct HeaderInfo {
        std::array<std::uint32_t, 32> rgnid{};
        std::uint32_t unique = 0;
    };
    // Writes the B-trees, the allocation maps, the density list and the header.
    void finish(const HeaderInfo& info);

private:
    std::uint32_t codePage_ = 1252;
    bool terminators_ = false;
    bool spreadPages_ = false;
    std::vector<std::uint64_t> pageSlots_; // kept for B-tree pages, in file order
    std::size_t nextPageSlot_ = 0;
    struct NodeEntry {
        std::uint32_t nid;
        std::uint32_t parent;
        std::uint64_t bidData;
        std::uint64_t bidSub;
    };
    struct BlockEntry {
        std::uint64_t bid;
        std::uint64_t ib;
        std::uint16_t cb;
    };
    struct BranchEntry {
        std::uint64_t key;
        std::uint64_t bid;
        std::uint64_t ib;
    };

    std::uint64_t alloc(std::uint64_t size, std::uint64_t align);
    void enterInterval(std::uint64_t index);
    void flushAMap();
    void markAllocated(std::uint64_t ib, std::uint64_t size);
    void pwriteAll(const void* data, std::size_t size, std::uint64_t offset);
    std::uint64_t intervalStart(std::uint64_t index) const;
    std::uint64_t reservedBytes(std::uint64_t index) const;
    void writePage(std::uint8_t* page, std::uint8_t ptype, std::uint64_t bid, std::uint64_t ib,
                   bool signed_);
    template <typename Leaf, typename KeyOf, typename Fill>
    BranchEntry buildTree(const std::vector<Leaf>& leaves, std::uint8_t ptype, std::size_t leafSize,
                          KeyOf keyOf, Fill fill);
    std::uint16_t signature(std::uint64_t ib, std::uint64_t bid) const;
    std::uint64_t pageSize() const { return fourK() ? 4096 : 512; }
    // Bytes before the page trailer, which the page's CRC covers.
    std::size_t pageData() const { return fourK() ? 4072 : unicode() ? 496 : 500; }
    // Bytes of B-tree entries before the page's entry counts.
    std::size_t entryArea() const { return fourK() ? 4056 : unicode() ? 488 : 496; }
    std::size_t blockTrailer() const { return fourK() ? 24 : unicode() ? 16 : 12; }
    std::uint64_t blockAlign() const { return fourK() ? 512 : 64; }
    // Allocation maps: where the first sits, the bytes of its bitmap and what one bit covers.
    std::uint64_t firstAMap() const { return fourK() ? 0x22000 : 0x4400; }
    std::uint64_t densityList() const { return fourK() ? 0x21000 : 0x4200; }
    std::size_t amapBytes() const { return fourK() ? 4072 : 496; }
    std::uint64_t amapSlot() const { return fourK() ? 512 : 64; }
    std::uint64_t amapCoverage() const { return amapBytes() * 8 * amapSlot(); }

    Format format_;
    Encoding encoding_;
    FileHandle file_;
    std::uint64_t cursor_ = 0;
    std::uint64_t interval_ = 0;
    std::vector<std::uint8_t> amap_;
    std::uint64_t amapFree_ = 0;
    // Pages and blocks draw their ids from one counter: readers that keep what they have read
    // by id, as Outlook's own files allow, must never find a page and a block under one id.
    std::uint64_t nextBid_ = 4;
    std::uint64_t blockBytes_ = 0;
    std::vector<NodeEntry> nodes_;
    std::vector<BlockEntry> blocks_;
};

} // namespace talvenor::pstwriter
