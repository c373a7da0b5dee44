// The program's answers to everything a reading helper may send or do, tried with scripted
// records instead of processes: each way of ending, short and oversized records, silence.
#include <nativestore.h>
#include <readalong.h>

#include <gtest/gtest.h>

#include <csignal>
#include <deque>

using namespace talvenor;
using namespace talvenor::nativestore;
using namespace talvenor::nativestore::helper;
using records::Type;

namespace {

constexpr std::uint32_t Folder = 7;
constexpr std::uint64_t MaxRecord = 4096;

wire::Bytes record(Type type, std::uint32_t folder, std::int32_t index,
                   const wire::Bytes& payload = {}) {
    wire::Bytes out(records::HeaderSize);
    records::encodeHeader({type, folder, index, payload.size()}, out.data());
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

wire::Bytes opened() {
    wire::FolderInfo root;
    root.id = 1;
    root.name = QStringLiteral("store");
    wire::FolderInfo inbox;
    inbox.id = Folder;
    inbox.name = QStringLiteral("Inbox");
    inbox.messages = 3;
    root.folders.push_back(inbox);
    return record(Type::Opened, 0, 0, wire::encodeTree(root));
}

wire::Bytes item(int index) {
    wire::ItemInfo info;
    info.itemClass = automation::MailItemClass;
    info.subject = QStringLiteral("item %1").arg(index);
    info.message.emplace();
    return record(Type::Item, Folder, index, wire::encodeItem(info));
}

// Item `index` whose attachment's data (of `size` bytes) is sent apart before it, in pieces.
wire::Bytes itemApart(int index, std::size_t size, std::size_t piece) {
    wire::ItemInfo info;
    info.itemClass = automation::MailItemClass;
    info.subject = QStringLiteral("item %1").arg(index);
    info.message.emplace().attachments.emplace_back().setBinary(mapi::tags::AttachDataBinary,
                                                                wire::Bytes(size, 0x5A));
    const wire::ItemApart encoded = wire::encodeItemApart(info, piece);
    wire::Bytes out;
    for (const wire::Bytes* value : encoded.apart)
        for (std::size_t at = 0; at < value->size(); at += piece) {
            const std::size_t n = std::min(piece, value->size() - at);
            const auto r =
                record(Type::ValuePart, Folder, index,
                       records::encodeValuePart(value->size(), at, value->data() + at, n));
            out.insert(out.end(), r.begin(), r.end());
        }
    const auto r = record(Type::Item, Folder, index, encoded.item);
    out.insert(out.end(), r.begin(), r.end());
    return out;
}

wire::Bytes rest(int from) {
    wire::Bytes out;
    for (int j = from; j <= 3; ++j) {
        const auto r = item(j);
        out.insert(out.end(), r.begin(), r.end());
    }
    for (const auto& r :
         {record(Type::FolderEnd, Folder, records::WholeFolder), record(Type::Finished, 0, 0)})
        out.insert(out.end(), r.begin(), r.end());
    return out;
}

wire::Bytes join(std::initializer_list<wire::Bytes> parts) {
    wire::Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// One helper: what it sends (a step without bytes is silence), then how it ends.
struct Script {
    std::vector<std::optional<wire::Bytes>> steps;
    Ending ending;
};

Ending exited(int code) {
    return {Ending::Kind::Exited, code, {}};
}
Ending signalled(int sig) {
    return {Ending::Kind::Signalled, sig, {}};
}

class ScriptedSource : public RecordSource {
public:
    explicit ScriptedSource(Script script) : script_(std::move(script)) {}
    Read read(records::Decoder& into, std::chrono::milliseconds) override {
        if (next_ == script_.steps.size())
            return Read::EndOfStream;
        const auto& step = script_.steps[next_++];
        if (!step)
            return Read::Silence;
        into.append(step->data(), step->size());
        return Read::Bytes;
    }
    Ending finish(bool stop) override { return stop ? signalled(SIGKILL) : script_.ending; }

private:
    Script script_;
    std::size_t next_ = 0;
};

// The helpers the state machine starts, in turn, and where each was to go on.
struct Helpers {
    std::deque<Script> scripts;
    std::vector<ResumePoint> startedFrom;
    StartHelper starter() {
        return [this](ResumePoint from) -> std::unique_ptr<RecordSource> {
            startedFrom.push_back(from);
            if (scripts.empty())
                return std::make_unique<ScriptedSource>(Script{{}, exited(99)});
            Script s = std::move(scripts.front());
            scripts.pop_front();
            return std::make_unique<ScriptedSource>(std::move(s));
        };
    }
};

Limits limits() {
    Limits l;
    l.maxRecordSize = MaxRecord;
    return l;
}

// A helper that reads item 1 and then ends in one way or another.
struct EndingCase {
    const char* name;
    wire::Bytes last; // sent after item 1
    Ending ending;
    const char* told; // what the report says happened
};

std::vector<EndingCase> endingCases() {
    wire::Bytes shortRecord = item(2);
    shortRecord.resize(shortRecord.size() / 2);
    wire::Bytes oversized = record(Type::Item, Folder, 2);
    records::encodeHeader({Type::Item, Folder, 2, MaxRecord + 1}, oversized.data());
    wire::Bytes malformed = record(Type::Item, Folder, 2, {1, 2, 3});
    wire::Bytes unknown = record(Type(77), Folder, 2);
    // A piece of item 2's data, then no item but the folder's end.
    const wire::Bytes piece(1000, 1);
    const wire::Bytes piecesAlone =
        join({record(Type::ValuePart, Folder, 2,
                     records::encodeValuePart(3000, 0, piece.data(), piece.size())),
              record(Type::FolderEnd, Folder, records::WholeFolder)});
    return {
        {"exit0", {}, exited(0), "ended before it had read everything"},
        {"exit1", {}, exited(1), "ended with exit code 1"},
        {"refused", {}, exited(exits::Refused), "ended with exit code 3"},
        {"usage", {}, exited(exits::Usage), "ended with exit code 2"},
        {"lostPlaceAfterShortRecord", shortRecord, exited(exits::LostItsPlace),
         "exit code 4 in the middle of a record"},
        {"outOfMemory", {}, exited(exits::OutOfMemory), "ran out of memory"},
        {"killed", {}, signalled(SIGKILL), "was killed (signal 9)"},
        {"crashed", {}, signalled(SIGSEGV), "crashed (signal 11, SEGV)"},
        {"aborted", {}, signalled(SIGABRT), "crashed (signal 6, ABRT)"},
        {"shortRecord", shortRecord, exited(0), "in the middle of a record"},
        {"oversized", oversized, exited(0), "a record of 4097 bytes, more than the 4096"},
        {"malformed", malformed, exited(0), "bytes that make no sense"},
        {"unknownRecord", unknown, exited(0), "bytes that make no sense"},
        {"piecesWithoutTheirItem", piecesAlone, exited(0), "bytes that make no sense"},
        {"piecesLargerThanAnItem", itemApart(2, MaxRecord + 1, 1000), exited(0),
         "bytes that make no sense"},
    };
}

Script endingAfterItemOne(const EndingCase& c, bool first) {
    Script s;
    s.steps.push_back(first ? join({opened(), record(Type::FolderStart, Folder, 0), item(1)})
                            : join({opened(), record(Type::FolderStart, Folder, 1)}));
    if (!c.last.empty())
        s.steps.push_back(c.last);
    s.ending = c.ending;
    return s;
}

TEST(ReadAlongEndings, AHelperThatEndsIsRetriedOnceAndTheRetryCostsNothing) {
    for (const EndingCase& c : endingCases()) {
        SCOPED_TRACE(c.name);
        Helpers helpers;
        helpers.scripts.push_back(endingAfterItemOne(c, true));
        helpers.scripts.push_back({{join({opened(), rest(2)})}, exited(0)});
        ReadAlong reading(QStringLiteral("/x/store.pst"), helpers.starter(), limits());
        EXPECT_EQ(reading.open().folders.at(0).id, Folder);
        for (int j = 1; j <= 3; ++j)
            EXPECT_EQ(reading.wait(Folder, j).subject, QStringLiteral("item %1").arg(j));
        ASSERT_EQ(helpers.startedFrom.size(), 2u);
        EXPECT_EQ(helpers.startedFrom[1], (ResumePoint{Folder, 1}));
    }
}

TEST(ReadAlongEndings, AnItemThatFailsTheSameWayTwiceIsReportedWithWhatHappened) {
    for (const EndingCase& c : endingCases()) {
        SCOPED_TRACE(c.name);
        Helpers helpers;
        helpers.scripts.push_back(endingAfterItemOne(c, true));
        helpers.scripts.push_back(endingAfterItemOne(c, false));
        helpers.scripts.push_back({{join({opened(), rest(3)})}, exited(0)});
        ReadAlong reading(QStringLiteral("/x/store.pst"), helpers.starter(), limits());
        reading.open();
        EXPECT_EQ(reading.wait(Folder, 1).subject, QStringLiteral("item 1"));
        try {
            reading.wait(Folder, 2);
            ADD_FAILURE() << "item 2 was handed out";
        } catch (const Failure& f) {
            EXPECT_EQ(f.number(), storefailures::DamagedStore);
            EXPECT_TRUE(f.description().contains(QStringLiteral("/x/store.pst")));
            EXPECT_TRUE(f.description().contains(QStringLiteral("item 2 of a folder failed twice")))
                << f.description().toStdString();
            EXPECT_TRUE(f.description().contains(QString::fromUtf8(c.told)))
                << f.description().toStdString();
        }
        // Asked again, the same report; the next helper went on after the item.
        EXPECT_THROW(reading.wait(Folder, 2), Failure);
        EXPECT_EQ(reading.wait(Folder, 3).subject, QStringLiteral("item 3"));
        ASSERT_EQ(helpers.startedFrom.size(), 3u);
        EXPECT_EQ(helpers.startedFrom[2], (ResumePoint{Folder, 2}));
    }
}

TEST(ReadAlongEndings, TwoDifferentEndsAtOneItemSayBothAndDoNotCallTheFileDamaged) {
    Helpers helpers;
    const auto cases = endingCases();
    helpers.scripts.push_back(endingAfterItemOne(cases[6], true));  // killed
    helpers.scripts.push_back(endingAfterItemOne(cases[5], false)); // out of memory
    helpers.scripts.push_back({{join({opened(), rest(3)})}, exited(0)});
    ReadAlong reading(QStringLiteral("/x/store.pst"), helpers.starter(), limits());
    reading.open();
    reading.wait(Folder, 1);
    try {
        reading.wait(Folder, 2);
        ADD_FAILURE() << "item 2 was handed out";
    } catch (const Failure& f) {
        EXPECT_EQ(f.number(), storefailures::ReaderFailed);
        EXPECT_TRUE(f.description().contains(QStringLiteral("first the reading helper was killed")))
            << f.description().toStdString();
        EXPECT_TRUE(f.description().contains(QStringLiteral("then the reading helper ran out")))
            << f.description().toStdString();
    }
    EXPECT_EQ(reading.wait(Folder, 3).subject, QStringLiteral("item 3"));
}

TEST(ReadAlongEndings, SilenceStopsTheHelperAndSaysHowLongItWasSilent) {
    Helpers helpers;
    Limits l = limits();
    l.itemSilence = std::chrono::seconds(7);
    for (int i = 0; i < 2; ++i)
        helpers.scripts.push_back(
            {{join({opened(), record(Type::FolderStart, Folder, 0)}), std::nullopt}, exited(0)});
    ReadAlong reading(QStringLiteral("/x/store.pst"), helpers.starter(), l);
    reading.open();
    try {
        reading.wait(Folder, 1);
        ADD_FAILURE() << "item 1 was handed out";
    } catch (const Failure& f) {
        EXPECT_TRUE(f.description().contains(QStringLiteral("did not answer for 7 s")))
            << f.description().toStdString();
    }
}

TEST(ReadAlongEndings, ProgressRecordsKeepALargeItemFromLookingStalled) {
    Helpers helpers;
    const wire::Bytes progress = record(Type::Progress, 0, 0);
    helpers.scripts.push_back({{join({opened(), record(Type::FolderStart, Folder, 0)}), progress,
                                progress, progress, join({rest(1)})},
                               exited(0)});
    ReadAlong reading(QStringLiteral("/x/store.pst"), helpers.starter(), limits());
    reading.open();
    EXPECT_EQ(reading.wait(Folder, 1).subject, QStringLiteral("item 1"));
    EXPECT_EQ(helpers.startedFrom.size(), 1u);
}

TEST(ReadAlongEndings, AnItemTooLargeToHandOverIsReportedAndTheStreamStaysInStep) {
    Helpers helpers;
    helpers.scripts.push_back(
        {{join({opened(), record(Type::FolderStart, Folder, 0), item(1),
                record(Type::ItemTooLarge, Folder, 2, records::encodeSize(std::uint64_t(5) << 32)),
                rest(3)})},
         exited(0)});
    ReadAlong reading(QStringLiteral("/x/store.pst"), helpers.starter(), limits());
    reading.open();
    reading.wait(Folder, 1);
    try {
        reading.wait(Folder, 2);
        ADD_FAILURE() << "item 2 was handed out";
    } catch (const Failure& f) {
        EXPECT_EQ(f.number(), storefailures::ItemTooLarge);
        EXPECT_TRUE(f.description().contains(QStringLiteral("21474836480 bytes")))
            << f.description().toStdString();
    }
    EXPECT_EQ(reading.wait(Folder, 3).subject, QStringLiteral("item 3"));
    EXPECT_EQ(helpers.startedFrom.size(), 1u);
}

TEST(ReadAlongEndings, AFailureTheHelperMetIsHandedOutAsItIs) {
    Helpers helpers;
    helpers.scripts.push_back(
        {{join({opened(), record(Type::FolderStart, Folder, 0),
                record(Type::ItemFailed, Folder, 1,
                       records::encodeFailure(
                           {Cause::Damaged, storefailures::DamagedStore, "item one: bad"})),
                rest(2)})},
         exited(0)});
    ReadAlong reading(QStringLiteral("/x/store.pst"), helpers.starter(), limits());
    reading.open();
    try {
        reading.wait(Folder, 1);
        ADD_FAILURE() << "item 1 was handed out";
    } catch (const Failure& f) {
        EXPECT_EQ(f.number(), storefailures::DamagedStore);
        EXPECT_EQ(f.description(), QStringLiteral("item one: bad"));
    }
    EXPECT_EQ(reading.wait(Folder, 2).subject, QStringLiteral("item 2"));
}

TEST(ReadAlongEndings, AHelperThatMakesRoomIsFollowedWithoutAReport) {
    Helpers helpers;
    helpers.scripts.push_back(
        {{join({opened(), record(Type::FolderStart, Folder, 0), item(1)})}, exited(5)});
    helpers.scripts.push_back(
        {{join({opened(), record(Type::FolderStart, Folder, 1), rest(2)})}, exited(0)});
    ReadAlong reading(QStringLiteral("/x/store.pst"), helpers.starter(), limits());
    reading.open();
    for (int j = 1; j <= 3; ++j)
        EXPECT_EQ(reading.wait(Folder, j).subject, QStringLiteral("item %1").arg(j));
    ASSERT_EQ(helpers.startedFrom.size(), 2u);
    EXPECT_EQ(helpers.startedFrom[1], (ResumePoint{Folder, 1}));
}

TEST(ReadAlongEndings, AnItemGonePastAndNotKeptIsReadAgainByAFreshHelper) {
    Helpers helpers;
    helpers.scripts.push_back(
        {{join({opened(), record(Type::FolderStart, Folder, 0), item(1), item(2)}), rest(3)},
         exited(0)});
    helpers.scripts.push_back(
        {{join({opened(), record(Type::FolderStart, Folder, 0), rest(1)})}, exited(0)});
    Limits keepLittle = limits();
    keepLittle.maxKept = 1; // items 1 and 2 make room for item 3
    ReadAlong reading(QStringLiteral("/x/store.pst"), helpers.starter(), keepLittle);
    reading.open();
    EXPECT_EQ(reading.wait(Folder, 3).subject, QStringLiteral("item 3"));
    EXPECT_EQ(helpers.startedFrom.size(), 1u);
    EXPECT_EQ(reading.wait(Folder, 1).subject, QStringLiteral("item 1"));
    ASSERT_EQ(helpers.startedFrom.size(), 2u);
    EXPECT_EQ(helpers.startedFrom[1], (ResumePoint{Folder, 0}));
}

// How opening ends.
struct OpeningCase {
    const char* name;
    std::vector<Script> helpers;
    std::int32_t number;
    Cause cause;
    const char* told;
};

TEST(ReadAlongOpening, EveryWayOpeningEndsGivesOneClearFailure) {
    const Script crash{{}, signalled(SIGSEGV)};
    const Script killed{{}, signalled(SIGKILL)};
    const Script silent{{std::nullopt}, exited(0)};
    const Script refused{{record(Type::OpenFailed, 0, 0,
                                 records::encodeFailure(
                                     {Cause::NotAStore, storefailures::NotAStore, "not a store"}))},
                         exited(exits::Refused)};
    const Script notStarted{{}, {Ending::Kind::NotStarted, 0, QStringLiteral("no such program")}};
    const std::vector<OpeningCase> cases{
        {"crashTwice",
         {crash, crash},
         storefailures::DamagedStore,
         Cause::Damaged,
         "opening it failed twice: the reading helper crashed (signal 11"},
        {"killedThenCrashed",
         {killed, crash},
         storefailures::ReaderFailed,
         Cause::ReaderFailed,
         "first the reading helper was killed"},
        {"silentTwice",
         {silent, silent},
         storefailures::DamagedStore,
         Cause::Damaged,
         "did not answer for 120 s"},
        {"refused", {refused}, storefailures::NotAStore, Cause::NotAStore, "not a store"},
        {"notStarted",
         {notStarted},
         storefailures::ReaderNotStarted,
         Cause::ReaderNotStarted,
         "the reading helper could not be started: no such program"},
        {"oversizedTree",
         {Script{{record(Type::Opened, 0, 0, wire::Bytes(MaxRecord + 1))}, exited(0)},
          Script{{record(Type::Opened, 0, 0, wire::Bytes(MaxRecord + 1))}, exited(0)}},
         storefailures::DamagedStore,
         Cause::Damaged,
         "more than the 4096"},
    };
    for (const OpeningCase& c : cases) {
        SCOPED_TRACE(c.name);
        Helpers helpers;
        helpers.scripts.assign(c.helpers.begin(), c.helpers.end());
        ReadAlong reading(QStringLiteral("/x/store.pst"), helpers.starter(), limits());
        try {
            reading.open();
            ADD_FAILURE() << "the store opened";
        } catch (const Failure& f) {
            EXPECT_EQ(f.number(), c.number) << f.description().toStdString();
            EXPECT_EQ(f.cause(), c.cause) << f.description().toStdString();
            EXPECT_TRUE(f.description().contains(QString::fromUtf8(c.told)))
                << f.description().toStdString();
        }
        EXPECT_EQ(helpers.startedFrom.size(), c.helpers.size());
    }
}

TEST(ReadAlongOpening, AHelperKilledWhileOpeningCostsNothing) {
    Helpers helpers;
    helpers.scripts.push_back({{}, signalled(SIGKILL)});
    helpers.scripts.push_back(
        {{join({opened(), record(Type::FolderStart, Folder, 0), rest(1)})}, exited(0)});
    ReadAlong reading(QStringLiteral("/x/store.pst"), helpers.starter(), limits());
    EXPECT_EQ(reading.open().folders.size(), 1u);
    EXPECT_EQ(reading.wait(Folder, 3).subject, QStringLiteral("item 3"));
}

TEST(RecordDecoder, RecordsArriveWholeWhateverPiecesTheBytesComeIn) {
    const wire::Bytes stream = join({opened(), item(1), record(Type::Progress, 0, 0), item(2)});
    for (std::size_t piece : {std::size_t(1), std::size_t(7), std::size_t(24), stream.size()}) {
        SCOPED_TRACE(piece);
        records::Decoder decoder(MaxRecord);
        std::vector<Type> seen;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            decoder.append(stream.data() + at, std::min(piece, stream.size() - at));
            records::Header h;
            const std::uint8_t* payload = nullptr;
            while (decoder.next(h, payload) == records::Decoder::Status::Record)
                seen.push_back(h.type);
        }
        EXPECT_EQ(seen, (std::vector<Type>{Type::Opened, Type::Item, Type::Progress, Type::Item}));
        EXPECT_EQ(decoder.pending(), 0u);
    }
}

TEST(RecordDecoder, LengthsBeyondThirtyTwoBitsSurviveTheHeader) {
    std::uint8_t bytes[records::HeaderSize];
    const records::Header big{Type::ItemTooLarge, 9, 12, (std::uint64_t(1) << 32) + 5};
    records::encodeHeader(big, bytes);
    const records::Header back = records::decodeHeader(bytes);
    EXPECT_EQ(back.size, big.size);
    EXPECT_EQ(back.index, 12);
    records::Decoder decoder(MaxRecord);
    decoder.append(bytes, sizeof bytes);
    records::Header h;
    const std::uint8_t* payload = nullptr;
    EXPECT_EQ(decoder.next(h, payload), records::Decoder::Status::Oversized);
    EXPECT_EQ(decoder.claimed(), big.size);
}

} // namespace
