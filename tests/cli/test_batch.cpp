// The batch converter's command line, its one-line reports and what its exit status means.
#include "batch.h"

#include "constants.h"
#include "errorreport.h"
#include "fakeautomation.h"
#include "outcometext.h"
#include "qtprint.h"
#include "recorders.h"
#include "runfakes.h"
#include "session.h"
#include "stringlist.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <algorithm>

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
        std::int64_t recovered = 0;
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
        {98,
         {ItemKind::Other},
         "a.pst: 98 messages written, 0 reported, 0.5 s; 99 items that no folder lists were "
         "found in the store's index, as \"Recovered items\"; 1 other item is not mail: 1 item "
         "of another kind",
         R"("recovered":99)",
         99},
    };
    for (const auto& c : cases) {
        FileSummary s;
        s.file = "a.pst";
        s.written = c.written;
        s.seconds = 0.5;
        for (const ItemKind k : c.notMail)
            s.notMail.add(k);
        s.recovered = c.recovered;
        s.recoveredFolder = "Recovered items";
        EXPECT_EQ(summaryText(s), c.text);
        EXPECT_TRUE(summaryJson(s).contains(c.json)) << summaryJson(s).toStdString();
    }
}

} // namespace

namespace {

using talvenor::testing::FakeFolder;
using talvenor::testing::FakeOutlook;

// One run over the in-memory store, rendered by the window and by the command line.
struct BothWays : ::testing::Test {
    QTemporaryDir window, cli;
    FakeOutlook outlook;
    QStringList files;

    struct Cli {
        int status;
        QStringList err;
        std::vector<QJsonObject> json;
    };

    void SetUp() override { ASSERT_TRUE(window.isValid() && cli.isValid()); }

    QStringList runInWindow(talvenor::testing::RecordingMessageBox& messages) {
        talvenor::testing::StringSourceList list;
        list.items = files;
        talvenor::testing::FakeOptions options;
        options.t1 = window.path();
        talvenor::testing::RecordingProgress progress;
        talvenor::testing::RecordingPointer pointer;
        talvenor::testing::CountingEventLoop events;
        talvenor::testing::FakeFolderAccess access;
        ConversionSession session(outlook, messages, events, pointer);
        SessionConverter converter(session);
        ConversionRun(list, options, progress, pointer, events, messages, converter, access)
            .convertAll();
        QStringList lines;
        for (const QString& f : files) {
            QFile report(window.filePath(conversionReportName(f)));
            if (report.open(QIODevice::ReadOnly))
                lines += QString::fromUtf8(report.readAll()).split('\n', Qt::SkipEmptyParts);
        }
        return lines;
    }

    Cli runOnCommandLine() {
        QTemporaryFile err, out;
        EXPECT_TRUE(err.open() && out.open());
        std::FILE* e = std::fopen(err.fileName().toLocal8Bit().constData(), "w");
        std::FILE* o = std::fopen(out.fileName().toLocal8Bit().constData(), "w");
        FileList list(files);
        FixedOutput output(false, cli.path());
        BatchReport report(
            list, [&](const QString&) { return cli.path() + "/"; }, {e, o, false},
            [] { return 0.0; });
        NoProgress progress;
        PlainPointer pointer;
        talvenor::testing::CountingEventLoop events;
        talvenor::testing::RecordingMessageBox unused;
        talvenor::testing::FakeFolderAccess access;
        ConversionSession session(outlook, unused, events, pointer);
        SessionConverter converter(session);
        ConversionRun(list, output, progress, pointer, events, report, converter, access)
            .convertAll();
        report.finish();
        std::fclose(e);
        std::fclose(o);
        EXPECT_TRUE(unused.shown.isEmpty()) << unused.texts().join('|').toStdString();
        Cli r{report.exitStatus(),
              QString::fromUtf8(err.readAll()).split('\n', Qt::SkipEmptyParts),
              {}};
        for (const QString& line : QString::fromUtf8(out.readAll()).split('\n', Qt::SkipEmptyParts))
            r.json.push_back(QJsonDocument::fromJson(line.toUtf8()).object());
        return r;
    }
};

int msgFiles(const QString& folder) {
    return int(QDir(folder).entryList({"*.msg"}, QDir::Files).size());
}

// The window's report file and the command line's standard error say the same of each item,
// and the counts in --json are the files on disk.
TEST_F(BothWays, TheReportFileHoldsTheCommandLinesLinesAndTheCountsAreTheFilesOnDisk) {
    struct Case {
        const char* name;
        int whole, damaged, unreadable;
        bool diskFullAfterTwo;
        int written, saved, reported; // in --json
        bool converted;
    };
    const Case cases[] = {
        {"all written", 3, 0, 0, false, 3, 0, 0, true},
        {"saved from damaged data", 2, 3, 0, false, 5, 3, 0, false},
        {"items reported", 2, 0, 2, false, 2, 0, 2, false},
        {"the disk fills up", 6, 0, 0, true, 2, 0, 4, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        outlook = FakeOutlook();
        for (QTemporaryDir* d : {&window, &cli})
            for (const QString& f : QDir(d->path()).entryList(QDir::Files))
                QFile::remove(d->filePath(f));
        FakeFolder root{"Root", {}, {}};
        FakeFolder& inbox = root.addFolder("Inbox");
        for (int k = 0; k < c.whole; ++k)
            inbox.addItem(QStringLiteral("whole %1").arg(k));
        for (int k = 0; k < c.damaged; ++k)
            inbox.addDamagedItem(QStringLiteral("damaged %1").arg(k), "its body was lost");
        for (int k = 0; k < c.unreadable; ++k) {
            inbox.addItem(QStringLiteral("unreadable %1").arg(k));
            for (QTemporaryDir* d : {&window, &cli})
                outlook.fail(
                    QStringLiteral("Item.SaveAs %1/unreadable %2.msg").arg(d->path()).arg(k),
                    Cause::Damaged, -2147286788, "The item is damaged.");
        }
        if (c.diskFullAfterTwo)
            for (int k = 2; k < c.whole; ++k)
                for (QTemporaryDir* d : {&window, &cli})
                    outlook.fail(
                        QStringLiteral("Item.SaveAs %1/whole %2.msg").arg(d->path()).arg(k),
                        Cause::DiskFull, failures::DiskFull, "The disk is full.");
        outlook.stores["/m/box.pst"] = root;
        files = {"/m/box.pst"};

        talvenor::testing::RecordingMessageBox messages;
        const QStringList fileLines = runInWindow(messages);
        const Cli r = runOnCommandLine();

        QStringList cliLines;
        for (const QString& line : r.err)
            if (line.startsWith(ProgramName + ": "))
                cliLines << line.mid(ProgramName.size() + 2);
        // The same lines, but for the output folder each was given.
        EXPECT_EQ(fileLines.join('\n').replace(window.path(), "<out>"),
                  cliLines.join('\n').replace(cli.path(), "<out>"));
        EXPECT_EQ(QFile::exists(window.filePath("box - conversion report.txt")),
                  !cliLines.isEmpty());

        ASSERT_EQ(r.json.size(), 1u);
        const QJsonObject& s = r.json[0];
        EXPECT_EQ(s["written"].toInt(), msgFiles(cli.path()));
        EXPECT_EQ(msgFiles(cli.path()), msgFiles(window.path()));
        EXPECT_EQ(s["written"].toInt(), c.written);
        EXPECT_EQ(s["savedFromDamage"].toInt(), c.saved);
        EXPECT_EQ(s["reported"].toInt(), c.reported);
        EXPECT_EQ(s["converted"].toBool(), c.converted);
        EXPECT_EQ(s["lines"].toArray().size(), cliLines.size());
        EXPECT_EQ(r.status, c.converted ? AllWritten : SomeReported);
        // Saved from damaged data: no box each, one for the file.
        const int damageBoxes =
            int(std::count_if(messages.shown.begin(), messages.shown.end(), [](const Message& m) {
                return m.text.contains("saved from damaged data");
            }));
        EXPECT_EQ(damageBoxes, c.saved > 0 ? 1 : 0);
    }
}

// A reading helper that cannot be started is said in the command line's own words.
TEST_F(BothWays, AReadingHelperThatCannotBeStartedIsToldAsSuch) {
    const QString text = "the reading helper could not be started: "
                         "/usr/lib/talvenor/talvenor-reader: No such file or directory";
    outlook.stores["/m/box.pst"] = FakeFolder{"Root", {}, {}};
    outlook.fail("CreateObject Outlook.Application", Cause::ReaderNotStarted, failures::InUse,
                 text);
    files = {"/m/box.pst"};
    const Cli r = runOnCommandLine();
    EXPECT_TRUE(r.err.contains(ProgramName + ": /m/box.pst: " + text))
        << r.err.join('\n').toStdString();
    EXPECT_FALSE(r.err.join('\n').contains("0731"));
    EXPECT_FALSE(r.err.join('\n').contains("another application"));
    ASSERT_EQ(r.json.size(), 1u);
    EXPECT_EQ(r.json[0]["cause"].toString(), "reader-not-started");
    EXPECT_FALSE(r.json[0]["converted"].toBool());
    EXPECT_EQ(r.status, BadUsageOrNothingConverted);
}

} // namespace
