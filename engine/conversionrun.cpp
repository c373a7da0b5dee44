#include "conversionrun.h"

#include "constants.h"
#include "errorreport.h"
#include "failure.h"
#include "outcometext.h"
#include "paths.h"
#include "windowoutcomes.h"

#include <cmath>

namespace talvenor {

namespace {
QString messageName(const QString& pstPath) {
    return paths::removeExtension(paths::getFileName(pstPath)) + QStringLiteral(".msg");
}
const QString RunProcedure = QStringLiteral("PushButton2_Click");
} // namespace

namespace {
// Why the results of a PST file cannot go into their folder, worded for what the user can do.
Failure folderRefusal(Cause cause, const QString& pstName, const QString& folder) {
    if (cause == Cause::ReadOnly)
        return Failure(cause, failures::PermissionDenied,
                       QStringLiteral("The results of \"%1\" cannot be saved because the folder "
                                      "\"%2\" is on a read-only file system.")
                           .arg(pstName, folder));
    return Failure(cause == Cause::NotFound ? cause : Cause::PermissionDenied,
                   failures::PermissionDenied,
                   QStringLiteral("Permission denied: the results of \"%1\" cannot be saved "
                                  "because the folder \"%2\" cannot be written.")
                       .arg(pstName, folder));
}
} // namespace

QString processingText(const QString& fileName, std::int64_t done, std::int64_t total) {
    return runtext::Processing + fileName + QStringLiteral(" - ") + groupedNumber(done) +
           QStringLiteral(" of ") + groupedNumber(total);
}

int runProgressValue(int index, int files, std::int64_t done, std::int64_t total) {
    if (files <= 0)
        return 0;
    const double share = total > 0 ? double(std::min(done, total)) / double(total) : 0.0;
    return int(std::nearbyint((double(index - 1) + share) / double(files) * 100.0));
}

void FileProgressText::itemsVisited(std::int64_t done, std::int64_t total) {
    const auto now = clock_.now();
    if (done < total && shown_ && now - *shown_ < Interval)
        return;
    shown_ = now;
    bar_.setValue(runProgressValue(index_, files_, done, total));
    bar_.setFileProgress(processingText(fileName_, done, total));
}

QString outputPathInFolder(const QString& folder, const QString& pstPath) {
    return paths::fixSlashes(folder + paths::separator() + messageName(pstPath));
}

QString outputPathBesideSource(const QString& pstPath) {
    return paths::fixSlashes(paths::getFolderPath(pstPath) + paths::separator() +
                             messageName(pstPath));
}

ConversionRun::ConversionRun(ISourceList& list, IOutputOptions& options, IProgress& progress,
                             IPointer& pointer, IEventLoop& events, IMessageBox& messages,
                             IFileConverter& converter, const IFolderAccess& access,
                             const IClock* clock)
    : window_(std::make_unique<WindowOutcomes>(messages)), list_(list), options_(options),
      progress_(progress), pointer_(pointer), events_(events), observer_(*window_),
      converter_(converter), access_(access), clock_(clock ? *clock : steady_) {}

ConversionRun::~ConversionRun() = default;

void ConversionRun::convertAll() {
    if (converting_) // 100
        return;
    converting_ = true; // 102
    // Every way out of the run, also one the report does not catch, makes it idle again (152).
    struct Idle {
        bool& flag;
        ~Idle() { flag = false; }
    } idle{converting_};

    // The run's own failures (a list entry that cannot be read, a control that fails) are
    // outcomes of the run; while a file is converted, they are that file's.
    Procedure proc(windowLocation(RunProcedure));
    const auto runFailures = [&](int step, const Failure& f) {
        observer_.runReported({f.cause(), f.description(), {RunProcedure, step}});
        return false;
    };
    proc.setFilter(runFailures);

    if (proc.test(104, [&] { return list_.count() == 0; })) {
        proc.step(150, [&] { observer_.runRefused(RunRefusal::NoFiles); });
        return;
    }
    // Without a rule there is nowhere sound to put the results.
    if (proc.test(105, [&] { return !options_.option1() && !options_.option2(); })) {
        proc.step(105, [&] { observer_.runRefused(RunRefusal::NoRule); });
        return;
    }
    if (proc.test(106, [&] { return !paths::isFolder(options_.text1()) && !options_.option2(); })) {
        proc.step(148, [&] { observer_.runRefused(RunRefusal::NoFolder); });
        return;
    }

    const auto n = proc.read(112, [&] { return list_.count(); });
    QString pstPath;
    QString outputPath;
    FileCounts totals;
    for (int i = 1; n && i <= *n; ++i) {
        proc.step(114, [&] { pstPath = list_.text(i); });
        proc.step(116, [&] {
            const int count = list_.count();
            if (count <= 0)
                throw Failure(11, QStringLiteral("Division by zero"));
            // The files before this one; the file's own items move it on from here.
            progress_.setValue(runProgressValue(i, count, 0, 0));
        });
        proc.step(118,
                  [&] { progress_.setText(runtext::Processing + paths::getFileName(pstPath)); });
        proc.step(120, [&] { events_.yield(); });
        proc.step(122, [&] { pointer_.setMode(PointerMode::Busy); });

        bool haveRule = true;
        if (proc.test(124, [&] { return options_.option1(); })) {
            proc.step(126, [&] { outputPath = outputPathInFolder(options_.text1(), pstPath); });
        } else if (proc.test(128, [&] { return options_.option2(); })) {
            proc.step(130, [&] { outputPath = outputPathBesideSource(pstPath); });
        } else {
            haveRule = false;
        }

        FileTally tally;
        TeeObserver counted(tally, observer_);
        const QString folder = haveRule ? paths::getFolderPath(outputPath) : QString();
        counted.fileStarted({i, n ? *n : 0, pstPath, folder});
        if (!haveRule) {
            // The rule was taken away during the run: this file has nowhere to go.
            proc.step(128, [&] { counted.fileSkipped(RunRefusal::NoRule); });
        } else {
            proc.setFilter([&](int step, const Failure& f) {
                counted.fileFailed({f.cause(), f.description(), {RunProcedure, step}});
                return false;
            });
            proc.step(132, [&] {
                // One report for a folder that cannot take the files, instead of one per
                // message.
                if (const auto refused = access_.refusal(folder))
                    throw folderRefusal(*refused, paths::getFileName(pstPath), folder);
                FileProgressText bar(progress_, paths::getFileName(pstPath), clock_, i, n ? *n : 1);
                TeeObserver road(counted, bar);
                converter_.PST2MSG(pstPath, outputPath, road);
            });
            proc.setFilter(runFailures);
        }
        totals.add(tally.counts());
        observer_.fileFinished({pstPath, folder, tally.counts()});
    }

    proc.step(136, [&] { pointer_.setMode(PointerMode::Default); });
    proc.step(138, [&] { progress_.setValue(0); });
    proc.step(140, [&] { progress_.setText(runtext::AtRest); });
    proc.step(146, [&] { observer_.runFinished(totals); });
}

} // namespace talvenor
