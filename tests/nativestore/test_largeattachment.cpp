// Large attachments on their way from the store to the message file: the helper sends their
// bytes apart from the item, in pieces, from the message it read; the program gathers them
// into one buffer each and the writer puts them into the file from there. An item larger than
// the limit is refused before its data is read, and the items around it are written.
#include <msgfile.h>
#include <msgreader.h>
#include <nativestore.h>
#include <producer.h>
#include <pstwriter.h>
#include <records.h>
#include <session.h>
#include <wire.h>

#include <recorders.h>

#include <QDir>
#include <QDirIterator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>

using namespace talvenor;
using namespace talvenor::nativestore;
using records::Type;

namespace {

constexpr std::size_t MiB = std::size_t(1) << 20;

mapi::Bytes pattern(std::size_t size, std::uint64_t seed) {
    mapi::Bytes out(size);
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ULL + 1;
    for (std::size_t i = 0; i < size; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(out.data() + i, &x, std::min<std::size_t>(8, size - i));
    }
    return out;
}

// The mail of the store, in the folder's order; the attachment of one of them sits in a
// message attached to it.
struct Stored {
    const char16_t* subject;
    std::size_t attachment;
    bool inside;
};
constexpr Stored StoredMail[] = {
    {u"small", 3000, false},
    {u"large", 24 * MiB, false},
    {u"inside an attached message", 3 * MiB, true},
    {u"after the large one", 70000, false},
};

mapi::Bytes attachmentOf(std::size_t i) {
    return pattern(StoredMail[i].attachment, i + 1);
}

mapi::Message mail(const std::u16string& subject) {
    mapi::Message m;
    m.setString8(mapi::tags::MessageClass, "IPM.Note");
    pstwriter::build::setSubject(m, subject, false);
    return m;
}

const mapi::Bytes* attachedData(const mapi::Message& m) {
    if (m.attachments.empty())
        return nullptr;
    const mapi::Attachment& a = m.attachments.front();
    if (a.embedded)
        return attachedData(*a.embedded);
    const mapi::Property* p = a.find(mapi::tags::AttachDataBinary);
    return p ? &p->value : nullptr;
}

class LargeAttachments : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new QTemporaryDir;
        pstwriter::Writer writer(store().toStdString());
        const auto inbox = writer.addFolder(writer.topFolder(), u"Inbox", u"IPF.Note",
                                            pstwriter::SpecialFolder::Inbox);
        for (std::size_t i = 0; i < std::size(StoredMail); ++i) {
            mapi::Message m = mail(StoredMail[i].subject);
            if (StoredMail[i].inside) {
                mapi::Message inner = mail(u"inner");
                pstwriter::build::addAttachment(inner, u"data.bin", "application/octet-stream",
                                                attachmentOf(i));
                pstwriter::build::addEmbedded(m, u"inner", std::move(inner));
            } else {
                pstwriter::build::addAttachment(m, u"data.bin", "application/octet-stream",
                                                attachmentOf(i));
            }
            writer.addMessage(inbox, m);
        }
        writer.finish();
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static QString store() { return dir_->filePath(QStringLiteral("large.pst")); }
    static inline QTemporaryDir* dir_ = nullptr;
};

struct Recorded : RecordSink {
    struct Record {
        Type type;
        std::int32_t index;
        wire::Bytes payload;
    };
    void send(Type type, std::uint32_t, std::int32_t index, const wire::Bytes& payload) override {
        records.push_back({type, index, payload});
    }
    std::vector<Record> records;
};

TEST_F(LargeAttachments, TheHelperSendsLargeDataApartInPiecesAndTheProgramGathersItOnce) {
    struct Case {
        const char* name;
        std::size_t piece;
        std::size_t apart; // items whose attachment goes over apart
    };
    const Case cases[] = {
        {"small pieces: every attachment apart", 2048, 4},
        {"the default: the large ones apart", records::DefaultValuePiece, 2},
        {"pieces larger than all but one", 8 * MiB, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Recorded sink;
        ProducerOptions options;
        options.valuePiece = c.piece;
        Producer producer(store(), sink, options);
        ASSERT_TRUE(producer.open());
        while (producer.next() == Producer::Step::Going) {
        }
        records::ValueParts parts(records::DefaultMaxRecordSize);
        std::size_t items = 0, apart = 0;
        for (const auto& r : sink.records) {
            // No record holds a large attachment whole: pieces, and the items without them.
            EXPECT_LE(r.payload.size(), c.piece + std::size_t(64 << 10));
            if (r.type == Type::ValuePart) {
                ASSERT_TRUE(parts.take(1, r.index, r.payload.data(), r.payload.size()));
                continue;
            }
            if (r.type != Type::Item)
                continue;
            apart += parts.empty() ? 0 : 1;
            auto values = parts.finish(1, r.index);
            ASSERT_TRUE(values);
            const auto item = wire::decodeItem(r.payload.data(), r.payload.size(), &*values);
            ASSERT_TRUE(item && item->message);
            const mapi::Bytes* data = attachedData(*item->message);
            ASSERT_NE(data, nullptr);
            EXPECT_TRUE(*data == attachmentOf(items)) << "item " << r.index;
            // Gathered into a buffer of its size: never grown, never copied whole.
            if (data->size() >= c.piece) {
                EXPECT_EQ(data->capacity(), data->size());
            }
            ++items;
        }
        EXPECT_EQ(items, std::size(StoredMail));
        EXPECT_EQ(apart, c.apart);
    }
}

// Refused by the size the store declares for the data, before it is read: the size told is
// the data's alone, not that of an item built and then found too large.
TEST_F(LargeAttachments, AnItemOverTheLimitIsRefusedBeforeItsDataIsRead) {
    Recorded sink;
    ProducerOptions options;
    options.maxRecordSize = 8 * MiB;
    Producer producer(store(), sink, options);
    ASSERT_TRUE(producer.open());
    while (producer.next() == Producer::Step::Going) {
    }
    std::vector<std::pair<std::int32_t, std::uint64_t>> refused;
    for (const auto& r : sink.records)
        if (r.type == Type::ItemTooLarge)
            refused.emplace_back(r.index, *records::decodeSize(r.payload.data(), r.payload.size()));
    const std::vector<std::pair<std::int32_t, std::uint64_t>> expected = {
        {2, StoredMail[1].attachment}};
    EXPECT_EQ(refused, expected);
}

TEST_F(LargeAttachments, ConvertedWholeOrReportedAsTooLargeWithTheOthersWritten) {
    struct Case {
        const char* name;
        Containment containment;
        std::uint64_t limit;
        std::vector<bool> written; // of StoredMail
    };
    const Case cases[] = {
        {"through the helper",
         Containment::ReadAlong,
         records::DefaultMaxRecordSize,
         {true, true, true, true}},
        {"in process", Containment::None, records::DefaultMaxRecordSize, {true, true, true, true}},
        {"through the helper, a limit below the large one",
         Containment::ReadAlong,
         8 * MiB,
         {true, false, true, true}},
        {"in process, a limit below the large one",
         Containment::None,
         8 * MiB,
         {true, false, true, true}},
        {"a limit below the attached message's",
         Containment::ReadAlong,
         2 * MiB,
         {true, false, false, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir out;
        StoreOptions options;
        options.containment = c.containment;
        options.maxRecordSize = c.limit;
        auto files = std::make_shared<msg::MessageFiles>();
        options.writer = [files](const mapi::Message& m, const QString& path) {
            files->save(m, path);
        };
        options.storeDetached = [files] { files->sync(); };
        talvenor::testing::RecordingMessageBox messages;
        talvenor::testing::CountingEventLoop events;
        talvenor::testing::RecordingPointer pointer;
        {
            NativeApplicationFactory factory(options);
            ConversionSession(factory, messages, events, pointer)
                .PST2MSG(store(), out.filePath(QStringLiteral("x.msg")));
        }
        const QStringList reports = messages.texts();
        const auto refused = std::count(c.written.begin(), c.written.end(), false);
        EXPECT_EQ(reports.size(), refused) << reports.join(u'|').toStdString();
        for (const QString& report : reports)
            EXPECT_TRUE(report.contains(QStringLiteral("(subject \"large\") is too large to be "
                                                       "converted")) ||
                        report.contains(QStringLiteral("(subject \"inside an attached message\") "
                                                       "is too large")))
                << report.toStdString();
        for (std::size_t i = 0; i < std::size(StoredMail); ++i) {
            const QString subject = QString::fromStdU16String(StoredMail[i].subject);
            QDirIterator found(out.path(), {subject + QStringLiteral(".msg")}, QDir::Files,
                               QDirIterator::Subdirectories);
            ASSERT_EQ(found.hasNext(), bool(c.written[i])) << subject.toStdString();
            if (!c.written[i])
                continue;
            const mapi::Message m = msg::readMsg(found.next());
            const mapi::Bytes* data = attachedData(m);
            ASSERT_NE(data, nullptr);
            EXPECT_TRUE(*data == attachmentOf(i)) << subject.toStdString();
        }
    }
}

} // namespace
