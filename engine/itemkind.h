// What an item that is not mail is, so that a run can say what it passed over instead of
// passing over it in silence.
#pragma once

#include <array>
#include <cstdint>

namespace talvenor {

// The kinds a user tells apart among the item classes the store surface reports.
enum class ItemKind {
    Mail, // a mail item, which the run converts
    Appointment,
    Contact,
    DistributionList,
    Task,
    Note,
    Post,
    Report,
    MeetingItem,
    Other,
};
constexpr std::size_t ItemKindCount = std::size_t(ItemKind::Other) + 1;

// The kind of an item of the surface's class number (the mail program's object-model classes).
ItemKind itemKindOfClass(int itemClass);

// A short fixed token per kind ("mail", "distributionList"), for machine-readable output.
const char* itemKindToken(ItemKind kind);

// How many items of each kind.
class ItemKindCounts {
public:
    void add(ItemKind kind, std::int64_t n = 1) { counts_[std::size_t(kind)] += n; }
    void add(const ItemKindCounts& other) {
        for (std::size_t k = 0; k < ItemKindCount; ++k)
            counts_[k] += other.counts_[k];
    }
    std::int64_t count(ItemKind kind) const { return counts_[std::size_t(kind)]; }
    std::int64_t total() const {
        std::int64_t n = 0;
        for (const std::int64_t c : counts_)
            n += c;
        return n;
    }

private:
    std::array<std::int64_t, ItemKindCount> counts_{};
};

} // namespace talvenor
