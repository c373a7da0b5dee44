// The checksum and the two byte encodings of a store's data blocks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace talvenor::pst {

// The CRC-32 of pages, blocks and the header (slice-by-8).
std::uint32_t crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0);

// The "compressible" encoding: a fixed byte substitution.
void permuteDecode(std::uint8_t* data, std::size_t size);
void permuteEncode(std::uint8_t* data, std::size_t size);

// The cyclic ("high") encoding, keyed by the low 32 bits of the block's id; applying it twice
// gives the original bytes back.
void cyclic(std::uint8_t* data, std::size_t size, std::uint32_t key);

} // namespace talvenor::pst
