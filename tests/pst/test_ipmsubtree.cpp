// Which folder is the top of the mail folders, from what the store says about itself.
#include <ipmsubtree.h>

#include <gtest/gtest.h>

using namespace talvenor::pst;

namespace {

constexpr std::uint32_t Root = 0; // the search never returns the root

struct Case {
    const char* what;
    StoreHints hints;
    std::vector<NearRootFolder> nearRoot;
    std::optional<std::uint32_t> expected;
};

// Root's children and grandchildren as an offline store of a mail server lays them out.
std::vector<NearRootFolder> mailboxTree(const std::u16string& subtreeName) {
    return {{Root, 0, u"", {0x8022, 0x2122, 0x8042}},
            {0x8022, Root, u"Archive", {}},
            {0x2122, Root, u"Root - Mailbox", {0x2142}},
            {0x8042, Root, u"Search Root", {}},
            {0x2142, 0x2122, subtreeName, {0x8062, 0x80A2}}};
}

class ChooseIpmSubtree : public ::testing::TestWithParam<Case> {};

TEST_P(ChooseIpmSubtree, FindsTheSubtreeTheStoreDescribes) {
    EXPECT_EQ(chooseIpmSubtree(GetParam().hints, GetParam().nearRoot), GetParam().expected)
        << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Stores, ChooseIpmSubtree,
    ::testing::Values(
        Case{"a personal store names it",
             {0x8022, {}},
             {{Root, 0, u"", {0x8022}}, {0x8022, Root, u"Top of Personal Folders", {0x8062}}},
             0x8022},
        Case{"no subtree id: the parent of Deleted Items",
             {std::nullopt, {0x8062}},
             mailboxTree(u"renamed"),
             0x2142},
        Case{"an id naming no folder here is passed over",
             {0x9999, {0x80A2}},
             mailboxTree(u"renamed"),
             0x2142},
        Case{
            "no ids at all: Root - Mailbox / IPM_SUBTREE", {}, mailboxTree(u"IPM_SUBTREE"), 0x2142},
        Case{"names compare without case", {}, mailboxTree(u"ipm_subtree"), 0x2142},
        Case{"an old personal store's top folder by its name",
             {},
             {{Root, 0, u"", {0x8022}}, {0x8022, Root, u"Top of Outlook data file", {}}},
             0x8022},
        Case{"special folders at the root do not make the root the subtree",
             {std::nullopt, {0x8062}},
             {{Root, 0, u"", {0x8062}}, {0x8062, Root, u"Deleted Items", {}}},
             std::nullopt},
        Case{"nothing identifies it", {std::nullopt, {0x1234}}, mailboxTree(u"Mail"), std::nullopt},
        Case{"a top folder in another language: the one folder beside the store's own",
             {},
             {{Root, 0, u"", {0x8022, 0x8042, 0x2223, 0x8082, 0x80A2, 0x80C2}},
              {0x8022, Root, u"Outlook データ ファイルのトップ", {0x8062}},
              {0x8042, Root, u"Search Root", {}},
              {0x2223, Root, u"Spam", {}}, // a search folder, whatever its name
              {0x8082, Root, u"IPM_VIEWS", {}},
              {0x80A2, Root, u"Finder", {}},
              {0x80C2, Root, u"SPAM Search Folder 2", {}}},
             0x8022},
        Case{"two folders beside the store's own: none is taken",
             {},
             {{Root, 0, u"", {0x8022, 0x80E2, 0x8042}},
              {0x8022, Root, u"Outlook データ ファイルのトップ", {}},
              {0x80E2, Root, u"Archiv", {}},
              {0x8042, Root, u"Search Root", {}}},
             std::nullopt}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

} // namespace
