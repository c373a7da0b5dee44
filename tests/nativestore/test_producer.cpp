// The producer: the records it makes of a store, in the walk's order, from any place a fresh
// helper goes on from, and the failures it hands over with their causes.
#include "generatedstore.h"

#include <producer.h>
#include <pststore.h>
#include <records.h>
#include <wire.h>

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace talvenor;
using namespace talvenor::nativestore;
using records::Type;

namespace {

wire::FolderInfo folder(std::uint32_t id, const char* name,
                        std::vector<wire::FolderInfo> subs = {}) {
    wire::FolderInfo f;
    f.id = id;
    f.name = QString::fromUtf8(name);
    f.folders = std::move(subs);
    return f;
}

// A folder met a second time, as the tree marks it.
wire::FolderInfo again(std::uint32_t id, const char* name) {
    wire::FolderInfo f = folder(id, name);
    f.repeated = true;
    return f;
}

TEST(ReadingOrder, IsTheWalksOrder) {
    struct Case {
        const char* name;
        wire::FolderInfo root;
        std::vector<std::uint32_t> order;
    };
    const Case cases[] = {
        {"only the top", folder(1, "Top"), {1}},
        {"sub-trees before their folder, the top last",
         folder(1, "Top", {folder(2, "A", {folder(3, "A1"), folder(4, "A2")}), folder(5, "B")}),
         {3, 4, 2, 5, 1}},
        {"newsgroups: not descended, their own items saved by the parent",
         folder(1, "Top",
                {folder(2, "Internet Newsgroups", {folder(3, "comp.lang")}), folder(4, "Inbox")}),
         {2, 4, 1}},
        {"public folders deep down",
         folder(1, "Top", {folder(2, "A", {folder(3, "All Public Folders", {folder(4, "x")})})}),
         {3, 2, 1}},
        {"a top the walk does not descend into",
         folder(1, "All Public Folders", {folder(2, "A")}),
         {1}},
        {"a folder listed twice is read where it was met first",
         folder(1, "Top", {folder(2, "A", {folder(3, "S")}), folder(4, "B", {again(3, "S")})}),
         {3, 2, 4, 1}},
        {"a cycle back to the top", folder(1, "Top", {folder(2, "A", {again(1, "Top")})}), {2, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint32_t> ids;
        for (const wire::FolderInfo* f : readingOrder(c.root))
            ids.push_back(f->id);
        EXPECT_EQ(ids, c.order);
    }
}

// Keeps every record the producer sends.
struct Recorded : RecordSink {
    struct Record {
        Type type;
        std::uint32_t folder;
        std::int32_t index;
        wire::Bytes payload;
    };
    void send(Type type, std::uint32_t folder, std::int32_t index,
              const wire::Bytes& payload) override {
        records.push_back({type, folder, index, payload});
    }
    std::vector<Record> records;
};

// Runs a producer to its end; returns how it ended.
Producer::Step runToEnd(Producer& producer) {
    for (;;) {
        const Producer::Step step = producer.next();
        if (step != Producer::Step::Going)
            return step;
    }
}

class ProducerOverAStore : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new QTemporaryDir;
        talvenor::testing::writeTreeStore(path().toStdString(), pstwriter::Format::Unicode);
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static QString path() { return dir_->filePath(QStringLiteral("tree.pst")); }
    static inline QTemporaryDir* dir_ = nullptr;
};

TEST_F(ProducerOverAStore, SendsTheTreeThenEveryItemInTheWalksOrder) {
    Recorded sink;
    Producer producer(path(), sink);
    ASSERT_TRUE(producer.open());
    ASSERT_EQ(runToEnd(producer), Producer::Step::Finished);
    ASSERT_GE(sink.records.size(), 2u);
    ASSERT_EQ(sink.records.front().type, Type::Opened);
    EXPECT_EQ(sink.records.back().type, Type::Finished);
    const auto tree = wire::decodeTree(sink.records.front().payload);
    ASSERT_TRUE(tree);
    // Each folder of the order: its start, its items 1..n, its end.
    std::size_t at = 1;
    int items = 0;
    for (const wire::FolderInfo* f : readingOrder(*tree)) {
        SCOPED_TRACE(f->name.toStdString());
        ASSERT_LT(at, sink.records.size());
        EXPECT_EQ(sink.records[at].type, Type::FolderStart);
        EXPECT_EQ(sink.records[at].folder, f->id);
        ++at;
        for (int j = 1; j <= f->messages; ++j, ++at, ++items) {
            ASSERT_LT(at, sink.records.size());
            EXPECT_EQ(sink.records[at].type, Type::Item);
            EXPECT_EQ(sink.records[at].index, j);
        }
        ASSERT_LT(at, sink.records.size());
        EXPECT_EQ(sink.records[at].type, Type::FolderEnd);
        ++at;
    }
    EXPECT_EQ(at + 1, sink.records.size());
    EXPECT_GT(items, 3);
}

TEST_F(ProducerOverAStore, GoesOnFromWhereAnEarlierOneStopped) {
    Recorded whole;
    Producer first(path(), whole);
    ASSERT_TRUE(first.open());
    runToEnd(first);
    // Every item, and every folder's end, is a place a fresh producer may go on from.
    for (std::size_t k = 1; k + 1 < whole.records.size(); ++k) {
        const auto& from = whole.records[k];
        if (from.type != Type::Item && from.type != Type::FolderEnd)
            continue;
        SCOPED_TRACE(k);
        Recorded rest;
        Producer fresh(path(), rest);
        ASSERT_TRUE(fresh.open({from.folder, from.index}));
        ASSERT_EQ(runToEnd(fresh), Producer::Step::Finished);
        // What it sends after its tree is the rest of the first one's items.
        std::vector<std::pair<std::uint32_t, std::int32_t>> expected;
        std::vector<std::pair<std::uint32_t, std::int32_t>> got;
        for (std::size_t i = k + 1; i < whole.records.size(); ++i)
            if (whole.records[i].type == Type::Item)
                expected.emplace_back(whole.records[i].folder, whole.records[i].index);
        for (const auto& r : rest.records)
            if (r.type == Type::Item)
                got.emplace_back(r.folder, r.index);
        EXPECT_EQ(got, expected);
    }
}

TEST_F(ProducerOverAStore, EndsInTheWayItsCircumstancesSay) {
    struct Case {
        const char* name;
        helper::ResumePoint from;
        std::size_t memoryBudget;
        std::uint64_t maxRecordSize;
        Producer::Step ends;
        Type lastSent;
    };
    const Case cases[] = {
        {"a folder that is not there",
         {0x7fff, 1},
         std::size_t(1) << 40,
         records::DefaultMaxRecordSize,
         Producer::Step::LostItsPlace,
         Type::Opened},
        {"grown past its budget",
         {},
         0,
         records::DefaultMaxRecordSize,
         Producer::Step::MakesRoom,
         Type::Item},
        {"items too large to hand over",
         {},
         std::size_t(1) << 40,
         2000,
         Producer::Step::Finished,
         Type::Finished},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Recorded sink;
        ProducerOptions options;
        std::size_t memory = 1000;
        options.peakMemory = [&memory] { return memory += 10; };
        options.memoryBudget = c.memoryBudget;
        options.maxRecordSize = c.maxRecordSize;
        Producer producer(path(), sink, options);
        ASSERT_TRUE(producer.open(c.from));
        EXPECT_EQ(runToEnd(producer), c.ends);
        EXPECT_EQ(sink.records.back().type, c.lastSent);
        if (c.maxRecordSize < records::DefaultMaxRecordSize) {
            int tooLarge = 0;
            for (const auto& r : sink.records) {
                EXPECT_LE(r.payload.size(), c.maxRecordSize);
                tooLarge += r.type == Type::ItemTooLarge ? 1 : 0;
            }
            EXPECT_GE(tooLarge, 1);
        }
    }
}

TEST_F(ProducerOverAStore, AStoreThatCannotBeOpenedSaysWhyWithItsCause) {
    const QString cut = dir_->filePath(QStringLiteral("cut.pst"));
    {
        QFile whole(path());
        ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
        QFile out(cut);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(whole.read(4096));
    }
    struct Case {
        QString path;
        Cause cause;
        const char* says;
    };
    const Case cases[] = {
        {cut, Cause::CutShort, "it ends at 4,096 bytes of its"},
        {dir_->filePath(QStringLiteral("missing.pst")), Cause::Damaged, "damaged"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        Recorded sink;
        Producer producer(c.path, sink);
        EXPECT_FALSE(producer.open());
        ASSERT_EQ(sink.records.size(), 1u);
        ASSERT_EQ(sink.records[0].type, Type::OpenFailed);
        const auto failure =
            records::decodeFailure(sink.records[0].payload.data(), sink.records[0].payload.size());
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->cause, c.cause);
        EXPECT_TRUE(failure->text.contains(c.path)) << failure->text.toStdString();
        EXPECT_TRUE(failure->text.contains(QLatin1String(c.says))) << failure->text.toStdString();
    }
}

// Progress while the producer is busy (the reader calls stillAtWork during long work), at most
// as often as it is told.
TEST(ProducerProgress, IsSentWhileBusyAndNoMoreOftenThanAllowed) {
    Recorded sink;
    ProducerOptions options;
    auto now = std::chrono::steady_clock::time_point();
    options.clock = [&now] { return now; };
    options.progressEvery = std::chrono::seconds(1);
    Producer producer(QStringLiteral("/nonexistent/none.pst"), sink, options);
    for (int tick = 0; tick < 40; ++tick) {
        now += std::chrono::milliseconds(100);
        producer.stillAtWork();
    }
    // Four seconds of work: one record a second.
    int progress = 0;
    for (const auto& r : sink.records)
        progress += r.type == Type::Progress ? 1 : 0;
    EXPECT_EQ(progress, 4);
}

// The reader tells of its long work: a lookup in an intact index costs a page or two and says
// nothing; one in a damaged index scans the whole file, and says so as it goes.
TEST_F(ProducerOverAStore, TheReaderTellsItIsStillAtWorkWhileItScansTheFile) {
    QFile whole(path());
    ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
    QByteArray bytes = whole.readAll();
    const pst::Header header =
        pst::parseHeader(pst::View(reinterpret_cast<const std::uint8_t*>(bytes.constData()), 564));
    ASSERT_LT(header.nbtIb + 512, std::uint64_t(bytes.size()));
    const QString damaged = dir_->filePath(QStringLiteral("damaged index.pst"));
    bytes.replace(qsizetype(header.nbtIb), 512, QByteArray(512, '\x5a'));
    QFile out(damaged);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(bytes);
    out.close();
    struct Case {
        QString path;
        bool scans;
    };
    for (const Case& c : {Case{path(), false}, Case{damaged, true}}) {
        SCOPED_TRACE(c.path.toStdString());
        int calls = 0;
        pst::ReadOptions options;
        options.progress = [&calls] { ++calls; };
        const pst::Store store = pst::Store::openFile(c.path.toStdString(), options);
        EXPECT_TRUE(store.ndb().node(pst::kNidMessageStore));
        EXPECT_EQ(calls > 0, c.scans) << calls;
    }
}

} // namespace
