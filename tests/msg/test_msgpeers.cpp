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
    const QString py = programFor(Outside::Olefile);
    const QString msgconvert = programFor(Outside::Msgconvert);
    // Any defect of the compound structure (not only fatal ones) raises.
    const QString script = QStringLiteral(
        "import sys, olefile\n"
        "o = olefile.OleFileIO(sys.argv[1], raise_defects=olefile.DEFECT_INCORRECT)\n"
        "print(o.root.clsid)\n"
        "for e in sorted(o.listdir(streams=True, storages=False)):\n"
        "    print('/'.join(e), o.get_size('/'.join(e)))\n");
    QTemporaryDir dir;
    int n = 0;
    for (const Sample& s : samples()) {
        SCOPED_TRACE(s.name);
        const QString path = dir.filePath(QStringLiteral("s%1.msg").arg(n++));
        writeMsg(s.message, path);
        const ToolRun r = run(py, {"-c", script, path});
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
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
        // This reader re-saves an OLE object's storage and stumbles over the zero creation
        // times that libgsf writes (and that compound files allow): it sees only the others.
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

} // namespace
