// Large stores with invented but plausible mail, for benchmarks.
#pragma once

#include "pstwriter.h"

namespace talvenor::pstwriter {

struct GenerateStats {
    std::uint64_t messages = 0;
    std::uint64_t attachments = 0;
};

// Writes a store of `messages` messages spread over a few folders; every message has plain
// and HTML bodies, some carry attachments and embedded messages. Deterministic for a seed.
GenerateStats generateStore(const std::string& path, std::uint64_t messages, Options options = {},
                            std::uint32_t seed = 1);

} // namespace talvenor::pstwriter
