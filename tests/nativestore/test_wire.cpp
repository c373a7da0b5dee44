// What the reading child hands over must arrive whole, and anything malformed must be refused.
#include <recordroad.h>
#include <records.h>
#include <wire.h>

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace talvenor;
using namespace talvenor::nativestore;

namespace {

mapi::Message sample() {
    mapi::Message m;
    m.setUnicode(mapi::tags::Subject, u"Grüße");
    m.setInt32(mapi::tags::Importance, 2);
    mapi::Property named;
    named.id = 0x8001;
    named.type = mapi::PtUnicode | mapi::PtMultiFlag;
    named.name = mapi::PropertyName{mapi::PS_PUBLIC_STRINGS, std::nullopt, u"Keywords"};
    named.values = {mapi::utf16le(u"a"), mapi::utf16le(u"b")};
    m.set(named);
    mapi::Property numbered;
    numbered.id = 0x8002;
    numbered.type = mapi::PtBoolean;
    numbered.name = mapi::PropertyName{mapi::PSETID_Common, 0x8503, {}};
    numbered.value = {1, 0};
    m.set(numbered);
    m.recipients.emplace_back().setUnicode(mapi::tags::DisplayName, u"Ann");
    auto& file = m.attachments.emplace_back();
    file.setBinary(mapi::tags::AttachDataBinary, {0, 1, 2, 255});
    auto& inner = m.attachments.emplace_back();
    inner.setInt32(mapi::tags::AttachMethod, mapi::AttachEmbeddedMsg);
    inner.embedded = std::make_shared<mapi::Message>();
    inner.embedded->setUnicode(mapi::tags::Subject, u"inside");
    inner.embedded->recipients.emplace_back().setUnicode(mapi::tags::DisplayName, u"Bo");
    return m;
}

bool sameBag(const mapi::PropertyBag& a, const mapi::PropertyBag& b) {
    if (a.props.size() != b.props.size())
        return false;
    for (std::size_t i = 0; i < a.props.size(); ++i) {
        const auto &x = a.props[i], &y = b.props[i];
        if (x.id != y.id || x.type != y.type || x.name != y.name || x.value != y.value ||
            x.values != y.values)
            return false;
    }
    return true;
}

bool sameMessage(const mapi::Message& a, const mapi::Message& b) {
    if (!sameBag(a, b) || a.recipients.size() != b.recipients.size() ||
        a.attachments.size() != b.attachments.size())
        return false;
    for (std::size_t i = 0; i < a.recipients.size(); ++i)
        if (!sameBag(a.recipients[i], b.recipients[i]))
            return false;
    for (std::size_t i = 0; i < a.attachments.size(); ++i) {
        const auto &x = a.attachments[i], &y = b.attachments[i];
        if (!sameBag(x, y) || bool(x.embedded) != bool(y.embedded))
            return false;
        if (x.embedded && !sameMessage(*x.embedded, *y.embedded))
            return false;
    }
    return true;
}

wire::FolderInfo sampleTree() {
    auto folder = [](std::uint32_t id, QString name, int messages) {
        wire::FolderInfo f;
        f.id = id;
        f.name = std::move(name);
        f.messages = messages;
        return f;
    };
    wire::FolderInfo root = folder(0x122, QStringLiteral("Personal Folders"), 0);
    root.folders.push_back(folder(0x8042, QStringLiteral("Inbox"), 3));
    root.folders[0].folders.push_back(folder(0x8062, QStringLiteral("日本"), 20000));
    root.folders.push_back(folder(0x8082, QString(), 0));
    root.folders.back().contentsFailure = QStringLiteral("its contents table is damaged");
    root.folders.back().foldersFailure = QStringLiteral("its hierarchy table is damaged");
    root.folders.back().failureCause = Cause::CutShort;
    root.folders[0].folders.push_back(folder(0x8042, QStringLiteral("Inbox"), 0));
    root.folders[0].folders.back().repeated = true;
    return root;
}

bool sameTree(const wire::FolderInfo& a, const wire::FolderInfo& b) {
    if (a.id != b.id || a.name != b.name || a.messages != b.messages ||
        a.contentsFailure != b.contentsFailure || a.foldersFailure != b.foldersFailure ||
        a.failureCause != b.failureCause || a.repeated != b.repeated ||
        a.folders.size() != b.folders.size())
        return false;
    for (std::size_t i = 0; i < a.folders.size(); ++i)
        if (!sameTree(a.folders[i], b.folders[i]))
            return false;
    return true;
}

// A failure crosses the socket with its cause, so that the program decides by the cause and
// not by a number two meanings might share.
TEST(WireFailure, EveryCauseArrivesAsItWasSent) {
    for (int c = 0; c < CauseCount; ++c) {
        SCOPED_TRACE(c);
        const records::FailureInfo sent{Cause(c), -2147221221 + c,
                                        QStringLiteral("Grüße %1").arg(c)};
        const wire::Bytes bytes = records::encodeFailure(sent);
        const auto got = records::decodeFailure(bytes.data(), bytes.size());
        ASSERT_TRUE(got);
        EXPECT_EQ(got->cause, sent.cause);
        EXPECT_EQ(got->number, sent.number);
        EXPECT_EQ(got->text, sent.text);
    }
}

TEST(WireFailure, MalformedFailuresAreRefused) {
    wire::Bytes unknownCause = records::encodeFailure({Cause::Damaged, 1, QStringLiteral("x")});
    unknownCause[0] = std::uint8_t(CauseCount);
    struct Case {
        const char* name;
        wire::Bytes bytes;
    };
    const Case cases[] = {
        {"empty", {}},
        {"no number", {1, 0, 0, 0}},
        {"a cause there is not", unknownCause},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(records::decodeFailure(c.bytes.data(), c.bytes.size()));
    }
}

} // namespace

TEST(Wire, ItemsAndTreesArriveWhole) {
    for (const bool withMessage : {true, false}) {
        wire::ItemInfo item;
        item.itemClass = withMessage ? 43 : 40;
        if (withMessage) {
            item.subject = QStringLiteral("Re: a/b");
            item.message = sample();
        }
        const auto back = wire::decodeItem(wire::encodeItem(item));
        ASSERT_TRUE(back);
        EXPECT_EQ(back->itemClass, item.itemClass);
        EXPECT_EQ(back->subject, item.subject);
        ASSERT_EQ(bool(back->message), withMessage);
        if (withMessage) {
            EXPECT_TRUE(sameMessage(*back->message, *item.message));
        }
    }
    const auto tree = wire::decodeTree(wire::encodeTree(sampleTree()));
    ASSERT_TRUE(tree);
    EXPECT_TRUE(sameTree(*tree, sampleTree()));
}

TEST(Wire, CutOrPaddedBytesAreRefused) {
    wire::ItemInfo item;
    item.itemClass = 43;
    item.subject = QStringLiteral("s");
    item.message = sample();
    const mapi::Bytes whole = wire::encodeItem(item);
    for (std::size_t n = 0; n < whole.size(); ++n)
        EXPECT_FALSE(wire::decodeItem(mapi::Bytes(whole.begin(), whole.begin() + n))) << n;
    mapi::Bytes padded = whole;
    padded.push_back(0);
    EXPECT_FALSE(wire::decodeItem(padded));

    const mapi::Bytes tree = wire::encodeTree(sampleTree());
    for (std::size_t n = 0; n < tree.size(); ++n)
        EXPECT_FALSE(wire::decodeTree(mapi::Bytes(tree.begin(), tree.begin() + n))) << n;
}

TEST(Wire, CountsBeyondTheBytesAreRefusedBeforeAnythingIsAllocated) {
    // A folder that claims four billion sub-folders, and a message with as many properties.
    mapi::Bytes tree(16, 0);
    tree[12] = tree[13] = tree[14] = tree[15] = 0xFF;
    EXPECT_FALSE(wire::decodeTree(tree));
    mapi::Bytes item = {43, 0, 0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_FALSE(wire::decodeItem(item));
}

// Attachment data of at least the size given goes over apart, and the item takes the values
// back in their places only when they are exactly the ones it left out.
TEST(Wire, AttachmentDataApartArrivesInItsPlace) {
    wire::ItemInfo item;
    item.itemClass = 43;
    item.message = sample();
    item.message->attachments[0].setBinary(mapi::tags::AttachDataBinary, mapi::Bytes(10000, 7));
    auto& deep = item.message->attachments[1].embedded->attachments.emplace_back();
    deep.setBinary(mapi::tags::AttachDataBinary, mapi::Bytes(6000, 9));
    const wire::ItemApart encoded = wire::encodeItemApart(item, 5000);
    ASSERT_EQ(encoded.apart.size(), 2u);
    EXPECT_EQ(encoded.apartBytes, 16000u);
    EXPECT_LT(encoded.item.size(), 1000u);
    const std::vector<mapi::Bytes> sent = {*encoded.apart[0], *encoded.apart[1]};
    struct Case {
        const char* name;
        std::vector<mapi::Bytes> given;
        bool whole;
    };
    const Case cases[] = {
        {"the values in order", sent, true},
        {"none", {}, false},
        {"one missing", {sent[0]}, false},
        {"one more", {sent[0], sent[1], sent[1]}, false},
        {"in the other order", {sent[1], sent[0]}, false},
        {"one a byte short", {sent[0], mapi::Bytes(5999, 9)}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<mapi::Bytes> given = c.given;
        const auto back = wire::decodeItem(encoded.item.data(), encoded.item.size(), &given);
        ASSERT_EQ(bool(back), c.whole);
        if (c.whole) {
            EXPECT_TRUE(sameMessage(*back->message, *item.message));
        }
    }
    // Without a limit nothing goes apart, and the item decodes as before.
    EXPECT_EQ(wire::encodeItemApart(item, SIZE_MAX).item, wire::encodeItem(item));
}

// The pieces of the values one item hands over apart: each value starts at 0 with its size, its
// pieces follow in order, and all of them belong to the item that comes next.
TEST(ValueParts, PiecesOutOfStepAreRefused) {
    struct Piece {
        std::int32_t index;
        std::uint64_t total, offset;
        std::size_t size;
    };
    struct Case {
        const char* name;
        std::vector<Piece> pieces;
        std::size_t takenBeforeRefusal; // all: none refused
        bool finishes;                  // for item 1
    };
    const std::size_t all = SIZE_MAX;
    const Case cases[] = {
        {"one value in two pieces", {{1, 100, 0, 60}, {1, 100, 60, 40}}, all, true},
        {"two values", {{1, 10, 0, 10}, {1, 20, 0, 20}}, all, true},
        {"a value not whole at the item", {{1, 100, 0, 60}}, all, false},
        {"a piece of another item", {{1, 100, 0, 60}, {2, 100, 60, 40}}, 1, false},
        {"pieces of another item only", {{2, 10, 0, 10}}, all, false},
        {"a gap", {{1, 100, 0, 50}, {1, 100, 60, 40}}, 1, false},
        {"a piece past the end", {{1, 100, 0, 60}, {1, 100, 60, 41}}, 1, false},
        {"a size that changes", {{1, 100, 0, 60}, {1, 101, 60, 40}}, 1, false},
        {"a value started before the last is whole", {{1, 100, 0, 60}, {1, 10, 0, 10}}, 1, false},
        {"a value of nothing", {{1, 0, 0, 0}}, 0, false},
        {"values larger together than the limit", {{1, 600, 0, 600}, {1, 600, 0, 600}}, 1, false},
        {"a piece without its start", {{1, 100, 60, 40}}, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        records::ValueParts parts(1000);
        std::size_t taken = 0;
        bool refused = false;
        for (const Piece& p : c.pieces) {
            const mapi::Bytes bytes(p.size, 5);
            const mapi::Bytes payload =
                records::encodeValuePart(p.total, p.offset, bytes.data(), bytes.size());
            if (!parts.take(1, p.index, payload.data(), payload.size())) {
                refused = true;
                break;
            }
            ++taken;
        }
        EXPECT_EQ(refused ? taken : all, c.takenBeforeRefusal);
        if (!refused) {
            EXPECT_EQ(bool(parts.finish(1, 1)), c.finishes);
        }
        // Either way the next item starts afresh.
        parts.clear();
        EXPECT_TRUE(parts.empty());
        EXPECT_TRUE(parts.finish(1, 2) && parts.finish(1, 2)->empty());
    }
    // A payload too short for its head.
    records::ValueParts parts(1000);
    const std::uint8_t shortHead[records::ValuePartHead - 1] = {};
    EXPECT_FALSE(parts.take(1, 1, shortHead, sizeof shortHead));
}

// The record fuzz target's seeds along its own road: each is a stream as a helper sends it, cut
// into pieces of a different size, and every record in it must arrive whole and decode.
TEST(RecordSeeds, EverySeedDecodesWhole) {
    struct Expected {
        const char* name;
        std::size_t records;
    };
    const Expected expected[] = {{"apart.bin", 3},
                                 {"bytewise.bin", 8},
                                 {"openfailed.bin", 1},
                                 {"pieces7.bin", 8},
                                 {"whole.bin", 8}};
    const QDir dir(QStringLiteral(TALVENOR_RECORD_SEEDS));
    EXPECT_EQ(dir.entryList(QDir::Files).size(), qsizetype(std::size(expected)))
        << "a seed without a row here, or a row without its seed";
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.name);
        QFile f(dir.filePath(QString::fromLatin1(e.name)));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        const auto road = fuzz::readRecords(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                            std::size_t(bytes.size()));
        EXPECT_EQ(road.records, e.records);
        EXPECT_EQ(road.refused, 0u);
        EXPECT_FALSE(road.oversized);
        EXPECT_EQ(road.pending, 0u);
    }
}
