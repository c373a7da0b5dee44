#include "conversionrun.h"

#include "constants.h"
#include "errorreport.h"
#include "failure.h"
#include "paths.h"

#include <QFile>

#include <cmath>
#include <unistd.h>

namespace talvenor {

bool SystemFolderAccess::canWrite(const QString& folder) const {
    if (folder.isEmpty() || !paths::isFolder(folder))
        return false;
    // Creating a file needs write and search permission on the folder; access() also
    // answers no for a read-only mount, which the permission bits do not show.
    return ::access(QFile::encodeName(folder).constData(), W_OK | X_OK) == 0;
}

namespace {
QString messageName(const QString& pstPath) {
    return paths::removeExtension(paths::getFileName(pstPath)) + QStringLiteral(".msg");
}
} // namespace

namespace {
// 12345 -> "12,345"
QString grouped(std::int64_t n) {
    QString digits = QString::number(n < 0 ? -n : n);
    for (qsizetype at = digits.size() - 3; at > 0; at -= 3)
        digits.insert(at, QLatin1Char(','));
    return n < 0 ? QLatin1Char('-') + digits : digits;
}
} // namespace

QString processingText(const QString& fileName, std::int64_t done, std::int64_t total) {
    return runtext::Processing + fileName + QStringLiteral(" - ") + grouped(done) +
           QStringLiteral(" of ") + grouped(total);
}

void FileProgressText::itemsVisited(std::int64_t done, std::int64_t total) {
    const auto now = clock_.now();
    if (done < total && shown_ && now - *shown_ < Interval)
        return;
    shown_ = now;
    bar_.setFileProgress(processingText(fileName_, done, total));
}

QString outputPathInFolder(const QString& folder, const QString& pstPath) {
    return paths::fixSlashes(folder + paths::separator() + messageName(pstPath));
}

QString outputPathBesideSource(const QString& pstPath) {
    return paths::fixSlashes(paths::getFolderPath(pstPath) + paths::separator() +
                             messageName(pstPath));
}

void ConversionRun::say(const QString& text) {
    messages_.show({text, applicationTitle(), MessageButtons::Ok, MessageIcon::None});
}

void ConversionRun::PushButton2_Click() {
    if (converting_) // 100
        return;
    converting_ = true; // 102
    // Every way out of the run, also one the report does not catch, makes it idle again (152).
    struct Idle {
        bool& flag;
        ~Idle() { flag = false; }
    } idle{converting_};

    Procedure proc(messages_, windowLocation(QStringLiteral("PushButton2_Click")));

    if (proc.test(104, [&] { return list_.count() == 0; })) {
        proc.step(150, [&] { say(runtext::NoFiles); });
        return;
    }
    // Without a rule there is nowhere sound to put the results.
    if (proc.test(105, [&] { return !options_.option1() && !options_.option2(); })) {
        proc.step(105, [&] { say(runtext::NoRule); });
        return;
    }
    if (proc.test(106, [&] { return !paths::isFolder(options_.text1()) && !options_.option2(); })) {
        proc.step(148, [&] { say(runtext::NoFolder); });
        return;
    }

    const auto n = proc.read(112, [&] { return list_.count(); });
    QString pstPath;
    QString outputPath;
    for (int i = 1; n && i <= *n; ++i) {
        proc.step(114, [&] { pstPath = list_.text(i); });
        proc.step(116, [&] {
            const int count = list_.count();
            if (count <= 0)
                throw Failure(11, QStringLiteral("Division by zero"));
            // Rounded half to even, as an integer property takes a fraction.
            progress_.setValue(int(std::nearbyint(double(i) / double(count) * 100.0)));
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
        if (!haveRule) {
            // The rule was taken away during the run: this file has nowhere to go.
            proc.step(128, [&] { say(runtext::NoRule); });
            continue;
        }

        proc.step(132, [&] {
            // One report for a folder that cannot take the files, instead of one per message.
            const QString folder = paths::getFolderPath(outputPath);
            if (!access_.canWrite(folder))
                throw Failure(failures::PermissionDenied,
                              QStringLiteral("Permission denied: the results of \"%1\" cannot be "
                                             "saved because the folder \"%2\" cannot be written.")
                                  .arg(paths::getFileName(pstPath), folder));
            FileProgressText fileProgress(progress_, paths::getFileName(pstPath), clock_);
            converter_.PST2MSG(pstPath, outputPath, fileProgress);
        });
    }

    proc.step(136, [&] { pointer_.setMode(PointerMode::Default); });
    proc.step(138, [&] { progress_.setValue(0); });
    proc.step(140, [&] { progress_.setText(runtext::AtRest); });
    proc.step(146, [&] { say(runtext::Done); });
}

} // namespace talvenor
