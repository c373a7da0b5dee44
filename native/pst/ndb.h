// The node database of a PST or OST file: the header, the node and block B-trees (looked up
// page by page, a few recent pages kept), blocks with their checksums and encodings, data
// trees and sub-node trees. Nothing of the whole store is loaded at open.
#pragma once

#include "bytes.h"
#include "source.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace talvenor::pst {

enum class Layout { Ansi, Unicode, Unicode4k };
enum class Crypt : std::uint8_t { None = 0, Permute = 1, Cyclic = 2 };

struct Header {
    Layout layout = Layout::Unicode;
    bool offline = false; // an OST file
    std::uint16_t version = 0;
    Crypt crypt = Crypt::None;
    std::uint64_t fileEof = 0;
    std::uint64_t nbtBid = 0, nbtIb = 0;
    std::uint64_t bbtBid = 0, bbtIb = 0;
    // The checksums fail, but the signature, version and encoding are ones we know: the fields
    // are used as they stand (damaged B-tree roots then lead to a scan of the file).
    bool checksumFailed = false;
    // With a failing checksum, an encoding byte of no known kind: Ndb finds the encoding from
    // the bytes of the store's own node.
    bool cryptUnknown = false;
};

// Reads and checks the header; fails naming what is wrong.
Header parseHeader(View bytes);

struct NodeEntry {
    std::uint32_t nid = 0;
    std::uint64_t bidData = 0;
    std::uint64_t bidSub = 0;
    std::uint32_t parent = 0;
};

struct BlockEntry {
    std::uint64_t bid = 0;
    std::uint64_t ib = 0;
    std::uint16_t cb = 0;
};

// The sub-nodes of one node: nid -> (data, sub-nodes).
using SubnodeMap = std::map<std::uint32_t, NodeEntry>;

struct ReadOptions {
    // Off only where damaged bytes should reach the parsers anyway (fuzzing, salvage).
    bool verifyChecksums = true;
    // Called again and again during long work (a scan of the whole file, a value of many
    // blocks), so that whoever waits for the reader can tell slow work from a stall. It must
    // be cheap; it may throw to stop the work.
    std::function<void()> progress;
    // Called with the size a value of more than one block declares, before any of its blocks
    // is read, so that a caller can refuse a value too large for it to hold (by throwing).
    std::function<void(std::uint64_t size)> beforeValue;
};

class Ndb {
public:
    explicit Ndb(std::shared_ptr<const ByteSource> source, ReadOptions options = {});

    const Header& header() const { return header_; }
    // How many bytes the file really has (the header's fileEof says how many it should have).
    std::uint64_t fileSize() const { return source_->size(); }
    bool unicode() const { return header_.layout != Layout::Ansi; }

    std::optional<NodeEntry> node(std::uint32_t nid) const;
    std::optional<BlockEntry> block(std::uint64_t bid) const;
    // Every node of the node B-tree in key order (walked page by page); fails on a damaged page.
    void forEachNode(const std::function<void(const NodeEntry&)>& visit) const;
    // Every node that can be found, in nid order: the tree's pages that are intact and, when a
    // page is damaged, the node B-tree leaves a scan of the file finds (the tree's entries win).
    std::vector<NodeEntry> recoverableNodes() const;

    // What was worked around so far (a damaged header, a scan), each said once.
    std::vector<std::string> repairs() const;
    // True once a page of either B-tree was found damaged and lookups fell back to the scan.
    bool treeDamaged() const { return nbtDamaged_ || bbtDamaged_; }

    // One block's payload, checked and decoded.
    Bytes readBlock(std::uint64_t bid) const;
    // The leaf payloads of a data tree (a single block is a tree of one leaf).
    std::vector<Bytes> readLeaves(std::uint64_t bid) const;
    // A data tree's payload as one stream, gathered block by block into one buffer (the value
    // is held once, not once in blocks and once whole).
    Bytes readStream(std::uint64_t bid) const;
    // The sub-node tree rooted at bid (0: none).
    SubnodeMap readSubnodes(std::uint64_t bid) const;

    // Limits that keep hostile files from making a reader loop or allocate without end.
    static constexpr std::size_t kMaxDepth = 16;
    static constexpr std::uint64_t kMaxStream = 1ull << 31;
    static constexpr std::size_t kMaxLeaves = kMaxStream / 8176 + 1;

private:
    struct Page {
        std::uint8_t ptype = 0;
        Bytes bytes;
        std::size_t count = 0;
        std::size_t entrySize = 0;
        unsigned level = 0;
    };
    std::shared_ptr<const Page> page(std::uint64_t ib, std::uint64_t bid, std::uint8_t ptype) const;
    template <typename Key, typename Leaf>
    std::optional<Leaf> lookup(std::uint64_t rootBid, std::uint64_t rootIb, std::uint8_t ptype,
                               Key key, Leaf (*parse)(const Ndb&, View)) const;
    void walk(std::uint64_t bid, std::uint64_t ib, std::size_t depth,
              const std::function<void(const NodeEntry&)>& visit, int parentLevel,
              std::set<std::uint64_t>& seen) const;
    void collectLeaves(std::uint64_t bid, std::size_t depth, std::uint64_t& total,
                       std::size_t& leaves, const std::function<void(Bytes&&)>& take) const;
    std::uint64_t streamLimit() const;
    void collectSubnodes(std::uint64_t bid, std::size_t depth, SubnodeMap& out) const;
    std::size_t pageSize() const { return header_.layout == Layout::Unicode4k ? 4096 : 512; }
    void stillAtWork() const {
        if (options_.progress)
            options_.progress();
    }

    // The leaves of one B-tree found by reading every page of the file, sorted by key. Built
    // once per tree, on the first lookup that meets a damaged page of it; healthy stores never
    // build it. Blocks are kept compact: a large store has many.
    struct ScannedBlock {
        std::uint64_t bid = 0, ib = 0;
        std::uint32_t rank = 0;
        std::uint16_t cb = 0;
    };
    struct Scan {
        std::vector<NodeEntry> nodes;
        std::vector<ScannedBlock> blocks;
        std::size_t damagedPages = 0; // leaves used although their checksum fails
    };
    const Scan& scan(std::uint8_t ptype) const;
    void scanPage(View page, std::uint8_t ptype,
                  std::vector<std::pair<std::uint32_t, NodeEntry>>& nodes,
                  std::vector<ScannedBlock>& blocks, std::size_t& damaged) const;
    void guessCrypt();
    bool readVerified(const BlockEntry& entry, Bytes& raw, std::string& why,
                      bool& indexWrong) const;
    // Every block found by its own trailer (size, signature, id), sorted by id; built once, only
    // when the index names a block wrongly or a damaged page lost it.
    const std::vector<BlockEntry>& trailerScan() const;
    void walkTolerant(std::uint64_t bid, std::uint64_t ib, std::size_t depth, int parentLevel,
                      std::set<std::uint64_t>& seen, std::vector<NodeEntry>& out,
                      bool& failed) const;

    std::shared_ptr<const ByteSource> source_;
    ReadOptions options_;
    Header header_;
    // A small cache of B-tree pages, most recent first.
    mutable std::vector<std::pair<std::uint64_t, std::shared_ptr<const Page>>> cache_;
    mutable bool nbtDamaged_ = false, bbtDamaged_ = false;
    mutable std::unique_ptr<Scan> nbtScan_, bbtScan_;
    mutable std::unique_ptr<std::vector<BlockEntry>> trailers_;
};

} // namespace talvenor::pst
