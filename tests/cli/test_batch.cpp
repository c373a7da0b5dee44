// The batch converter's command line, its one-line reports and what its exit status means.
#include "batch.h"

#include "constants.h"
#include "errorreport.h"
#include "outcometext.h"

#include <QTemporaryFile>

#include <gtest/gtest.h>

using namespace talvenor;
using namespace talvenor::batch;

namespace {

TEST(BatchArguments, CommandLinesAndWhatTheyMean) {
    struct Case {
        QStringList args;
        QString error; // empty: usable
        bool beside;
        QString folder;
        bool json;
        QStringList files;
    };
    const Case cases[] = {
        {{"a.pst"}, "", false, ".", false, {"a.pst"}},
        {{"-o", "out", "a.pst", "b.ost"}, "", false, "out", false, {"a.pst", "b.ost"}},
        {{"--output=out", "a.pst"}, "", false, "out", false, {"a.pst"}},
        {{"--beside", "--json", "a.pst"}, "", true, "", true, {"a.pst"}},
        {{"--", "-odd.pst", "--beside"}, "", false, ".", false, {"-odd.pst", "--beside"}},
        {{}, "no file to convert", false, "", false, {}},
        {{"-o", "out"}, "no file to convert", false, "", false, {}},
        {{"-o"}, "-o needs a folder", false, "", false, {}},
        {{"a.pst", "-o", ""}, "-o needs a folder", false, "", false, {}},
        {{"-o", "x", "--beside", "a.pst"},
         "-o and --beside exclude each other",
         false,
         "",
         false,
         {}},
        {{"-o", "x", "-o", "y", "a.pst"}, "more than one output folder", false, "", false, {}},
        {{"--frobnicate", "a.pst"}, "unknown option --frobnicate", false, "", false, {}},
        {{"a.pst", ""}, "an empty file name", false, "", false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const Arguments a = parseArguments(c.args);
        EXPECT_EQ(a.error, c.error);
        EXPECT_FALSE(a.help);
        if (!c.error.isEmpty())
            continue;
        EXPECT_EQ(a.beside, c.beside);
        if (!c.beside) {
            EXPECT_EQ(a.folder, c.folder);
        }
        EXPECT_EQ(a.json, c.json);
        EXPECT_EQ(a.files, c.files);
    }
    // Help wins over everything else on the line, even a line that is wrong otherwise.
    EXPECT_TRUE(parseArguments({"--help"}).help);
    EXPECT_TRUE(parseArguments({"-o", "x", "--beside", "-h"}).help);
}

TEST(BatchReports, AReportBecomesOneLineWithNothingLost) {
    EXPECT_EQ(oneLine("Disk full.\r\nThe folder is gone."), "Disk full. | The folder is gone.");
    EXPECT_EQ(oneLine("a\r\n\r\nb\rc\n"), "a | b | c");
}

// Feeds the report what a run tells it, the way ConversionRun and the walk do.
struct Script {
    QStringList files;
    // Per file: items written, items reported, report lines of the file itself.
    struct File {
        int written, reported, storeReports;
    };
    std::vector<File> events;
    int runReports = 0;
};

struct RunResult {
    int status;
    std::vector<FileSummary> summaries;
    QString err, out;
};

RunResult play(const Script& s) {
    QTemporaryFile err, out;
    EXPECT_TRUE(err.open() && out.open());
    std::FILE* e = std::fopen(err.fileName().toLocal8Bit().constData(), "w");
    std::FILE* o = std::fopen(out.fileName().toLocal8Bit().constData(), "w");
    FileList list(s.files);
    double now = 100;
    BatchReport report(
        list, [](const QString&) { return QStringLiteral("/out/"); }, {e, o, false},
        [&] { return now; });
    for (int i = 0; i < s.runReports; ++i)
        report.runRefused(RunRefusal::NoFolder);
    FileCounts totals;
    for (std::size_t i = 0; i < s.events.size(); ++i) {
        const QString file = s.files[qsizetype(i)];
        report.fileStarted({int(i) + 1, int(s.files.size()), file, "/out/"});
        now += 1.5; // every file takes its time
        for (int k = 0; k < s.events[i].written; ++k)
            report.itemWritten("/out/x.msg");
        for (int k = 0; k < s.events[i].reported; ++k) {
            ItemReport r;
            r.cause = Cause::Damaged;
            r.reason = "cannot read";
            r.folder = "Inbox";
            r.subject = "Hello";
            r.where = {"GetMailItems", 144};
            report.itemReported(r);
        }
        for (int k = 0; k < s.events[i].storeReports; ++k)
            report.fileFailed({Cause::NotFound, "gone", {"PST2MSG", 106}});
        report.fileFinished({file, "/out/", {}});
    }
    report.runFinished(totals);
    report.finish();
    std::fclose(e);
    std::fclose(o);
    return {report.exitStatus(), report.summaries(), QString::fromUtf8(err.readAll()),
            QString::fromUtf8(out.readAll())};
}

TEST(BatchReports, ExitStatusFollowsWhatWasWrittenAndReported) {
    struct Case {
        const char* name;
        Script script;
        int status;
    };
    const Case cases[] = {
        {"everything written", {{"a", "b"}, {{3, 0, 0}, {2, 0, 0}}}, AllWritten},
        {"an empty store converts cleanly", {{"a"}, {{0, 0, 0}}}, AllWritten},
        {"one item reported", {{"a", "b"}, {{3, 1, 0}, {2, 0, 0}}}, SomeReported},
        {"one store unreadable, one converted", {{"a", "b"}, {{0, 0, 1}, {2, 0, 0}}}, SomeReported},
        {"a folder of a store reported", {{"a"}, {{2, 0, 1}}}, SomeReported},
        {"every item of the only store reported", {{"a"}, {{0, 2, 0}}}, SomeReported},
        {"no store could be opened",
         {{"a", "b"}, {{0, 0, 1}, {0, 0, 1}}},
         BadUsageOrNothingConverted},
        {"the run refused to start", {{"a"}, {}, 1}, BadUsageOrNothingConverted},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const RunResult r = play(c.script);
        EXPECT_EQ(r.status, c.status);
        ASSERT_EQ(r.summaries.size(), c.script.events.size());
        for (std::size_t i = 0; i < r.summaries.size(); ++i) {
            EXPECT_EQ(r.summaries[i].written, c.script.events[i].written);
            EXPECT_EQ(r.summaries[i].reported, c.script.events[i].reported);
        }
        // One JSON line per file, and no "Done." where the summaries stand.
        EXPECT_EQ(r.out.count('\n'), qsizetype(c.script.events.size()));
        EXPECT_FALSE(r.err.contains(runtext::Done));
    }
}

TEST(BatchReports, ReportsAndSummariesNameTheirFileOnOneLineEach) {
    const RunResult r = play({{"/in/a.pst", "/in/b.pst"}, {{1, 1, 0}, {0, 0, 1}}});
    EXPECT_EQ(r.err.split('\n', Qt::SkipEmptyParts),
              QStringList({"[1/2] /in/a.pst",
                           "talvenor-convert: /in/a.pst: folder \"Inbox\", item \"Hello\": not "
                           "written: cannot read",
                           "/in/a.pst: 1 message written, 1 reported, 1.5 s", "[2/2] /in/b.pst",
                           "talvenor-convert: /in/b.pst: gone",
                           "/in/b.pst: not converted (not found), 1.5 s"}));
    // Words for people on a terminal: no button, no step, no screenshot.
    EXPECT_FALSE(r.err.contains("PushButton") || r.err.contains("at line") ||
                 r.err.contains("screenshot"));
    const QStringList json = r.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(json.size(), 2);
    EXPECT_TRUE(json[0].contains(R"("file":"/in/a.pst")"));
    EXPECT_TRUE(json[0].contains(R"("written":1)"));
    EXPECT_TRUE(json[1].contains(R"("converted":false)"));
    EXPECT_TRUE(json[1].contains(R"("cause":"not-found")")) << json[1].toStdString();
    EXPECT_TRUE(json[0].contains(
        R"("lines":[{"cause":"damaged","folder":"Inbox","kind":"mail","reason":"cannot read","subject":"Hello","written":false}])"))
        << json[0].toStdString();
}

TEST(BatchReports, SummariesSayWhatWasNotMailAndWhenAStoreHeldNoMail) {
    struct Case {
        int written;
        std::vector<ItemKind> notMail;
        const char* text;
        const char* json; // the counts by kind
    };
    const Case cases[] = {
        {0,
         {ItemKind::Appointment, ItemKind::Contact, ItemKind::DistributionList, ItemKind::Contact},
         "a.pst: 0 messages written, 0 reported, 0.5 s; the store holds no mail; 4 other items "
         "are not mail: 2 contacts, 1 distribution list, 1 appointment",
         R"("notMail":4,"notMailByKind":{"appointment":1,"contact":2,"distributionList":1})"},
        {2,
         {ItemKind::Post},
         "a.pst: 2 messages written, 0 reported, 0.5 s; 1 other item is not mail: 1 post",
         R"("notMail":1,"notMailByKind":{"post":1})"},
        {0,
         {},
         "a.pst: 0 messages written, 0 reported, 0.5 s; the store holds no mail",
         R"("notMail":0,"notMailByKind":{})"},
    };
    for (const auto& c : cases) {
        FileSummary s;
        s.file = "a.pst";
        s.written = c.written;
        s.seconds = 0.5;
        for (const ItemKind k : c.notMail)
            s.notMail.add(k);
        EXPECT_EQ(summaryText(s), c.text);
        EXPECT_TRUE(summaryJson(s).contains(c.json)) << summaryJson(s).toStdString();
    }
}

} // namespace
