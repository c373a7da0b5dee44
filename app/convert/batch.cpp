#include "batch.h"

#include "displaytext.h"
#include "failure.h"
#include "outcometext.h"
#include "paths.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <chrono>

namespace talvenor::batch {

Arguments parseArguments(const QStringList& args) {
    Arguments a;
    bool haveFolder = false;
    bool optionsEnd = false;
    const auto fail = [&](const QString& error) {
        a.error = error;
        return a;
    };
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (optionsEnd || arg == QLatin1String("-") || !arg.startsWith(QLatin1Char('-'))) {
            if (arg.isEmpty())
                return fail(QStringLiteral("an empty file name"));
            a.files << arg;
        } else if (arg == QLatin1String("--")) {
            optionsEnd = true;
        } else if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            a.help = true;
        } else if (arg == QLatin1String("--beside")) {
            a.beside = true;
        } else if (arg == QLatin1String("--json")) {
            a.json = true;
        } else if (arg == QLatin1String("-o") || arg == QLatin1String("--output")) {
            if (i + 1 >= args.size() || args[i + 1].isEmpty())
                return fail(arg + QStringLiteral(" needs a folder"));
            if (haveFolder)
                return fail(QStringLiteral("more than one output folder"));
            a.folder = args[++i];
            haveFolder = true;
        } else if (arg.startsWith(QLatin1String("--output="))) {
            a.folder = arg.mid(9);
            if (a.folder.isEmpty())
                return fail(QStringLiteral("--output needs a folder"));
            if (haveFolder)
                return fail(QStringLiteral("more than one output folder"));
            haveFolder = true;
        } else {
            return fail(QStringLiteral("unknown option %1").arg(arg));
        }
    }
    if (a.help)
        return a;
    if (haveFolder && a.beside)
        return fail(QStringLiteral("-o and --beside exclude each other"));
    if (a.files.isEmpty())
        return fail(QStringLiteral("no file to convert"));
    if (!haveFolder)
        a.folder = QStringLiteral(".");
    return a;
}

QString usageText() {
    return QStringLiteral(
        "Usage: talvenor-convert [-o FOLDER | --beside] [--json] FILE.pst...\n"
        "Converts every mail item of each personal-folder file (.pst, .ost) into one message\n"
        "file (.msg), named after its subject; existing files are never overwritten.\n"
        "\n"
        "  -o, --output FOLDER  write the message files into FOLDER (default: the current folder)\n"
        "      --beside         write each file's messages into that file's own folder\n"
        "      --json           print one JSON summary line per file on standard output\n"
        "  -h, --help           show this help and exit\n"
        "\n"
        "Reports and a progress line per file go to standard error.\n"
        "Exit status: 0 every mail item was written, 1 some were reported,\n"
        "2 bad usage or no file converted.\n");
}

QString FileList::text(int position) const {
    if (position < 1 || position > files_.size())
        throw Failure(9, QStringLiteral("Subscript out of range"));
    return files_[position - 1];
}

void CoreEventLoop::yield() {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(20))
        return;
    last_ = now;
    QCoreApplication::processEvents();
}

namespace {

struct KindNames {
    ItemKind kind;
    const char* one;
    const char* many;
    const char* key; // in --json
};
// In the order a summary lists kinds that are equally many.
constexpr KindNames kindNames[] = {
    {ItemKind::Contact, "contact", "contacts", "contact"},
    {ItemKind::DistributionList, "distribution list", "distribution lists", "distributionList"},
    {ItemKind::Appointment, "appointment", "appointments", "appointment"},
    {ItemKind::MeetingItem, "meeting item", "meeting items", "meetingItem"},
    {ItemKind::Task, "task", "tasks", "task"},
    {ItemKind::Note, "note", "notes", "note"},
    {ItemKind::Post, "post", "posts", "post"},
    {ItemKind::Report, "report", "reports", "report"},
    {ItemKind::Other, "item of another kind", "items of other kinds", "other"},
};

// "2 contacts, 1 distribution list, 1 appointment": the most numerous kind first.
QString notMailText(const ItemKindCounts& counts) {
    std::vector<const KindNames*> present;
    for (const KindNames& k : kindNames)
        if (counts.count(k.kind) > 0)
            present.push_back(&k);
    std::stable_sort(present.begin(), present.end(), [&](const KindNames* a, const KindNames* b) {
        return counts.count(a->kind) > counts.count(b->kind);
    });
    QStringList parts;
    for (const KindNames* k : present) {
        const std::int64_t n = counts.count(k->kind);
        parts << QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? k->one : k->many));
    }
    return parts.join(QStringLiteral(", "));
}

} // namespace

namespace {
QString causeWords(Cause cause) {
    switch (cause) {
    case Cause::InUse:
        return QStringLiteral("in use by another program");
    case Cause::ReaderNotStarted:
        return QStringLiteral("the reading helper could not be started");
    case Cause::ReaderFailed:
        return QStringLiteral("the reading helper failed");
    case Cause::NotFound:
        return QStringLiteral("not found");
    case Cause::PermissionDenied:
        return QStringLiteral("permission denied");
    case Cause::ReadOnly:
        return QStringLiteral("read-only file system");
    case Cause::DiskFull:
        return QStringLiteral("disk full");
    case Cause::NotAStore:
        return QStringLiteral("not a PST file");
    case Cause::Damaged:
        return QStringLiteral("damaged");
    case Cause::CutShort:
        return QStringLiteral("cut short");
    case Cause::NotSupported:
        return QStringLiteral("not supported");
    case Cause::OutOfMemory:
        return QStringLiteral("out of memory");
    default:
        return {};
    }
}
} // namespace

QString summaryText(const FileSummary& s) {
    const QString time = QString::number(s.seconds, 'f', 1) + QStringLiteral(" s");
    if (!s.opened()) {
        const QString why = s.failure ? causeWords(*s.failure) : QString();
        return why.isEmpty() ? QStringLiteral("%1: not converted, %2").arg(s.file, time)
                             : QStringLiteral("%1: not converted (%2), %3").arg(s.file, why, time);
    }
    QString text = QString(s.written == 1 ? QStringLiteral("%1: %2 message written")
                                          : QStringLiteral("%1: %2 messages written"))
                       .arg(s.file, groupedNumber(s.written));
    if (s.savedFromDamage > 0)
        text +=
            QStringLiteral(" (%1 saved from damaged data)").arg(groupedNumber(s.savedFromDamage));
    text += QStringLiteral(", %1 reported, %2").arg(groupedNumber(s.reported), time);
    if (s.notConverted > 0)
        text += QStringLiteral("; %1 more items not converted").arg(groupedNumber(s.notConverted));
    if (s.reports > s.reported + s.savedFromDamage)
        text += QString(s.reports == 1 ? QStringLiteral(" (%1 report)")
                                       : QStringLiteral(" (%1 reports)"))
                    .arg(groupedNumber(s.reports));
    // Nothing written must never read like mail that was lost: say what the store held.
    if (s.written == 0 && s.reported == 0)
        text += QStringLiteral("; the store holds no mail");
    if (s.recovered > 0)
        text += QString(s.recovered == 1
                            ? QStringLiteral("; %1 item that no folder lists was found in the "
                                             "store's index, as \"%2\"")
                            : QStringLiteral("; %1 items that no folder lists were found in the "
                                             "store's index, as \"%2\""))
                    .arg(groupedNumber(s.recovered), displayText(s.recoveredFolder));
    if (const std::int64_t n = s.notMail.total(); n > 0)
        text += QString(n == 1 ? QStringLiteral("; %1 other item is not mail: %2")
                               : QStringLiteral("; %1 other items are not mail: %2"))
                    .arg(n)
                    .arg(notMailText(s.notMail));
    return text;
}

QString summaryJson(const FileSummary& s) {
    QJsonObject kinds;
    for (const KindNames& k : kindNames)
        if (const std::int64_t n = s.notMail.count(k.kind); n > 0)
            kinds.insert(QLatin1String(k.key), qint64(n));
    QJsonArray lines;
    for (const ReportLine& l : s.lines) {
        QJsonObject line{{QStringLiteral("cause"), QLatin1String(causeToken(l.cause))},
                         {QStringLiteral("reason"), l.reason}};
        if (l.kind) {
            line.insert(QStringLiteral("kind"), QLatin1String(itemKindToken(*l.kind)));
            // Cleaned as on standard error: a reader that prints these strings must not pass
            // a store's escape sequences on to a terminal.
            line.insert(QStringLiteral("folder"), displayText(l.folder));
            line.insert(QStringLiteral("subject"), displayText(l.subject));
            line.insert(QStringLiteral("written"), l.written);
            if (l.savedFromDamage)
                line.insert(QStringLiteral("savedFromDamage"), true);
        }
        lines.append(line);
    }
    QJsonObject o{{QStringLiteral("file"), s.file},
                  {QStringLiteral("output"), s.output},
                  {QStringLiteral("converted"), s.converted()},
                  {QStringLiteral("written"), s.written},
                  {QStringLiteral("savedFromDamage"), s.savedFromDamage},
                  {QStringLiteral("reported"), s.reported},
                  {QStringLiteral("notConverted"), qint64(s.notConverted)},
                  {QStringLiteral("reports"), s.reports},
                  {QStringLiteral("notMail"), qint64(s.notMail.total())},
                  {QStringLiteral("notMailByKind"), kinds},
                  {QStringLiteral("recovered"), qint64(s.recovered)},
                  {QStringLiteral("lines"), lines},
                  {QStringLiteral("seconds"), s.seconds}};
    if (s.failure)
        o.insert(QStringLiteral("cause"), QLatin1String(causeToken(*s.failure)));
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

BatchReport::BatchReport(const ISourceList& files,
                         std::function<QString(const QString&)> outputFolder, Streams streams,
                         Clock clock)
    : files_(files), outputFolder_(std::move(outputFolder)), streams_(streams),
      now_(std::move(clock)) {
    if (!now_)
        now_ = [] {
            return std::chrono::duration<double>(
                       std::chrono::steady_clock::now().time_since_epoch())
                .count();
        };
}

void BatchReport::line(const QString& text) {
    clearBar();
    std::fprintf(streams_.err, "%s\n", text.toLocal8Bit().constData());
    std::fflush(streams_.err);
}

void BatchReport::clearBar() {
    if (barShown_)
        std::fputs("\r\033[K", streams_.err);
    barShown_ = false;
}

void BatchReport::drawBar(bool force) {
    if (!streams_.terminal || !current_)
        return;
    // Redrawing for every item would cost more than the item itself on a fast store.
    const double now = now_();
    if (!force && lastDraw_ >= 0 && now - lastDraw_ < 0.1)
        return;
    lastDraw_ = now;
    constexpr int Width = 24;
    const int total = files_.count();
    const double share =
        totalItems_ > 0 ? double(std::min(doneItems_, totalItems_)) / double(totalItems_) : 0.0;
    const int filled =
        total > 0 ? std::clamp(int((double(started_ - 1) + share) / total * Width), 0, Width) : 0;
    const QString bar =
        QString(filled, QLatin1Char('#')) + QString(Width - filled, QLatin1Char('.'));
    QString text = QStringLiteral("\r\033[K[%1] %2/%3 %4")
                       .arg(bar)
                       .arg(started_)
                       .arg(total)
                       .arg(paths::getFileName(current_->file));
    if (totalItems_ > 0)
        text +=
            QStringLiteral(": %1 of %2").arg(groupedNumber(doneItems_), groupedNumber(totalItems_));
    std::fputs(text.toLocal8Bit().constData(), streams_.err);
    std::fflush(streams_.err);
    barShown_ = true;
}

void BatchReport::runRefused(RunRefusal refusal) {
    ++runReports_;
    switch (refusal) {
    case RunRefusal::NoFiles:
        line(ProgramName + QStringLiteral(": no file to convert"));
        break;
    case RunRefusal::NoRule:
        line(ProgramName + QStringLiteral(": no rule says where to save the results"));
        break;
    case RunRefusal::NoFolder:
        line(ProgramName + QStringLiteral(": the output folder does not exist"));
        break;
    }
}

void BatchReport::runReported(const FileFailure& failure) {
    ++runReports_;
    line(ProgramName + QStringLiteral(": ") + oneLine(failure.reason));
}

void BatchReport::fileStarted(const FileStarted& f) {
    close();
    started_ = f.index;
    FileSummary s;
    s.file = f.pstPath;
    s.output = f.outputFolder.isEmpty() ? outputFolder_(f.pstPath) : f.outputFolder;
    current_ = s;
    doneItems_ = totalItems_ = 0;
    fileStart_ = now_();
    if (streams_.terminal)
        drawBar(true);
    else
        line(QStringLiteral("[%1/%2] %3").arg(started_).arg(files_.count()).arg(s.file));
}

void BatchReport::itemsVisited(std::int64_t done, std::int64_t total) {
    doneItems_ = done;
    totalItems_ = total;
    drawBar(done >= total);
}

void BatchReport::itemWritten(const QString&) {
    if (current_)
        ++current_->written;
}

void BatchReport::reportLine(const QString& text, ReportLine report) {
    if (!current_)
        return;
    ++current_->reports;
    current_->lines.push_back(std::move(report));
    line(ProgramName + QStringLiteral(": ") + text);
    drawBar(true);
}

void BatchReport::itemSavedFromDamage(const ItemSaved& saved) {
    if (!current_)
        return;
    ++current_->written;
    ++current_->savedFromDamage;
    reportLine(
        savedFromDamageLine(current_->file, saved),
        {ItemKind::Mail, Cause::Damaged, saved.lost, saved.folder, saved.subject, true, true});
}

void BatchReport::itemReported(const ItemReport& report) {
    if (!current_)
        return;
    if (!report.written)
        ++current_->reported;
    if (report.inStoreReport)
        return; // the store's one report says it
    reportLine(itemReportLine(current_->file, report),
               {report.kind, report.cause, report.reason, report.folder, report.subject,
                report.written, false});
}

void BatchReport::itemSkipped(ItemKind kind) {
    if (current_)
        current_->notMail.add(kind);
}

void BatchReport::itemsRecovered(const QString& folder, std::int64_t count) {
    if (!current_)
        return;
    current_->recovered += count;
    current_->recoveredFolder = folder;
}

void BatchReport::storeReported(const StoreReport& report) {
    if (!current_)
        return;
    current_->notConverted += report.itemsNotConverted;
    reportLine(storeReportLine(current_->file, report),
               {std::nullopt, report.cause, report.reason, {}, {}, false, false});
}

void BatchReport::fileFailed(const FileFailure& failure) {
    if (!current_)
        return;
    current_->failure = failure.cause;
    reportLine(fileFailureLine(current_->file, failure),
               {std::nullopt, failure.cause, failure.reason, {}, {}, false, false});
}

void BatchReport::fileSkipped(RunRefusal) {
    if (!current_)
        return;
    reportLine(
        current_->file + QStringLiteral(": no rule says where to save its results"),
        {std::nullopt, Cause::Other, QStringLiteral("no output rule"), {}, {}, false, false});
}

void BatchReport::fileFinished(const FileFinished&) {
    close();
}

void BatchReport::close() {
    if (!current_)
        return;
    current_->seconds = now_() - fileStart_;
    line(summaryText(*current_));
    if (streams_.out) {
        std::fprintf(streams_.out, "%s\n", summaryJson(*current_).toUtf8().constData());
        std::fflush(streams_.out);
    }
    done_.push_back(*current_);
    current_.reset();
}

void BatchReport::finish() {
    close();
}

int BatchReport::exitStatus() const {
    bool anyConverted = false;
    bool anyReport = runReports_ > 0;
    for (const auto& s : done_) {
        anyConverted = anyConverted || s.opened();
        anyReport = anyReport || s.reports > 0 || s.reported > 0;
    }
    if (!anyConverted)
        return BadUsageOrNothingConverted;
    return anyReport ? SomeReported : AllWritten;
}

} // namespace talvenor::batch
