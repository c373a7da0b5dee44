// Damaged copies of one generated store, for the tests of recovery: seeded byte flips and
// overwrites in the header, in pages of both B-trees (leaves and the root above them) and in
// heaps (the store's and folders' properties, hierarchy and contents tables, messages). Some
// damage keeps its checksums mended, as a faulty writer would leave it, so that the parsers
// behind the checksums meet it. The same seed gives the same bytes on every machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace talvenor::testing {

struct DamagedCase {
    std::string name; // e.g. "nbt-leaf-flip-2"
    std::string what; // where the damage lies, for the test's log
    std::vector<std::uint8_t> bytes;
};

struct DamagedCorpus {
    std::vector<std::uint8_t> intact;
    std::uint64_t messages = 0; // how many the intact store holds
    std::vector<DamagedCase> cases;
};

// A Unicode store of `messages` generated messages (compressible encoding) and its damaged
// copies.
DamagedCorpus makeDamagedCorpus(std::uint32_t seed = 1, std::uint64_t messages = 200);

// Where the first data block of a node's heap lies in a store's bytes (offset, size): the
// bytes of its heap header and first items. Throws std::runtime_error for a node it lacks.
struct ByteRange {
    std::size_t start = 0, size = 0;
};
ByteRange firstHeapBlock(const std::vector<std::uint8_t>& store, std::uint32_t nid);

// Raises the message count (PR_CONTENT_COUNT) a folder keeps of itself from `count` to
// `count + by`, with the block's checksum mended: a folder that counts messages nothing lists.
// Throws std::runtime_error when the count is not where a store of the writer keeps it.
void raiseContentCount(std::vector<std::uint8_t>& store, std::uint32_t folderNid,
                       std::uint32_t count, std::uint8_t by);

// Writes bytes to a file; throws std::runtime_error when it cannot.
void writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);

} // namespace talvenor::testing
