// The store's map of named properties taken apart: every GUID kind, and entries that point
// outside their streams left out rather than read past.
#include <ltp.h>

#include <gtest/gtest.h>

using namespace talvenor;
using namespace talvenor::pst;

namespace {

mapi::Bytes entry(std::uint32_t key, std::uint16_t guidIndex, bool isString, std::uint16_t index) {
    mapi::Bytes e = mapi::le32(key);
    const mapi::Bytes kind = mapi::le16(std::uint16_t(guidIndex << 1 | (isString ? 1 : 0)));
    const mapi::Bytes idx = mapi::le16(index);
    e.insert(e.end(), kind.begin(), kind.end());
    e.insert(e.end(), idx.begin(), idx.end());
    return e;
}

const mapi::Guid kOther{{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C,
                         0x0D, 0x0E, 0x0F, 0x10}};

struct MapStreams {
    mapi::Bytes guids, entries, strings;
};

NameMap parsed(const MapStreams& m) {
    return NameMap::parse(m.guids, m.entries, m.strings);
}

std::optional<mapi::PropertyName> nameOf(const NameMap& map, std::uint16_t id) {
    const mapi::PropertyName* n = map.find(id);
    return n ? std::optional(*n) : std::nullopt;
}

MapStreams mapOf(const std::vector<mapi::Bytes>& entries) {
    mapi::Bytes stream;
    for (const auto& e : entries)
        stream.insert(stream.end(), e.begin(), e.end());
    mapi::Bytes strings = mapi::le32(4);
    for (char16_t c : u"ab")
        if (c) {
            strings.push_back(std::uint8_t(c));
            strings.push_back(0);
        }
    return {mapi::Bytes(kOther.bytes.begin(), kOther.bytes.end()), stream, strings};
}

struct Case {
    const char* what;
    mapi::Bytes entry;
    std::optional<mapi::PropertyName> expected; // under id 0x8000
};

class NameMapParse : public ::testing::TestWithParam<Case> {};

TEST_P(NameMapParse, TakesEachEntryFromTheMapItself) {
    const NameMap map = parsed(mapOf({GetParam().entry}));
    EXPECT_EQ(nameOf(map, 0x8000), GetParam().expected) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Entries, NameMapParse,
    ::testing::Values(
        Case{"PS_MAPI numbered", entry(0x8101, 1, false, 0),
             mapi::PropertyName{mapi::PS_MAPI, 0x8101, u""}},
        Case{"PS_PUBLIC_STRINGS numbered", entry(0x8102, 2, false, 0),
             mapi::PropertyName{mapi::PS_PUBLIC_STRINGS, 0x8102, u""}},
        Case{"PS_PUBLIC_STRINGS string", entry(0, 2, true, 0),
             mapi::PropertyName{mapi::PS_PUBLIC_STRINGS, std::nullopt, u"ab"}},
        Case{"first GUID of the stream", entry(7, 3, false, 0), mapi::PropertyName{kOther, 7, u""}},
        Case{"a GUID past the stream", entry(7, 4, false, 0), std::nullopt},
        Case{"no property set", entry(7, 0, false, 0), std::nullopt},
        Case{"a string past the stream", entry(6, 3, true, 0), std::nullopt},
        Case{"a string offset far outside", entry(0xFFFFFFF0, 3, true, 0), std::nullopt}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

TEST(NameMapParse, EntriesTakeTheirIdFromTheirIndex) {
    const NameMap map = parsed(mapOf({entry(1, 1, false, 5), entry(2, 2, false, 0x7FFF)}));
    EXPECT_EQ(map.size(), 2u);
    EXPECT_EQ(nameOf(map, 0x8005)->lid, 1u);
    EXPECT_EQ(nameOf(map, 0xFFFF)->lid, 2u);
    EXPECT_FALSE(nameOf(map, 0x8000));
}

// One damaged entry costs its own name only, never the names of the others.
TEST(NameMapParse, ADamagedEntryLeavesTheOthers) {
    const NameMap map = parsed(mapOf({entry(1, 1, false, 0), entry(7, 9, false, 1),
                                      entry(0xFFFFFFF0, 3, true, 2), entry(3, 2, false, 3)}));
    EXPECT_EQ(map.size(), 2u);
    EXPECT_TRUE(nameOf(map, 0x8000));
    EXPECT_TRUE(nameOf(map, 0x8003));
}

} // namespace
