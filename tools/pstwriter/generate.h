// Large stores with invented but plausible mail, for benchmarks.
#pragma once

#include "pstwriter.h"

namespace talvenor::pstwriter {

struct GenerateStats {
    std::uint64_t messages = 0;
    std::uint64_t attachments = 0;
};

// Subjects of a generated store: by default every message has one of its own. Otherwise the
// first `same` messages share one subject and the `none` after them have none, as in mailboxes
// full of "Daily report" and of items without a subject.
struct SubjectMix {
    std::uint64_t same = 0;
    std::uint64_t none = 0;
};

// Writes a store of `messages` messages spread over a few folders; every message has plain
// and HTML bodies, some carry attachments and embedded messages. Deterministic for a seed.
GenerateStats generateStore(const std::string& path, std::uint64_t messages, Options options = {},
                            std::uint32_t seed = 1, SubjectMix subjects = {});

} // namespace talvenor::pstwriter
