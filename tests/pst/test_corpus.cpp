// Every seed of the reader's fuzz targets, read as a plain test along the targets' own roads:
// what each damaged store gives is written down, so that a change that reads less of one (or
// fails it differently) is seen in every build, not only when the fuzzer happens to run.
#include "fuzzroads.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <map>

using namespace talvenor::pst;
using talvenor::pst::fuzz::RoadResult;

namespace talvenor::pst::fuzz {
bool operator==(const RoadResult& a, const RoadResult& b) {
    return a.opened == b.opened && a.read == b.read && a.failed == b.failed &&
           a.repairs == b.repairs;
}
std::ostream& operator<<(std::ostream& os, const RoadResult& r) {
    os << "{" << (r.opened ? "true" : "false") << ", " << r.read << ", " << r.failed << ", {";
    for (const std::string& repair : r.repairs)
        os << "\"" << repair << "\", ";
    return os << "}}";
}
} // namespace talvenor::pst::fuzz

namespace {

struct Expected {
    RoadResult whole;    // readWholeStore, checksums checked as the program reads
    RoadResult messages; // readMessageNodes, likewise
};

// {opened, read, failed, repairs} of each road: every seed is read whole, and the damage in
// it is worked around as noted.
const std::map<QString, Expected> kExpected = {
    {QStringLiteral("damaged-bbt-leaf-flip-1.pst"), {{true, 14, 0, {}}, {true, 3, 0, {}}}},
    {QStringLiteral("damaged-contents-flip-1.pst"),
     {{true,
       14,
       0,
       {"folder 80C2: its contents table is damaged (a block is damaged (checksum mismatch)); 2 "
        "more messages found by their parent, 2 in all"}},
      {true, 3, 0, {}}}},
    {QStringLiteral("damaged-folder-flip-1.pst"),
     {{true,
       14,
       0,
       {"folder 80E2 is damaged (a block is damaged (checksum mismatch)); it is read as "
        "\"Archive\"",
        "folder 80E2: its contents table is damaged (the folder itself is damaged: a block is "
        "damaged (checksum mismatch)); 0 more messages found by their parent, 0 in all",
        "folder 80E2: its hierarchy table is damaged (the folder itself is damaged: a block is "
        "damaged (checksum mismatch)); 0 more folders found by their parent, 3 in all"}},
      {true, 3, 0, {}}}},
    {QStringLiteral("damaged-header-flip-1.pst"), {{true, 14, 0, {}}, {true, 3, 0, {}}}},
    {QStringLiteral("damaged-hierarchy-rechecked.pst"),
     {{true,
       14,
       0,
       {"folder 80A2: its hierarchy table is damaged (a heap's item map is damaged); 0 more "
        "folders found by their parent, 0 in all"}},
      {true, 3, 0, {}}}},
    {QStringLiteral("damaged-message-rechecked-1.pst"), {{true, 14, 0, {}}, {true, 3, 0, {}}}},
    {QStringLiteral("damaged-nbt-branch-flip-1.pst"),
     {{true,
       14,
       0,
       {"a page of the store's node index is damaged; the file was scanned and 63 nodes found"}},
      {true, 3, 0, {}}}},
    {QStringLiteral("damaged-nbt-leaf-flip-1.pst"),
     {{true,
       14,
       0,
       {"a page of the store's node index is damaged; the file was scanned and 63 nodes found (1 "
        "damaged index pages used entry by entry)"}},
      {true, 3, 0, {}}}},
};

} // namespace

TEST(PstCorpus, EverySeedGivesWhatItGaveBefore) {
    const QDir dir(QStringLiteral(TALVENOR_PST_CORPUS));
    const QStringList files = dir.entryList(QDir::Files, QDir::Name);
    ASSERT_FALSE(files.isEmpty()) << "no seeds in " << TALVENOR_PST_CORPUS;
    for (const QString& name : files) {
        SCOPED_TRACE(name.toStdString());
        QFile f(dir.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.constData());
        const auto size = std::size_t(bytes.size());
        const ReadOptions checked{};
        const RoadResult whole = fuzz::readWholeStore(data, size, checked);
        const RoadResult messages = fuzz::readMessageNodes(data, size, checked);
        // The fuzzer's own options (checksums not checked) must never give less to read.
        EXPECT_GE(fuzz::readWholeStore(data, size).read, whole.read);
        const auto it = kExpected.find(name);
        if (it == kExpected.end()) {
            ADD_FAILURE() << "a seed without an expected result: {QStringLiteral(\""
                          << name.toStdString() << "\"), {" << whole << ", " << messages << "}},";
            continue;
        }
        EXPECT_EQ(whole, it->second.whole);
        EXPECT_EQ(messages, it->second.messages);
    }
    for (const auto& [name, expected] : kExpected)
        EXPECT_TRUE(files.contains(name)) << "expected a seed that is gone: " << name.toStdString();
}
