// Independent readers open what the writer produced: Perl's Email::Outlook::Message
// (msgconvert) and Python's olefile. Both must be installed; their absence is a failure that
// names the Debian package.
#include "msgfile.h"
#include "samples.h"

#include <QRegularExpression>
#include <QTemporaryDir>

#include <outsideprograms.h>
#include <toolrun.h>

#include <gtest/gtest.h>

using namespace talvenor::msg;
using namespace msgtest;

namespace {

using talvenor::testing::Outside;
using talvenor::testing::programFor;
using talvenor::testing::ToolRun;

ToolRun run(const QString& program, const QStringList& args) {
    return talvenor::testing::runTool(program, args, 120000);
}

// What the olefile script (after the lines that open the file as argv[1] strictly: any defect
// of the compound structure, not only fatal ones, raises) printed for the file at path.
QStringList olefileLines(const QString& script, const QString& path) {
    const ToolRun r =
        run(programFor(Outside::Olefile), {"-c",
                                           "import sys, olefile\n"
                                           "o = olefile.OleFileIO(sys.argv[1], "
                                           "raise_defects=olefile.DEFECT_INCORRECT)\n" +
                                               script,
                                           path});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    return r.out.split('\n', Qt::SkipEmptyParts);
}

// Embedded messages come out as message parts with their own attachments; this reader
// leaves OLE objects (attach method 6) out.
std::size_t attachmentsBelow(const Message& m) {
    std::size_t n = 0;
    for (const auto& a : m.attachments)
        if (a.int32(tags::AttachMethod) != 6)
            n += 1 + (a.embedded ? attachmentsBelow(*a.embedded) : 0);
    return n;
}

bool hasOleObject(const Message& m) {
    for (const auto& a : m.attachments)
        if (a.int32(tags::AttachMethod) == 6 || (a.embedded && hasOleObject(*a.embedded)))
            return true;
    return false;
}

class MsgPeers : public ::testing::Test {
protected:
    void SetUp() override { TALVENOR_NEEDS_OUTSIDE(Outside::Msgconvert, Outside::Olefile); }
};

TEST_F(MsgPeers, MsgconvertMakesMimeWithSubjectRecipientsAndAttachments) {
    const QString msgconvert = programFor(Outside::Msgconvert);
    QTemporaryDir dir;
    Message m = plainMessage(u"Quarterly figures for the board");
    m.recipients.push_back(recipient(u"Bob Builder", u"bob@example.org", 1));
    m.recipients.push_back(recipient(u"Carol Clerk", u"carol@example.org", 2));
    // The reader builds To and Cc from these display lists and the recipients' addresses.
    m.setUnicode(tags::DisplayTo, u"Bob Builder");
    m.setUnicode(tags::DisplayCc, u"Carol Clerk");
    m.attachments.push_back(fileAttachment(u"figures.csv", Bytes{'a', ',', 'b', '\n'}));
    m.attachments.push_back(fileAttachment(u"notes.txt", Bytes{'h', 'i'}));
    const QString path = dir.filePath("peer.msg");
    writeMsg(m, path);

    const ToolRun r = run(msgconvert, {"--outfile", "-", path});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QString& mime = r.out;
    EXPECT_TRUE(mime.contains(QRegularExpression("^Subject: Quarterly figures for the board\\r?$",
                                                 QRegularExpression::MultilineOption)))
        << mime.toStdString();
    EXPECT_TRUE(mime.contains(QRegularExpression("^To: Bob Builder <bob@example.org>",
                                                 QRegularExpression::MultilineOption)))
        << mime.toStdString();
    EXPECT_TRUE(mime.contains(QRegularExpression("^Cc: Carol Clerk <carol@example.org>",
                                                 QRegularExpression::MultilineOption)))
        << mime.toStdString();
    EXPECT_TRUE(mime.contains(QRegularExpression("filename=\"?figures.csv")));
    EXPECT_TRUE(mime.contains(QRegularExpression("filename=\"?notes.txt")));
    EXPECT_TRUE(mime.contains("this is the body."));
}

TEST_F(MsgPeers, BothReadersOpenEverySample) {
    const QString msgconvert = programFor(Outside::Msgconvert);
    const QString script =
        QStringLiteral("print(o.root.clsid)\n"
                       "for e in sorted(o.listdir(streams=True, storages=False)):\n"
                       "    print('/'.join(e), o.get_size('/'.join(e)))\n");
    QTemporaryDir dir;
    int n = 0;
    for (const Sample& s : samples()) {
        SCOPED_TRACE(s.name);
        const QString path = dir.filePath(QStringLiteral("s%1.msg").arg(n++));
        writeMsg(s.message, path);
        const QStringList lines = olefileLines(script, path);
        ASSERT_FALSE(lines.isEmpty());
        EXPECT_EQ(lines[0], "00020D0B-0000-0000-C000-000000000046");
        EXPECT_TRUE(lines.contains(QRegularExpression("^__properties_version1.0 \\d+$")));
        EXPECT_TRUE(
            lines.contains(QRegularExpression("^__nameid_version1.0/__substg1.0_00020102 \\d+")));
        EXPECT_TRUE(lines.contains("__substg1.0_0037001F " +
                                   QString::number(s.message.find(0x0037)->value.size())));
        for (std::size_t i = 0; i < s.message.attachments.size(); ++i) {
            const QString storage = QString::asprintf("__attach_version1.0_#%08X/", unsigned(i));
            EXPECT_TRUE(lines.contains(QRegularExpression(
                "^" + QRegularExpression::escape(storage) + "__properties_version1.0 \\d+")));
        }
        // This reader re-saves an OLE object's storage and stumbles over the times of the
        // streams in its sub-storages, which compound files require to be zero: it sees only
        // the others.
        if (hasOleObject(s.message))
            continue;
        const ToolRun mime = run(msgconvert, {"--outfile", "-", path});
        EXPECT_EQ(mime.exitCode, 0) << mime.err.toStdString();
        if (!s.message.find(tags::Subject)->value.empty()) {
            EXPECT_TRUE(mime.out.contains(
                QRegularExpression("^Subject:", QRegularExpression::MultilineOption)));
        }
        EXPECT_EQ(mime.out.count("Content-Disposition: attachment"),
                  qsizetype(attachmentsBelow(s.message)));
    }
}

// Files of the mail program carry the time of the save as the creation and modification time
// of every storage and the modification time of the root; olefile reads the raw directory
// entries.
TEST_F(MsgPeers, EveryStorageCarriesTheTimeOfTheSave) {
    const QString script = QStringLiteral(
        "for e in o.direntries:\n"
        "    if e is not None and e.entry_type in (olefile.STGTY_STORAGE, olefile.STGTY_ROOT):\n"
        "        print(e.entry_type, e.createTime, e.modifyTime, e.name)\n");
    constexpr std::uint64_t SavedAt = 133500000001234567ULL; // none of the messages' times
    WriteOptions options;
    options.savedAt = SavedAt;
    QTemporaryDir dir;
    int n = 0;
    for (const Sample& s : samples()) {
        SCOPED_TRACE(s.name);
        const QString path = dir.filePath(QStringLiteral("t%1.msg").arg(n++));
        writeMsg(s.message, path, options);
        const QStringList lines = olefileLines(script, path);
        ASSERT_FALSE(lines.isEmpty());
        for (const QString& line : lines) {
            SCOPED_TRACE(line.toStdString());
            const QStringList f = line.split(' ');
            ASSERT_GE(f.size(), 4);
            const bool root = f[0].toInt() == 5;
            const std::uint64_t created = f[1].toULongLong(), modified = f[2].toULongLong();
            // The root's creation time is the file's own and stays zero.
            EXPECT_EQ(created, root ? 0 : SavedAt);
            EXPECT_EQ(modified, SavedAt);
        }
    }
}

} // namespace
