// Descriptions that cannot be written are refused with a message that names the fault, and
// nothing is left under the target name (an existing file there stays as it was).
#include "description.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

using namespace talvenor;
using namespace talvenor::pstwriter;
using mapi::Message;

namespace {

mapi::Property raw(std::uint16_t id, std::uint16_t type, mapi::Bytes value) {
    mapi::Property p;
    p.id = id;
    p.type = type;
    p.value = std::move(value);
    return p;
}

struct BadMessage {
    const char* name;
    std::function<void(Message&)> spoil;
    const char* expected; // part of the error message
};

const BadMessage kBadMessages[] = {
    {"UnknownType", [](Message& m) { m.set(raw(0x6701, 0x0099, {1})); }, "0x0099"},
    {"NullType", [](Message& m) { m.set(raw(0x6701, mapi::PtNull, {})); }, "0x6701"},
    {"NamedWithNul",
     [](Message& m) {
         build::setNamedString(m,
                               mapi::PropertyName{mapi::PS_PUBLIC_STRINGS, std::nullopt,
                                                  std::u16string(u"bad\0name", 8)},
                               u"x");
     },
     "NUL"},
    {"ShortInteger",
     [](Message& m) {
         m.set(raw(0x6701, mapi::PtInteger32, {1, 2, 3}));
     },
     "3 bytes instead of 4"},
    {"NamedRangeWithoutName", [](Message& m) { m.setInt32(0x8123, 5); }, "named range"},
    {"OddUnicode", [](Message& m) { m.set(raw(0x0037, mapi::PtUnicode, {'a'})); },
     "odd byte count"},
    {"BadEmbedded",
     [](Message& m) {
         Message inner;
         inner.set(raw(0x6701, 0x0099, {1}));
         build::addEmbedded(m, u"inner", inner);
     },
     "attachment 1"},
    {"OleObjectWithoutCompoundFile",
     [](Message& m) {
         build::addOleObject(m, u"Picture", {'n', 'o', 't', ' ', 'o', 'l', 'e', '!'});
     },
     "compound file"},
};

class RefusedMessage : public ::testing::TestWithParam<BadMessage> {};

TEST_P(RefusedMessage, IsRefusedWithAClearMessageAndLeavesNoFile) {
    QTemporaryDir dir;
    const QString target = dir.filePath("out.pst");
    QFile existing(target);
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.write("previous contents");
    existing.close();

    StoreDescription store;
    Message good;
    build::setSubject(good, u"fine");
    Message bad;
    build::setSubject(bad, u"broken");
    GetParam().spoil(bad);
    store.folders.push_back({u"Inbox", u"IPF.Note", SpecialFolder::Inbox, {good, bad}, {}});
    try {
        writePst(store, target.toStdString());
        FAIL() << "the description was written";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().expected), std::string::npos) << e.what();
    }
    ASSERT_TRUE(existing.open(QIODevice::ReadOnly));
    EXPECT_EQ(existing.readAll(), QByteArray("previous contents"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

INSTANTIATE_TEST_SUITE_P(Faults, RefusedMessage, ::testing::ValuesIn(kBadMessages),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RefusedStore, FolderNameWithNulIsRefused) {
    QTemporaryDir dir;
    StoreDescription store;
    store.folders.push_back(
        {std::u16string(u"Bad\0name", 8), u"IPF.Note", SpecialFolder::None, {}, {}});
    EXPECT_THROW(writePst(store, dir.filePath("out.pst").toStdString()), Error);
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

TEST(RefusedStore, UnfinishedWriterLeavesNothingBehind) {
    QTemporaryDir dir;
    {
        Writer w(dir.filePath("out.pst").toStdString());
        Message m;
        build::setSubject(m, u"never finished");
        w.addMessage(w.addFolder(w.topFolder(), u"Inbox"), m);
    }
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

struct BadJson {
    const char* name;
    const char* json;
    const char* expected;
};

const BadJson kBadJson[] = {
    {"NotJson", "{\"folders\": [", "not valid JSON"},
    {"UnknownPropertyType",
     R"({"folders":[{"name":"A","messages":[{"properties":[{"id":"0x6701","type":"int33","value":1}]}]}]})",
     "unknown property type \"int33\""},
    {"UnknownSpecialFolder", R"({"folders":[{"name":"A","special":"attic"}]})",
     "unknown special folder"},
    {"FolderWithoutName", R"({"folders":[{"messages":[]}]})", "\"name\" must be a string"},
    {"BadEncoding", R"({"encoding":"rot13"})", "encoding"},
    {"TerminatorsNotAFlag", R"({"terminators":"yes"})", "\"terminators\" must be true or false"},
    {"SubtreeIdNotAFlag", R"({"ipmSubtreeEntryId":0})",
     "\"ipmSubtreeEntryId\" must be true or false"},
    {"TopFolderNameNotAString", R"({"topFolderName":7})", "\"topFolderName\" must be a string"},
    {"EmptyContentsTableNotAFlag", R"({"folders":[{"name":"A","emptyContentsTable":1}]})",
     "\"emptyContentsTable\" must be true or false"},
    {"TopFolderMessageWithBadType",
     R"({"messages":[{"properties":[{"id":"0x6701","type":"int33","value":1}]}]})",
     "store, message 1"},
    {"UnwritableCodePage", R"({"format":"ansi","codePage":1253})", "\"codePage\" must be"},
    {"BadMessageStrings", R"({"messageStrings":"utf8"})", "\"messageStrings\" must be"},
};

class RefusedJson : public ::testing::TestWithParam<BadJson> {};

TEST_P(RefusedJson, NamesTheFault) {
    try {
        parseDescription(QByteArray(GetParam().json));
        FAIL() << "the description was accepted";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().expected), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, RefusedJson, ::testing::ValuesIn(kBadJson),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
