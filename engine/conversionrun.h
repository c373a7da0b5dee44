#pragma once

#include "automation.h"
#include "clock.h"
#include "folderaccess.h"
#include "isourcelist.h"
#include "outcomes.h"
#include "session.h"
#include "ui.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

namespace talvenor {

// The output rule as the window's controls hold it; read afresh for every file.
class IOutputOptions {
public:
    virtual ~IOutputOptions() = default;
    virtual bool option1() const = 0;  // "Save results to this folder:"
    virtual bool option2() const = 0;  // "Save results in folder of original file"
    virtual QString text1() const = 0; // the folder of Option1
};

// The progress bar: a value from 0 to 100 and a text drawn on the bar.
class IProgress {
public:
    virtual ~IProgress() = default;
    virtual void setValue(int value) = 0;
    virtual void setText(const QString& text) = 0;
    // How far the file being converted is; by default on the bar's text.
    virtual void setFileProgress(const QString& text) { setText(text); }
};

// Converts one PST file into message files beside the output path, telling the observer what
// becomes of its items and how far it is.
class IFileConverter {
public:
    virtual ~IFileConverter() = default;
    virtual void PST2MSG(const QString& pstPath, const QString& outputFile,
                         IRunObserver& observer) = 0;
};

class SessionConverter : public IFileConverter {
public:
    explicit SessionConverter(ConversionSession& session) : session_(session) {}
    void PST2MSG(const QString& pstPath, const QString& outputFile,
                 IRunObserver& observer) override {
        session_.PST2MSG(pstPath, outputFile, &observer);
    }

private:
    ConversionSession& session_;
};

namespace runtext {
inline const QString NoFiles = QStringLiteral("No files added.");
inline const QString NoFolder =
    QStringLiteral("Folder does not exist. Please select another folder.");
inline const QString NoRule =
    QStringLiteral("Please choose where to save the results: \"Save results to this folder:\" "
                   "or \"Save results in folder of original file\".");
inline const QString Done = QStringLiteral("Done.");
inline const QString Processing = QStringLiteral("Processing: ");
inline const QString AtRest = QStringLiteral("Progress Bar");
} // namespace runtext

// "Processing: big.pst - 12,345 of 20,000": the bar's text while one file is converted.
QString processingText(const QString& fileName, std::int64_t done, std::int64_t total);

// The bar's value while file `index` of `files` is `done` of `total` items far: the files
// before it and the share of its items, rounded half to even as an integer property takes a
// fraction.
int runProgressValue(int index, int files, std::int64_t done, std::int64_t total);

// Shows how far the conversion of one file is on the bar, its value and its text, a few times
// a second at most (the last item always), so that a large store does not look frozen.
class FileProgressText : public IRunObserver {
public:
    static constexpr std::chrono::milliseconds Interval{250};
    FileProgressText(IProgress& bar, QString fileName, const IClock& clock, int index = 1,
                     int files = 1)
        : bar_(bar), fileName_(std::move(fileName)), clock_(clock), index_(index), files_(files) {}
    void itemsVisited(std::int64_t done, std::int64_t total) override;

private:
    IProgress& bar_;
    QString fileName_;
    const IClock& clock_;
    int index_;
    int files_;
    std::optional<std::chrono::milliseconds> shown_;
};

// The output path of one PST file under each rule.
QString outputPathInFolder(const QString& folder, const QString& pstPath);
QString outputPathBesideSource(const QString& pstPath);

// Converts every file of the source list, top to bottom, in one batch: the one operation both
// the window ("Start Converting") and the command line run. What happens goes to the observer
// as outcomes, which each front end renders in its own way. The list is not changed by the
// run; while IsConverting() is true the window keeps every command that removes or reorders
// entries from doing so, so that each entry is converted exactly once.
class ConversionRun {
public:
    ConversionRun(ISourceList& list, IOutputOptions& options, IProgress& progress,
                  IPointer& pointer, IEventLoop& events, IRunObserver& observer,
                  IFileConverter& converter, const IFolderAccess& access,
                  const IClock* clock = nullptr)
        : list_(list), options_(options), progress_(progress), pointer_(pointer), events_(events),
          observer_(observer), converter_(converter), access_(access),
          clock_(clock ? *clock : steady_) {}
    // Rendered as the window renders a run, with each file's report beside its results.
    ConversionRun(ISourceList& list, IOutputOptions& options, IProgress& progress,
                  IPointer& pointer, IEventLoop& events, IMessageBox& messages,
                  IFileConverter& converter, const IFolderAccess& access,
                  const IClock* clock = nullptr);
    ~ConversionRun();

    void convertAll();
    void PushButton2_Click() { convertAll(); }
    bool IsConverting() const { return converting_; }

private:
    std::unique_ptr<IRunObserver> window_; // the window's rendering, when it was asked for
    ISourceList& list_;
    IOutputOptions& options_;
    IProgress& progress_;
    IPointer& pointer_;
    IEventLoop& events_;
    IRunObserver& observer_;
    IFileConverter& converter_;
    const IFolderAccess& access_;
    SteadyClock steady_;
    const IClock& clock_;
    bool converting_ = false;
};

} // namespace talvenor
