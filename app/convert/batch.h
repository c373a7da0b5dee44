// The batch converter's side of the engine's user interface: arguments, reports as text on
// standard error, a progress line per file and a summary per file.
#pragma once

#include "conversionrun.h"
#include "isourcelist.h"
#include "itemobserver.h"
#include "ui.h"

#include <QString>
#include <QStringList>

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

// A report of the engine (CR LF and bare CR inside) as one line of text.
QString oneLine(const QString& text);

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

class PlainPointer : public IPointer {
public:
    PointerMode mode() const override { return mode_; }
    void setMode(PointerMode mode) override { mode_ = mode; }

private:
    PointerMode mode_ = PointerMode::Default;
};

// Lets queued Qt events through (nothing paints here, but the store's helpers may use them).
class CoreEventLoop : public IEventLoop {
public:
    void yield() override;
};

struct FileSummary {
    QString file;
    QString output;         // the folder the message files went into
    int written = 0;        // mail items written as message files
    int reported = 0;       // mail items reported instead
    int reports = 0;        // report lines while the file was converted (also store-wide ones)
    ItemKindCounts notMail; // items skipped because they are not mail, by kind
    double seconds = 0;
    // A file that wrote nothing and met no item, but drew a report, was never opened.
    bool converted() const {
        return !(written == 0 && reported == 0 && notMail.total() == 0 && reports > 0);
    }
};

QString summaryText(const FileSummary& s);
QString summaryJson(const FileSummary& s);

// Follows the run: the progress text names each file as it starts, the walk tells of every
// mail item, and the reports arrive as messages. Writes as it goes and keeps the summaries.
class BatchReport : public IProgress, public IItemObserver, public IMessageBox {
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

    void setValue(int) override {}
    void setText(const QString& text) override;
    // The counts of written and reported items already tell how far a file is.
    void setFileProgress(const QString&) override { drawBar(false); }
    void written(const QString& path) override;
    void reported() override;
    void skipped(ItemKind kind) override;
    MessageAnswer show(const Message& message) override;

    // Ends the file under way; the run has finished.
    void finish();
    int exitStatus() const;
    const std::vector<FileSummary>& summaries() const { return done_; }

private:
    void close();
    void drawBar(bool force);
    void clearBar();
    void line(const QString& text);

    const ISourceList& files_;
    std::function<QString(const QString&)> outputFolder_;
    Streams streams_;
    std::optional<FileSummary> current_;
    std::vector<FileSummary> done_;
    int started_ = 0;
    int runReports_ = 0; // reports outside any file
    bool barShown_ = false;
    Clock now_;
    double fileStart_ = 0;
    double lastDraw_ = -1;
};

} // namespace talvenor::batch
