// The batch converter's side of the engine's user interface: arguments, and the run's outcomes
// in its own words: report lines on standard error, a progress line per file, a summary per
// file as text and as JSON, both from the same values.
#pragma once

#include "conversionrun.h"
#include "isourcelist.h"
#include "outcomes.h"
#include "ui.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <vector>

namespace talvenor::batch {

inline const QString ProgramName = QStringLiteral("talvenor-convert");

// Exit statuses, as the manual page documents them.
constexpr int AllWritten = 0;
constexpr int SomeReported = 1;
constexpr int BadUsageOrNothingConverted = 2;

struct Arguments {
    bool help = false;
    bool beside = false; // --beside: each file's results into the file's own folder
    QString folder;      // -o FOLDER; the current folder when neither is given
    bool json = false;   // --json: the summaries as JSON lines on standard output
    QStringList files;
    QString error; // set when the command line is unusable
};

// Reads the command line (without the program's name). Relative paths stay relative.
Arguments parseArguments(const QStringList& args);

QString usageText();

// The files of one invocation, in the order given; the run reads them as the window's list.
class FileList : public ISourceList {
public:
    explicit FileList(QStringList files) : files_(std::move(files)) {}
    int count() const override { return int(files_.size()); }
    QString text(int position) const override;
    void append(const QString& text) override { files_.append(text); }

private:
    QStringList files_;
};

// The output rule of the command line, fixed for the whole run.
class FixedOutput : public IOutputOptions {
public:
    FixedOutput(bool beside, QString folder) : beside_(beside), folder_(std::move(folder)) {}
    bool option1() const override { return !beside_; }
    bool option2() const override { return beside_; }
    QString text1() const override { return folder_; }

private:
    bool beside_;
    QString folder_;
};

// The command line draws its own bar from the outcomes.
class NoProgress : public IProgress {
public:
    void setValue(int) override {}
    void setText(const QString&) override {}
};

class PlainPointer : public IPointer {
public:
    PointerMode mode() const override { return mode_; }
    void setMode(PointerMode mode) override { mode_ = mode; }

private:
    PointerMode mode_ = PointerMode::Default;
};

// Lets queued Qt events through (nothing paints here, but the store's helpers may use them),
// at most every few milliseconds: the walk yields after every item, and a turn of the event
// loop is a system call, as many as the item's own.
class CoreEventLoop : public IEventLoop {
public:
    void yield() override;

private:
    std::chrono::steady_clock::time_point last_{};
};

// One report line of a file, as --json gives it.
struct ReportLine {
    std::optional<ItemKind> kind; // none for a report about the whole store or file
    Cause cause = Cause::Other;
    QString reason;
    QString folder;
    QString subject;
    bool written = false;         // the item's file was written all the same
    bool savedFromDamage = false; // written from damaged data; the reason says what was lost
};

struct FileSummary {
    QString file;
    QString output;          // the folder the message files went into
    int written = 0;         // message files written, those saved from damaged data among them
    int savedFromDamage = 0; // of them, written from damaged data
    int reported = 0;        // mail items not written
    std::int64_t notConverted = 0; // items the file lost beyond those, as far as known
    int reports = 0;        // report lines while the file was converted (also store-wide ones)
    ItemKindCounts notMail; // items skipped because they are not mail, by kind
    // Items no folder of the store lists, walked as one more folder (counted above as well).
    std::int64_t recovered = 0;
    QString recoveredFolder;
    std::optional<Cause> failure; // the file could not be converted as a whole
    std::vector<ReportLine> lines;
    double seconds = 0;
    // A file that wrote nothing and met no item, but drew a report, was never opened.
    bool opened() const {
        return !(written == 0 && reported == 0 && notMail.total() == 0 && reports > 0);
    }
    // Every item was written whole or is not mail: nothing was lost.
    bool converted() const {
        return opened() && reported == 0 && notConverted == 0 && savedFromDamage == 0 &&
               reports == 0;
    }
};

QString summaryText(const FileSummary& s);
QString summaryJson(const FileSummary& s);

// Renders the run's outcomes as they come: a line per report, a progress bar or line per
// file, and each file's summary. Keeps the summaries.
class BatchReport : public IRunObserver {
public:
    struct Streams {
        std::FILE* err = stderr;
        std::FILE* out = stdout; // JSON lines; null for none
        bool terminal = false;   // standard error is a terminal: one bar, redrawn
    };
    // Seconds from any fixed point; the machine's steady clock unless a test sets one.
    using Clock = std::function<double()>;
    BatchReport(const ISourceList& files, std::function<QString(const QString&)> outputFolder,
                Streams streams, Clock clock = {});

    void runRefused(RunRefusal refusal) override;
    void runReported(const FileFailure& failure) override;
    void fileStarted(const FileStarted& f) override;
    void itemsVisited(std::int64_t done, std::int64_t total) override;
    void itemWritten(const QString& path) override;
    void itemSavedFromDamage(const ItemSaved& saved) override;
    void itemReported(const ItemReport& report) override;
    void itemSkipped(ItemKind kind) override;
    void itemsRecovered(const QString& folder, std::int64_t count) override;
    void storeReported(const StoreReport& report) override;
    void fileFailed(const FileFailure& failure) override;
    void fileSkipped(RunRefusal refusal) override;
    void fileFinished(const FileFinished& f) override;

    // Ends a file still under way (none after a whole run).
    void finish();
    int exitStatus() const;
    const std::vector<FileSummary>& summaries() const { return done_; }

private:
    void close();
    void drawBar(bool force);
    void clearBar();
    void line(const QString& text);
    void reportLine(const QString& text, ReportLine line);

    const ISourceList& files_;
    std::function<QString(const QString&)> outputFolder_;
    Streams streams_;
    std::optional<FileSummary> current_;
    std::vector<FileSummary> done_;
    int started_ = 0;
    int runReports_ = 0;                          // reports outside any file
    std::int64_t doneItems_ = 0, totalItems_ = 0; // of the file under way
    bool barShown_ = false;
    Clock now_;
    double fileStart_ = 0;
    double lastDraw_ = -1;
};

} // namespace talvenor::batch
