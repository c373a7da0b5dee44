// Byte-level helpers for hostile store files: a personal-folders header whose checksum
// the reader accepts, followed by whatever the test wants.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace talvenor::testing {

// The checksum of the store format: CRC-32 (reflected 0xEDB88320), start 0, no final inversion.
inline std::uint32_t pstCrc(const std::uint8_t* data, std::size_t size) {
    std::uint32_t crc = 0;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc;
}

// Makes the first bytes a header that passes the signature and partial-checksum tests;
// everything the header points at stays as it is.
inline void fixPstHeader(std::vector<std::uint8_t>& bytes, bool unicode = true) {
    if (bytes.size() < 512)
        bytes.resize(512, 0);
    std::memcpy(bytes.data(), "!BDN", 4);
    bytes[8] = 'S';
    bytes[9] = 'M';
    const std::uint16_t version = unicode ? 23 : 14;
    bytes[10] = std::uint8_t(version);
    bytes[11] = std::uint8_t(version >> 8);
    const std::uint32_t crc = pstCrc(bytes.data() + 8, 471);
    for (int i = 0; i < 4; ++i)
        bytes[4 + i] = std::uint8_t(crc >> (8 * i));
}

} // namespace talvenor::testing
