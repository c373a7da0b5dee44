#include <itemclass.h>
#include <reader.h>

#include <gtest/gtest.h>

using namespace talvenor::nativestore;
using namespace std::string_literals;

namespace {

struct ClassCase {
    const char* messageClass;
    int expected;
};

class ItemClassTest : public ::testing::TestWithParam<ClassCase> {};

TEST_P(ItemClassTest, MapsMessageClassToOutlookNumber) {
    const auto& c = GetParam();
    EXPECT_EQ(outlookItemClass(QString::fromUtf8(c.messageClass)), c.expected) << c.messageClass;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ItemClassTest,
    ::testing::Values(
        ClassCase{"IPM.Note", 43}, ClassCase{"ipm.note", 43}, ClassCase{"IPM.NOTE.SMIME", 43},
        ClassCase{"IPM.Note.SMIME.MultipartSigned", 43},
        ClassCase{"IPM.Note.Rules.OofTemplate.Microsoft", 43}, ClassCase{"IPM.Notes", 45},
        ClassCase{"IPM.NoteX.Y", 45}, ClassCase{"IPM.Not", 45},
        ClassCase{"REPORT.IPM.Note.NDR", 46}, ClassCase{"Report.IPM.Note.IPNRN", 46},
        ClassCase{"REPORTS", 45}, ClassCase{"IPM.Appointment", 26},
        ClassCase{"IPM.Appointment.Occurrence", 26}, ClassCase{"IPM.Contact", 40},
        ClassCase{"IPM.DistList", 69}, ClassCase{"IPM.Task", 48}, ClassCase{"IPM.TaskRequest", 49},
        ClassCase{"IPM.TaskRequest.Update", 50}, ClassCase{"IPM.TaskRequest.Accept", 51},
        ClassCase{"IPM.TaskRequest.Decline", 52}, ClassCase{"IPM.TaskRequest.Other", 49},
        ClassCase{"IPM.StickyNote", 44}, ClassCase{"IPM.Post", 45}, ClassCase{"IPM.Post.Rss", 45},
        ClassCase{"IPM.Activity", 42}, ClassCase{"IPM.Document", 41},
        ClassCase{"IPM.Document.Word.Document.8", 41}, ClassCase{"IPM.Remote", 47},
        ClassCase{"IPM.Sharing", 104}, ClassCase{"IPM.Sharing.Invite", 104},
        ClassCase{"IPM.Schedule.Meeting.Request", 53},
        ClassCase{"IPM.Schedule.Meeting.Canceled", 54},
        ClassCase{"IPM.Schedule.Meeting.Resp.Neg", 55},
        ClassCase{"IPM.Schedule.Meeting.Resp.Pos", 56},
        ClassCase{"IPM.Schedule.Meeting.Resp.Tent", 57}, ClassCase{"IPM.Schedule.Meeting", 45},
        ClassCase{"IPM.Schedule.Meeting.Resp", 45}, ClassCase{"IPM", 45}, ClassCase{"", 45},
        ClassCase{"Something.Else", 45}, ClassCase{"IPM.Note.", 43}, ClassCase{".IPM.Note", 45}));

struct SubjectCase {
    std::u16string stored;
    std::u16string shown;
};

TEST(DisplaySubject, HidesTheStoredPrefixMarker) {
    const SubjectCase cases[] = {
        {u"\u0001\u0004RE: hello", u"RE: hello"},
        {u"\u0001\u0000plain"s, u"plain"},
        {u"plain", u"plain"},
        {u"", u""},
        {u"\u0001", u"\u0001"},
        {u"\u0001\u0003", u""},
        {u"\u0001\u0005Fwd: Grüße 日本 \U0001F600", u"Fwd: Grüße 日本 \U0001F600"},
        {u"a\u0001\u0002b", u"a\u0001\u0002b"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(displaySubject(QString::fromStdU16String(c.stored)).toStdU16String(), c.shown);
}

TEST(DecodeCodepage, UsesTheStoresCodepage) {
    struct Case {
        QByteArray bytes;
        int codepage;
        QString text;
    };
    const Case cases[] = {
        {QByteArray("Gr\xFC\xDF"
                    "e"),
         1252, QStringLiteral("Grüße")},
        {QByteArray("\xCF\xF0\xE8\xE2\xE5\xF2"), 1251, QStringLiteral("Привет")},
        {QByteArray("\x93\xfa\x96\x7b"), 932, QStringLiteral("日本")},
        {QByteArray("caf\xC3\xA9"), 65001, QStringLiteral("café")},
        {QByteArray("\x80"), 1252, QStringLiteral("€")},
        // An unknown code page reads as Western European rather than losing the text.
        {QByteArray("\xE9"), 99999, QStringLiteral("é")},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decodeCodepage(c.bytes, c.codepage), c.text) << c.codepage;
}

} // namespace
