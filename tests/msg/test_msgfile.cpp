#include "compoundfile.h"
#include "failure.h"
#include "gsfhandles.h"
#include "msgfile.h"
#include "msgreader.h"
#include "rawfile.h"
#include "samples.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace talvenor;
using namespace talvenor::msg;
using namespace msgtest;

namespace {

constexpr std::uint32_t StoreSupportMaskTag = 0x340D0003;

QStringList entriesOf(const QString& dir) {
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

TEST(MsgFile, EverySampleSurvivesWriteAndRead) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    int n = 0;
    for (const Sample& s : samples()) {
        SCOPED_TRACE(s.name);
        const QString path = dir.filePath(QStringLiteral("m%1.msg").arg(n++));
        writeMsg(s.message, path);
        const Message back = readMsg(path);
        // The writer gives the top-level message the store-support mask of a Unicode file.
        EXPECT_EQ(canonical(asWritten(s.message), {StoreSupportMaskTag}),
                  canonical(back, {StoreSupportMaskTag}));
        ASSERT_TRUE(back.find(0x340D));
        EXPECT_EQ(readLe32(back.find(0x340D)->value.data()), 0x00040E79u);
    }
}

TEST(MsgFile, HeadersSizesAndFlagsAreThoseOfTheFormat) {
    QTemporaryDir dir;
    Message m = plainMessage(u"Header check");
    m.setString8(0x0E1D, "eight");
    m.props.push_back(
        {0x6701, PtUnicode | PtMultiFlag, std::nullopt, {}, {utf16le(u"ab"), utf16le(u"")}});
    m.props.push_back({0x6702, PtBinary | PtMultiFlag, std::nullopt, {}, {Bytes{1, 2, 3}}});
    m.props.push_back({0x6703, PtInteger16 | PtMultiFlag, std::nullopt, {}, {le16(5), le16(6)}});
    m.recipients.push_back(recipient(u"Bob", u"bob@example.org", 1));
    m.recipients.push_back(recipient(u"Eve", u"eve@example.org", 2));
    for (int i = 0; i < 11; ++i)
        m.attachments.push_back(fileAttachment(u"a.txt", Bytes{'x'}));
    auto inner = std::make_shared<Message>(plainMessage(u"Inner"));
    inner->recipients.push_back(recipient(u"Zed", u"zed@example.org", 1));
    m.attachments[3].embedded = inner;
    m.attachments[3].setInt32(tags::AttachMethod, AttachEmbeddedMsg);
    m.attachments[3].remove(tags::AttachDataBinary);
    m.props.push_back(named(lidName(PSETID_Common, 0x8580), PtInteger32, le32(1)));
    m.props.push_back(named(stringName(PS_PUBLIC_STRINGS, u"Tag"), PtInteger32, le32(2)));
    const QString path = dir.filePath("h.msg");
    writeMsg(m, path);

    RawFile raw(path);
    ASSERT_TRUE(raw.ok());
    std::uint8_t clsid[16];
    ASSERT_TRUE(gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(raw.root()), clsid));
    EXPECT_EQ(Guid{std::to_array(clsid)}.toString(), "{00020D0B-0000-0000-C000-000000000046}");

    const Bytes top = raw.stream("__properties_version1.0").value();
    ASSERT_EQ((top.size() - 32) % 16, 0u) << "nothing may follow the last entry";
    EXPECT_EQ(Bytes(top.begin(), top.begin() + 8), Bytes(8, 0));
    EXPECT_EQ(readLe32(&top[8]), 2u);   // next recipient id
    EXPECT_EQ(readLe32(&top[12]), 11u); // next attachment id
    EXPECT_EQ(readLe32(&top[16]), 2u);
    EXPECT_EQ(readLe32(&top[20]), 11u);
    EXPECT_EQ(Bytes(top.begin() + 24, top.begin() + 32), Bytes(8, 0));
    auto e = entries(top, 32);
    // Unicode: stream without terminator, size + 2; 8-bit: size + 1.
    EXPECT_EQ(raw.stream("__substg1.0_0037001F")->size(), 24u);
    EXPECT_EQ(e.at(0x0037001F).size(), 26u);
    EXPECT_EQ(raw.stream("__substg1.0_0E1D001E")->size(), 5u);
    EXPECT_EQ(e.at(0x0E1D001E).size(), 6u);
    // Fixed-size values inline, zero-padded to 8 bytes.
    EXPECT_EQ(e.at(0x0E070003).value, (Bytes{1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(readLe32(e.at(0x340D0003).value.data()), 0x00040E79u);
    EXPECT_TRUE(e.contains(0x00390040));
    EXPECT_TRUE(e.contains(0x0E060040));
    // Multi-valued: strings with a length stream and one stream per value.
    EXPECT_EQ(*raw.stream("__substg1.0_6701101F"), (Bytes{6, 0, 0, 0, 2, 0, 0, 0}));
    EXPECT_EQ(e.at(0x6701101F).size(), 8u);
    EXPECT_EQ(*raw.stream("__substg1.0_6701101F-00000000"), (Bytes{'a', 0, 'b', 0, 0, 0}));
    EXPECT_EQ(*raw.stream("__substg1.0_6701101F-00000001"), (Bytes{0, 0}));
    EXPECT_EQ(*raw.stream("__substg1.0_67021102"), (Bytes{3, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(*raw.stream("__substg1.0_67021102-00000000"), (Bytes{1, 2, 3}));
    EXPECT_EQ(*raw.stream("__substg1.0_67031002"), (Bytes{5, 0, 6, 0}));

    // Recipients and attachments: 8-byte headers, storage names in upper-case hex.
    const Bytes r1 = raw.stream("__recip_version1.0_#00000001/__properties_version1.0").value();
    EXPECT_EQ((r1.size() - 8) % 16, 0u);
    EXPECT_EQ(Bytes(r1.begin(), r1.begin() + 8), Bytes(8, 0));
    EXPECT_TRUE(raw.isStorage("__attach_version1.0_#0000000A"));
    EXPECT_FALSE(raw.isStorage("__attach_version1.0_#0000000a"));
    const Bytes a0 = raw.stream("__attach_version1.0_#00000000/__properties_version1.0").value();
    EXPECT_EQ((a0.size() - 8) % 16, 0u);
    EXPECT_EQ(entries(a0, 8).at(0x37010102).size(), 1u);

    // Embedded message: object entry of size 0xFFFFFFFF and a 24-byte header of its own.
    const Bytes a3 = raw.stream("__attach_version1.0_#00000003/__properties_version1.0").value();
    EXPECT_EQ(entries(a3, 8).at(0x3701000D).size(), 0xFFFFFFFFu);
    const std::string emb = "__attach_version1.0_#00000003/__substg1.0_3701000D/";
    const Bytes ep = raw.stream(emb + "__properties_version1.0").value();
    EXPECT_EQ((ep.size() - 24) % 16, 0u);
    EXPECT_EQ(readLe32(&ep[8]), 1u);
    EXPECT_EQ(readLe32(&ep[16]), 1u);
    EXPECT_EQ(readLe32(&ep[20]), 0u);
    EXPECT_TRUE(raw.isStorage(emb + "__recip_version1.0_#00000000"));
    EXPECT_FALSE(raw.isStorage(emb + "__nameid_version1.0"));

    // Named properties: numbered from 0x8000, the mapping storage with its streams.
    EXPECT_TRUE(e.contains(0x80000003));
    EXPECT_TRUE(e.contains(0x80010003));
    const std::string ni = "__nameid_version1.0/";
    EXPECT_EQ(*raw.stream(ni + "__substg1.0_00020102"),
              Bytes(PSETID_Common.bytes.begin(), PSETID_Common.bytes.end()));
    // Entry 0: lid 0x8580, GUID index 3, numeric; entry 1: string at offset 0, PS_PUBLIC_STRINGS.
    EXPECT_EQ(*raw.stream(ni + "__substg1.0_00030102"),
              (Bytes{0x80, 0x85, 0, 0, 0x06, 0, 0, 0, 0, 0, 0, 0, 0x05, 0, 1, 0}));
    EXPECT_EQ(*raw.stream(ni + "__substg1.0_00040102"),
              (Bytes{6, 0, 0, 0, 'T', 0, 'a', 0, 'g', 0, 0, 0}));
    const std::uint32_t numericStream = 0x1000 + ((0x8580u ^ (3u << 1)) % 0x1F);
    char name[40];
    std::snprintf(name, sizeof name, "__substg1.0_%04X0102", numericStream);
    EXPECT_EQ(*raw.stream(ni + name), (Bytes{0x80, 0x85, 0, 0, 0x06, 0, 0, 0}));
}

// A message as an ANSI store holds it: every string 8-bit, below it too.
Message ansiMessage() {
    Message m;
    m.setString8(tags::MessageClass, "IPM.Note");
    m.setString8(tags::Subject, "Caf\xe9 accounts");
    m.setString8(tags::NormalizedSubject, "Caf\xe9 accounts");
    m.setString8(tags::Body, "Plain 8-bit body");
    m.setString8(tags::DisplayTo, "Bob");
    m.setTime(tags::CreationTime, 133000000000000000ULL);
    m.setInt32(tags::StoreSupportMask, 0x00040E79); // a store claiming Unicode: not this file
    m.props.push_back({0x6701, PtString8 | PtMultiFlag, std::nullopt, {}, {Bytes{'a'}, {}}});
    Recipient r;
    r.setString8(tags::DisplayName, "Bob");
    r.setString8(tags::EmailAddress, "bob@example.org");
    r.setInt32(tags::RecipientType, 1);
    m.recipients.push_back(r);
    Attachment a;
    a.setInt32(tags::AttachMethod, AttachByValue);
    a.setString8(tags::AttachLongFilename, "a.txt");
    a.setBinary(tags::AttachDataBinary, Bytes{'x'});
    m.attachments.push_back(a);
    Attachment e;
    e.setInt32(tags::AttachMethod, AttachEmbeddedMsg);
    e.embedded = std::make_shared<Message>();
    e.embedded->setString8(tags::Subject, "inner");
    m.attachments.push_back(e);
    return m;
}

TEST(MsgFile, FilesAreStructuredAsTheMailProgramWritesThem) {
    std::vector<Sample> cases = samples();
    cases.push_back({"8-bit strings only", ansiMessage()});
    QTemporaryDir dir;
    int n = 0;
    for (const Sample& s : cases) {
        SCOPED_TRACE(s.name);
        const bool unicode = std::string(s.name) != "8-bit strings only";
        const QString path = dir.filePath(QStringLiteral("s%1.msg").arg(n++));
        writeMsg(s.message, path);
        const auto faults = structureFaults(path, unicode);
        EXPECT_TRUE(faults.empty()) << faults.size() << " faults, first: " << faults.front();
    }
}

TEST(MsgFile, AnsiStringsStayEightBit) {
    QTemporaryDir dir;
    const QString path = dir.filePath("ansi.msg");
    const Message m = ansiMessage();
    writeMsg(m, path);
    const Message back = readMsg(path);
    ASSERT_TRUE(back.find(tags::Subject));
    EXPECT_EQ(back.find(tags::Subject)->type, PtString8);
    EXPECT_EQ(back.find(tags::Subject)->value, m.find(tags::Subject)->value);
    // A file without Unicode strings carries no store-support mask, whatever the store's.
    EXPECT_FALSE(back.find(tags::StoreSupportMask));
    ASSERT_EQ(back.attachments.size(), 2u);
    ASSERT_TRUE(back.attachments[1].embedded);
    EXPECT_EQ(back.attachments[1].embedded->find(tags::Subject)->type, PtString8);
}

// The message (a file attachment, then an embedded message) with the values the store
// computes on every level: sizes and store-support masks.
Message withStoreValues(Message m) {
    m.setInt32(tags::MessageSize, 90000);
    m.setInt32(tags::StoreSupportMask, 0x00000001);
    m.attachments.at(0).setInt32(tags::AttachSize, 700);
    m.attachments.at(0).setInt32(tags::StoreSupportMask, 0x00000001);
    m.attachments.at(1).setInt32(tags::AttachSize, 6000);
    Message inner = *m.attachments.at(1).embedded;
    inner.setInt32(tags::MessageSize, 5000);
    inner.setInt32(tags::StoreSupportMask, 0x00000E79);
    m.attachments.at(1).embedded = std::make_shared<Message>(std::move(inner));
    return m;
}

TEST(MsgFile, StoreValuesAreWrittenAsTheMailProgramWritesThem) {
    Message unicode = plainMessage(u"Outer");
    unicode.attachments.push_back(fileAttachment(u"a.txt", Bytes{'x'}));
    unicode.attachments.push_back(ansiMessage().attachments.at(1));
    unicode.attachments.back().embedded = std::make_shared<Message>(plainMessage(u"Inner"));
    QTemporaryDir dir;
    const QString unicodePath = dir.filePath("unicode.msg"), ansiPath = dir.filePath("ansi.msg");
    writeMsg(withStoreValues(unicode), unicodePath);
    writeMsg(withStoreValues(ansiMessage()), ansiPath);
    const RawFile unicodeFile(unicodePath), ansiFile(ansiPath);

    const std::string file = "__attach_version1.0_#00000000/";
    const std::string carrier = "__attach_version1.0_#00000001/";
    const std::string inner = carrier + "__substg1.0_3701000D/";
    using Value = std::optional<std::uint32_t>; // none: no entry
    struct Row {
        std::string storage;
        std::size_t header;
        std::uint32_t tag;
        Value unicode, ansi;
    };
    const Row rows[] = {
        {"", 32, 0x0E080003, {}, {}},
        {file, 8, 0x0E200003, {}, {}},
        {carrier, 8, 0x0E200003, {}, {}},
        {inner, 24, 0x0E080003, {}, {}},
        // The file's own mask on the message, whatever the store's; below it the store's with
        // the Unicode bit.
        {"", 32, StoreSupportMaskTag, 0x00040E79, {}},
        {file, 8, StoreSupportMaskTag, 0x00040001, {}},
        {inner, 24, StoreSupportMaskTag, 0x00040E79, {}},
    };
    for (const Row& r : rows) {
        for (const auto& [raw, want] :
             {std::pair{&unicodeFile, r.unicode}, std::pair{&ansiFile, r.ansi}}) {
            SCOPED_TRACE(r.storage + (raw == &unicodeFile ? " unicode" : " ansi"));
            const auto props = raw->stream(r.storage + "__properties_version1.0");
            ASSERT_TRUE(props);
            const auto e = entries(*props, r.header);
            const auto it = e.find(r.tag);
            EXPECT_EQ(it != e.end(), want.has_value()) << std::hex << r.tag;
            if (it != e.end() && want) {
                EXPECT_EQ(readLe32(it->second.value.data()), *want) << std::hex << r.tag;
            }
        }
    }
}

TEST(MsgFile, RecipientsAndAttachmentsAreNumberedAsTheirStorages) {
    Message m = plainMessage(u"Numbers");
    for (int i = 0; i < 3; ++i) {
        Recipient r = recipient(u"R", u"r@example.org", 1);
        r.remove(tags::RowId);
        r.setInt32(0x67F2, 100 + i); // the store's own row id and version
        r.setInt32(0x67F3, 7);
        m.recipients.push_back(r);
    }
    m.recipients[2].setInt32(tags::RowId, 42); // the store's own number stays
    for (int i = 0; i < 3; ++i) {
        Attachment a = fileAttachment(u"f.txt", Bytes{'f'});
        a.remove(tags::RenderingPosition);
        m.attachments.push_back(a);
    }
    m.attachments[2].setInt32(tags::AttachNumber, 9);
    m.attachments[2].setInt32(tags::RenderingPosition, 12);
    QTemporaryDir dir;
    const QString path = dir.filePath("n.msg");
    writeMsg(m, path);

    const Message back = readMsg(path);
    ASSERT_EQ(back.recipients.size(), 3u);
    struct Row {
        std::size_t index;
        std::int32_t rowId;
    };
    for (const Row& r : {Row{0, 0}, Row{1, 1}, Row{2, 42}}) {
        const Recipient& got = back.recipients[r.index];
        EXPECT_EQ(got.int32(tags::RowId), r.rowId) << r.index;
        EXPECT_FALSE(got.find(0x67F2)) << r.index;
        EXPECT_FALSE(got.find(0x67F3)) << r.index;
    }
    ASSERT_EQ(back.attachments.size(), 3u);
    struct AttachRow {
        std::size_t index;
        std::int32_t number, position;
    };
    for (const AttachRow& r : {AttachRow{0, 0, -1}, AttachRow{1, 1, -1}, AttachRow{2, 9, 12}}) {
        EXPECT_EQ(back.attachments[r.index].int32(tags::AttachNumber), r.number) << r.index;
        EXPECT_EQ(back.attachments[r.index].int32(tags::RenderingPosition), r.position) << r.index;
    }
}

// path -> bytes of every stream, with "!clsid" entries for storages' class ids.
void tree(GsfInfile* dir, const std::string& prefix, std::map<std::string, Bytes>& out) {
    std::uint8_t clsid[16];
    if (GSF_IS_INFILE_MSOLE(dir) && gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(dir), clsid))
        out[prefix + "!clsid"] = Bytes(clsid, clsid + 16);
    for (int i = 0; i < gsf_infile_num_children(dir); ++i) {
        const std::string name = prefix + gsf_infile_name_by_index(dir, i);
        GRef<GsfInput> c(gsf_infile_child_by_index(dir, i));
        if (GSF_IS_INFILE(c.get()) && gsf_infile_num_children(GSF_INFILE(c.get())) >= 0) {
            tree(GSF_INFILE(c.get()), name + "/", out);
        } else {
            Bytes b(static_cast<std::size_t>(gsf_input_size(c.get())));
            if (!b.empty())
                gsf_input_read(c.get(), b.size(), b.data());
            out[name] = b;
        }
    }
}

std::map<std::string, Bytes> treeOfImage(const Bytes& image) {
    GRef<GsfInput> in(gsf_input_memory_new(image.data(), gsf_off_t(image.size()), FALSE));
    GErrorHolder e;
    GRef<GsfInfile> root(gsf_infile_msole_new(in.get(), e.out()));
    std::map<std::string, Bytes> out;
    if (root)
        tree(root.get(), "", out);
    return out;
}

TEST(MsgFile, OleObjectStorageIsCopiedIntoTheAttachmentAndBack) {
    QTemporaryDir dir;
    Message m = plainMessage(u"With an object");
    m.attachments.push_back(oleAttachment());
    const QString path = dir.filePath("ole.msg");
    writeMsg(m, path);

    const auto original = treeOfImage(oleObjectImage());
    ASSERT_EQ(original.size(), 5u); // class ids of root and ObjInfo, three streams
    RawFile raw(path);
    EXPECT_EQ(raw.stream("__attach_version1.0_#00000000/__substg1.0_3701000D/CONTENTS"),
              original.at("CONTENTS"));
    const Bytes ap = raw.stream("__attach_version1.0_#00000000/__properties_version1.0").value();
    EXPECT_EQ(entries(ap, 8).at(0x3701000D).size(), 0xFFFFFFFFu);

    const Message back = readMsg(path);
    ASSERT_EQ(back.attachments.size(), 1u);
    const Property* data = back.attachments[0].find(tags::AttachDataBinary);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->type, PtObject);
    EXPECT_EQ(treeOfImage(data->value), original);
    EXPECT_FALSE(back.attachments[0].embedded);
}

// Files above 7 MB need more FAT sectors than the header can name.
TEST(MsgFile, ALargeAttachmentSurvivesWriteAndRead) {
    QTemporaryDir dir;
    Message m = plainMessage(u"Twenty megabytes");
    Bytes big(20u << 20);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = std::uint8_t(i * 131 + (i >> 12));
    m.attachments.push_back(fileAttachment(u"big.bin", big));
    m.attachments.push_back(fileAttachment(u"small.txt", Bytes{'s'}));
    const QString path = dir.filePath("big.msg");
    writeMsg(m, path);
    EXPECT_GT(QFileInfo(path).size(), qint64(big.size()));
    RawFile raw(path);
    ASSERT_TRUE(raw.ok());
    EXPECT_TRUE(raw.stream("__attach_version1.0_#00000000/__substg1.0_37010102") == big);
    const Message back = readMsg(path);
    ASSERT_EQ(back.attachments.size(), 2u);
    ASSERT_TRUE(back.attachments[0].find(tags::AttachDataBinary));
    EXPECT_TRUE(back.attachments[0].find(tags::AttachDataBinary)->value == big);
    EXPECT_EQ(back.attachments[1].find(tags::AttachDataBinary)->value, Bytes{'s'});
}

// A file goes out in one gathered write of at most 1,024 pieces each; a message with more large
// values than that (each with the zeros that fill its last sector) still arrives whole and in
// order.
TEST(MsgFile, MoreLargeValuesThanOneWriteTakesArriveInOrder) {
    QTemporaryDir dir;
    Message m = plainMessage(u"Many attachments");
    constexpr int Count = 700; // 1,400 pieces and more
    for (int k = 0; k < Count; ++k) {
        Bytes data(4096 + std::size_t(k % 7) * 100);
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = std::uint8_t(k * 7 + i);
        m.attachments.push_back(fileAttachment(u"a" + std::u16string(1, u'0' + k % 10), data));
    }
    const QString path = dir.filePath("many.msg");
    writeMsg(m, path);
    const Message back = readMsg(path);
    ASSERT_EQ(back.attachments.size(), std::size_t(Count));
    for (int k = 0; k < Count; ++k) {
        const auto* data = back.attachments[std::size_t(k)].find(tags::AttachDataBinary);
        ASSERT_TRUE(data) << k;
        EXPECT_TRUE(data->value ==
                    m.attachments[std::size_t(k)].find(tags::AttachDataBinary)->value)
            << k;
    }
}

// An OLE object's storages nested deeper than any real object's (as a directory that loops
// back on itself would be) fail the save with its cause, and leave no file.
TEST(MsgFile, AnOleObjectNestedTooDeeplyFailsClearly) {
    cfb::Tree tree;
    cfb::Tree::Id dir = cfb::Tree::Root;
    for (int depth = 0; depth < 70; ++depth)
        dir = tree.addStorage(dir, "level");
    tree.addStream(dir, "CONTENTS", Bytes{1, 2, 3});
    Message m = plainMessage(u"Deep object");
    m.attachments.push_back(oleAttachment());
    m.attachments[0].find(tags::AttachDataBinary)->value = tree.build();
    QTemporaryDir tmp;
    const QString path = tmp.filePath("deep.msg");
    try {
        writeMsg(m, path);
        FAIL() << "no failure";
    } catch (const Failure& f) {
        EXPECT_EQ(f.number(), failures::FileAccess);
        EXPECT_TRUE(f.description().contains(path));
        EXPECT_TRUE(f.description().contains("nested too deeply")) << f.description().toStdString();
    }
    EXPECT_TRUE(entriesOf(tmp.path()).isEmpty());
}

TEST(MsgFile, ExistingTargetFailsWithFileExistsAndStaysUntouched) {
    QTemporaryDir dir;
    const QString path = dir.filePath("taken.msg");
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("precious");
    }
    try {
        writeMsg(plainMessage(u"x"), path);
        FAIL() << "no failure";
    } catch (const Failure& f) {
        EXPECT_EQ(f.number(), failures::FileExists);
        EXPECT_TRUE(f.description().contains(path));
    }
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("precious"));
    EXPECT_EQ(entriesOf(dir.path()), QStringList{"taken.msg"});
}

// A sink that accepts a number of bytes and then fails as a full disk does.
class FullDisk : public OutputSink {
public:
    FullDisk(std::unique_ptr<OutputSink> file, std::int64_t budget)
        : file_(std::move(file)), budget_(budget) {}
    // budget < 0: every write is taken, the final flush fails.
    bool write(const std::uint8_t* data, std::size_t size) override {
        if (budget_ >= 0 && file_->position() + std::int64_t(size) > budget_) {
            errno = ENOSPC;
            return false;
        }
        return file_->write(data, size);
    }
    std::int64_t position() const override { return file_->position(); }
    bool flush() override {
        if (budget_ < 0) {
            errno = ENOSPC;
            return false;
        }
        return file_->flush();
    }

private:
    std::unique_ptr<OutputSink> file_;
    std::int64_t budget_;
};

TEST(MsgFile, FailedWritesLeaveNoFileAndSayWhy) {
    const Message big = samples()[3].message; // several megabytes
    for (std::int64_t budget : {0, 511, 4096, 100000, 2000000, -1}) {
        SCOPED_TRACE(budget);
        QTemporaryDir dir;
        const QString path = dir.filePath("full.msg");
        WriteOptions options;
        options.interpose = [budget](std::unique_ptr<OutputSink> file) {
            return std::make_unique<FullDisk>(std::move(file), budget);
        };
        try {
            writeMsg(big, path, options);
            FAIL() << "no failure";
        } catch (const Failure& f) {
            EXPECT_EQ(f.number(), failures::DiskFull);
            EXPECT_TRUE(f.description().contains(path)) << f.description().toStdString();
        }
        EXPECT_TRUE(entriesOf(dir.path()).isEmpty())
            << entriesOf(dir.path()).join(",").toStdString();
    }
}

TEST(MsgFile, BadTargetsFailWithTheirCause) {
    QTemporaryDir dir;
    struct Row {
        QString path;
        std::int32_t number;
    };
    const Row rows[] = {
        {dir.filePath("missing/x.msg"), failures::PathNotFound},
        {dir.filePath(QString(300, QChar('n')) + ".msg"), failures::BadFileName},
    };
    for (const Row& r : rows) {
        try {
            writeMsg(plainMessage(u"x"), r.path);
            ADD_FAILURE() << "no failure for " << r.path.toStdString();
        } catch (const Failure& f) {
            EXPECT_EQ(f.number(), r.number) << f.description().toStdString();
            EXPECT_TRUE(f.description().contains(r.path));
        }
    }
    EXPECT_TRUE(entriesOf(dir.path()).isEmpty());
}

TEST(MsgFile, WrittenFileHasTheModeOfAnyNewFile) {
    QTemporaryDir dir;
    const QString plain = dir.filePath("plain");
    {
        QFile f(plain);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    const QString path = dir.filePath("mode.msg");
    writeMsg(plainMessage(u"mode"), path);
    struct stat a, b;
    ASSERT_EQ(::stat(QFile::encodeName(plain).constData(), &a), 0);
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &b), 0);
    EXPECT_EQ(a.st_mode & 07777, b.st_mode & 07777);
}

// The modification times (Unix seconds) of the storages below dir, as libgsf reads them.
void storageTimes(GsfInfile* dir, std::vector<std::int64_t>& out) {
    for (int i = 0; i < gsf_infile_num_children(dir); ++i) {
        GRef<GsfInput> c(gsf_infile_child_by_index(dir, i));
        if (!GSF_IS_INFILE(c.get()) || gsf_infile_num_children(GSF_INFILE(c.get())) < 0)
            continue;
        GDateTime* t = gsf_input_get_modtime(c.get());
        out.push_back(t ? g_date_time_to_unix(t) : 0);
        storageTimes(GSF_INFILE(c.get()), out);
    }
}

// The file is dated as the message; the storages inside carry the time of the save.
TEST(MsgFile, FileIsDatedAsTheMessageAndItsStoragesAsTheSave) {
    constexpr std::uint64_t Epoch = 116444736000000000ULL, Second = 10000000ULL;
    constexpr std::int64_t Saved = 1800000000;
    struct Row {
        bool delivery, submit, creation;
        bool clock;            // the time of the save from the system clock, not the option
        std::int64_t expected; // the file's time in Unix seconds, 0 = now
    };
    const std::uint64_t d = Epoch + 1700000000ULL * Second, s = Epoch + 1600000000ULL * Second,
                        c = Epoch + 1500000000ULL * Second;
    const Row rows[] = {{true, true, true, false, 1700000000},
                        {false, true, true, false, 1600000000},
                        {false, false, true, false, 1500000000},
                        {false, false, false, false, 0},
                        {true, false, false, true, 1700000000}};
    QTemporaryDir dir;
    int n = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(n);
        Message m;
        m.setUnicode(tags::Subject, u"t");
        if (r.delivery)
            m.setTime(tags::MessageDeliveryTime, d);
        if (r.submit)
            m.setTime(tags::ClientSubmitTime, s);
        if (r.creation)
            m.setTime(tags::CreationTime, c);
        m.recipients.push_back(recipient(u"Bob", u"bob@example.org", 1));
        m.attachments.push_back(fileAttachment(u"a.txt", Bytes{'a'}));
        m.props.push_back(named(lidName(PSETID_Common, 0x8580), PtInteger32, le32(1)));
        WriteOptions options;
        if (!r.clock)
            options.savedAt = Epoch + Saved * Second;
        const QString path = dir.filePath(QStringLiteral("t%1.msg").arg(n++));
        const std::int64_t before = std::time(nullptr);
        writeMsg(m, path, options);
        const std::int64_t after = std::time(nullptr);
        struct stat st;
        ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
        if (r.expected)
            EXPECT_EQ(st.st_mtime, r.expected);
        else
            EXPECT_GE(st.st_mtime, before);

        RawFile raw(path);
        ASSERT_TRUE(raw.ok());
        std::vector<std::int64_t> times;
        storageTimes(raw.root(), times);
        EXPECT_EQ(times.size(), 3u); // recipient, attachment, named-property mapping
        for (std::int64_t t : times) {
            if (r.clock) {
                EXPECT_GE(t, before);
                EXPECT_LE(t, after);
            } else {
                EXPECT_EQ(t, Saved);
            }
        }
    }
}

TEST(MsgFile, DamagedFilesGiveAClearFailure) {
    QTemporaryDir dir;
    const QString path = dir.filePath("bad.msg");
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(2048, 'z'));
    }
    for (const QString& p : {path, dir.filePath("absent.msg")}) {
        try {
            readMsg(p);
            ADD_FAILURE() << "no failure";
        } catch (const Failure& f) {
            EXPECT_TRUE(f.description().contains(p));
        }
    }
}

// A folder whose file system refuses files without a name, as some do.
FolderCalls refusingUnnamed(int error, int* calls = nullptr) {
    FolderCalls c;
    c.openUnnamed = [error, calls](int) {
        if (calls)
            ++*calls;
        errno = error;
        return -1;
    };
    return c;
}

TEST(MsgFile, FoldersThatRefuseUnnamedFilesGetNamedTemporaries) {
    struct Row {
        int error;
        bool fallsBack;
        std::int32_t failure; // when it does not
    };
    const Row rows[] = {{EOPNOTSUPP, true, 0},
                        {EISDIR, true, 0},
                        {EACCES, false, failures::PermissionDenied},
                        {ENOSPC, false, failures::DiskFull}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.error);
        QTemporaryDir dir;
        int calls = 0;
        OutputFolder folder(dir.path(), refusingUnnamed(r.error, &calls));
        if (!r.fallsBack) {
            try {
                folder.save(plainMessage(u"x"), "x.msg");
                ADD_FAILURE() << "no failure";
            } catch (const Failure& f) {
                EXPECT_EQ(f.number(), r.failure);
                EXPECT_TRUE(f.description().contains(dir.filePath("x.msg")));
            }
            EXPECT_TRUE(entriesOf(dir.path()).isEmpty());
            continue;
        }
        folder.save(plainMessage(u"first"), "a.msg");
        folder.save(plainMessage(u"second"), "b.msg");
        // The refusal is learnt once; a taken name still fails and leaves nothing behind.
        EXPECT_EQ(calls, 1);
        try {
            folder.save(plainMessage(u"third"), "a.msg");
            ADD_FAILURE() << "no failure";
        } catch (const Failure& f) {
            EXPECT_EQ(f.number(), failures::FileExists);
        }
        EXPECT_EQ(entriesOf(dir.path()), (QStringList{"a.msg", "b.msg"}));
        EXPECT_EQ(readMsg(dir.filePath("a.msg")).unicode(tags::Subject), u"first");
    }
}

// A file system that reports a failed write only when the file is closed (NFS does): the
// message is not saved, with the cause the error gives, and no name is left to say it was.
TEST(MsgFile, AFailedCloseAfterTheCommitIsAFailedSave) {
    const struct {
        int error;
        bool unnamed; // the file had no name until the commit; else a named temporary
        bool saved;   // the close counts as done
        Cause cause;
    } rows[] = {{EIO, true, false, Cause::Other},
                {EDQUOT, true, false, Cause::DiskFull},
                {ENOSPC, false, false, Cause::DiskFull},
                {EIO, false, false, Cause::Other},
                {EINTR, true, true, Cause::Other}}; // closed all the same, as Linux does
    for (const auto& r : rows) {
        SCOPED_TRACE(::testing::Message() << r.error << (r.unnamed ? " unnamed" : " named"));
        QTemporaryDir dir;
        FolderCalls calls = r.unnamed ? FolderCalls{} : refusingUnnamed(EOPNOTSUPP);
        calls.closeFile = [error = r.error](int fd) {
            ::close(fd);
            errno = error;
            return -1;
        };
        OutputFolder folder(dir.path(), calls);
        if (r.saved) {
            folder.save(plainMessage(u"x"), "x.msg");
            EXPECT_EQ(entriesOf(dir.path()), QStringList{"x.msg"});
            continue;
        }
        try {
            folder.save(plainMessage(u"x"), "x.msg");
            ADD_FAILURE() << "no failure";
        } catch (const Failure& f) {
            EXPECT_EQ(f.cause(), r.cause);
            EXPECT_TRUE(f.description().contains(dir.filePath("x.msg")))
                << f.description().toStdString();
        }
        EXPECT_TRUE(entriesOf(dir.path()).isEmpty())
            << entriesOf(dir.path()).join(' ').toStdString();
    }
}

TEST(MsgFile, AFolderGivenAsASymbolicLinkIsFollowedOnceWhenOpened) {
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath("real"));
    QDir().mkpath(dir.filePath("other"));
    ASSERT_TRUE(QFile::link(dir.filePath("real"), dir.filePath("link")));
    OutputFolder folder(dir.filePath("link"));
    folder.save(plainMessage(u"first"), "a.msg");
    // The link now points elsewhere: the folder opened stays the one written to.
    ASSERT_TRUE(QFile::remove(dir.filePath("link")));
    ASSERT_TRUE(QFile::link(dir.filePath("other"), dir.filePath("link")));
    folder.save(plainMessage(u"second"), "b.msg");
    EXPECT_EQ(entriesOf(dir.filePath("real")), (QStringList{"a.msg", "b.msg"}));
    EXPECT_TRUE(entriesOf(dir.filePath("other")).isEmpty());
}

TEST(MsgFile, MessageFilesKeepEachFolderOpenAndSyncWhatTheyWrote) {
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath("one"));
    QDir().mkpath(dir.filePath("two"));
    MessageFiles files;
    files.sync(); // nothing written: nothing to do
    files.save(plainMessage(u"a"), dir.filePath("one/a.msg"));
    files.save(plainMessage(u"b"), dir.filePath("two/b.msg"));
    // The folder is held open: renamed, it still receives the files of the run.
    ASSERT_TRUE(QDir().rename(dir.filePath("one"), dir.filePath("moved")));
    ASSERT_TRUE(QDir().mkpath(dir.filePath("one")));
    files.save(plainMessage(u"c"), dir.filePath("one/c.msg"));
    files.sync();
    EXPECT_EQ(entriesOf(dir.filePath("moved")), (QStringList{"a.msg", "c.msg"}));
    EXPECT_TRUE(entriesOf(dir.filePath("one")).isEmpty());
    try {
        files.save(plainMessage(u"d"), dir.filePath("missing/d.msg"));
        FAIL() << "no failure";
    } catch (const Failure& f) {
        EXPECT_EQ(f.number(), failures::PathNotFound);
        EXPECT_TRUE(f.description().contains(dir.filePath("missing/d.msg")));
    }
    // Closed as a PST file ends: the next file opens the folder by its name again.
    EXPECT_EQ(files.openFolders(), 2u);
    files.close();
    EXPECT_EQ(files.openFolders(), 0u);
    files.save(plainMessage(u"e"), dir.filePath("one/e.msg"));
    EXPECT_EQ(entriesOf(dir.filePath("one")), QStringList{"e.msg"});
}

// Passes a number of bytes on, then tells the parent and waits for a signal that kills the
// process in the middle of the file.
class StallingSink : public OutputSink {
public:
    StallingSink(std::unique_ptr<OutputSink> file, int ready, int never)
        : file_(std::move(file)), ready_(ready), never_(never) {}
    bool write(const std::uint8_t* data, std::size_t size) override {
        constexpr std::size_t Passed = 100000;
        if (!file_->write(data, std::min(size, Passed)))
            return false;
        if (size > Passed) {
            char c = 'w';
            (void)!::write(ready_, &c, 1);
            (void)!::read(never_, &c, 1);
            ::_exit(3);
        }
        return true;
    }
    std::int64_t position() const override { return file_->position(); }
    bool flush() override { return file_->flush(); }

private:
    std::unique_ptr<OutputSink> file_;
    int ready_, never_;
};

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() { EXPECT_EQ(::pipe2(fd, O_CLOEXEC), 0); }
    ~Pipe() {
        for (int f : fd)
            if (f >= 0)
                ::close(f);
    }
};

TEST(MsgFile, AKilledWriterLeavesOnlyCompleteFiles) {
    const Message big = samples()[3].message; // several megabytes
    for (bool unnamed : {true, false}) {
        SCOPED_TRACE(unnamed ? "file without a name" : "named temporary");
        QTemporaryDir dir;
        const FolderCalls calls = unnamed ? FolderCalls{} : refusingUnnamed(EOPNOTSUPP);
        Pipe ready, never;
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            try {
                OutputFolder folder(dir.path(), calls);
                folder.save(plainMessage(u"done"), "done.msg");
                WriteOptions stall;
                stall.interpose = [&](std::unique_ptr<OutputSink> file) {
                    return std::make_unique<StallingSink>(std::move(file), ready.fd[1],
                                                          never.fd[0]);
                };
                folder.save(big, "big.msg", stall);
            } catch (...) {
            }
            ::_exit(2);
        }
        char c = 0;
        ASSERT_EQ(::read(ready.fd[0], &c, 1), 1) << "the writer ended before it stalled";
        const QStringList during = entriesOf(dir.path());
        // A folder opened meanwhile leaves a temporary that is still being written alone.
        { OutputFolder meanwhile(dir.path(), calls); }
        EXPECT_EQ(entriesOf(dir.path()), during);
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status));

        const QStringList after = entriesOf(dir.path());
        EXPECT_EQ(after, during);
        EXPECT_TRUE(after.contains("done.msg"));
        EXPECT_FALSE(after.contains("big.msg"));
        if (unnamed) {
            EXPECT_EQ(after, QStringList{"done.msg"});
        } else {
            // A named temporary outlives the kill; the next run's folder removes it.
            ASSERT_EQ(after.size(), 2) << after.join(",").toStdString();
            EXPECT_TRUE(after.filter(QRegularExpression("^\\.talvenor-.*\\.tmp$")).size() == 1);
            { OutputFolder next(dir.path(), calls); }
            EXPECT_EQ(entriesOf(dir.path()), QStringList{"done.msg"});
        }
        EXPECT_EQ(readMsg(dir.filePath("done.msg")).unicode(tags::Subject), u"done");
    }
}

// Linking a file without a name by its descriptor needs a privilege on kernels before 6.10
// (Debian 12 runs 6.1); an ordinary user's save takes another way to the same link there.
TEST(MsgFile, AnOrdinaryUserSavesFilesWithoutAName) {
    QTemporaryDir dir;
    constexpr uid_t Nobody = 65534;
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(QFile::encodeName(dir.path()).constData(), Nobody, Nobody), 0);
    }
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (root && (::setgid(Nobody) != 0 || ::setuid(Nobody) != 0))
            ::_exit(4);
        int calls = 0;
        FolderCalls counting;
        counting.openUnnamed = [&calls](int fd) {
            ++calls;
            return ::openat(fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        };
        try {
            OutputFolder folder(dir.path(), counting);
            folder.save(plainMessage(u"by nobody"), "nobody.msg");
        } catch (...) {
            ::_exit(5);
        }
        ::_exit(calls == 1 ? 0 : 6);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(entriesOf(dir.path()), QStringList{"nobody.msg"});
    EXPECT_EQ(readMsg(dir.filePath("nobody.msg")).unicode(tags::Subject), u"by nobody");
}

} // namespace
