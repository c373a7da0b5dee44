// Turns fuzz input into a store our reader opens: inputs that look like a header get their
// checksums mended, so that the fuzzer spends its time behind the header.
#pragma once

#include <crypt.h>
#include <pststore.h>

#include <cstring>

namespace talvenor::pst::fuzz {

inline Bytes storeBytes(const std::uint8_t* data, std::size_t size) {
    Bytes b(data, data + size);
    if (b.size() >= 564 && std::memcmp(b.data(), "!BDN", 4) == 0) {
        const std::uint32_t partial = crc32(b.data() + 8, 471);
        const std::uint32_t full = crc32(b.data() + 8, 516);
        for (int i = 0; i < 4; ++i) {
            b[4 + std::size_t(i)] = std::uint8_t(partial >> (8 * i));
            b[524 + std::size_t(i)] = std::uint8_t(full >> (8 * i));
        }
    }
    return b;
}

// Mutated blocks keep their old checksums; reading past them lets the parsers meet the damage.
inline const ReadOptions kFuzzOptions{.verifyChecksums = false, .progress = {}, .beforeValue = {}};

} // namespace talvenor::pst::fuzz
