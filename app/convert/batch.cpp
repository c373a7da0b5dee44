#include "batch.h"

#include "failure.h"
#include "paths.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

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

QString oneLine(const QString& text) {
    static const QRegularExpression breaks(QStringLiteral("[\\r\\n]+"));
    QStringList parts = text.split(breaks, Qt::SkipEmptyParts);
    for (QString& p : parts)
        p = p.trimmed();
    parts.removeAll(QString());
    return parts.join(QStringLiteral(" | "));
}

QString FileList::text(int position) const {
    if (position < 1 || position > files_.size())
        throw Failure(9, QStringLiteral("Subscript out of range"));
    return files_[position - 1];
}

void CoreEventLoop::yield() {
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

QString summaryText(const FileSummary& s) {
    const QString time = QString::number(s.seconds, 'f', 1) + QStringLiteral(" s");
    if (!s.converted())
        return QStringLiteral("%1: not converted, %2").arg(s.file, time);
    QString text =
        QString(s.written == 1 ? QStringLiteral("%1: %2 message written, %3 reported, %4")
                               : QStringLiteral("%1: %2 messages written, %3 reported, %4"))
            .arg(s.file)
            .arg(s.written)
            .arg(s.reported)
            .arg(time);
    if (s.reports > s.reported)
        text += QStringLiteral(" (%1 reports)").arg(s.reports);
    // Nothing written must never read like mail that was lost: say what the store held.
    if (s.written == 0 && s.reported == 0)
        text += QStringLiteral("; the store holds no mail");
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
    const QJsonObject o{{QStringLiteral("file"), s.file},
                        {QStringLiteral("output"), s.output},
                        {QStringLiteral("converted"), s.converted()},
                        {QStringLiteral("written"), s.written},
                        {QStringLiteral("reported"), s.reported},
                        {QStringLiteral("reports"), s.reports},
                        {QStringLiteral("notMail"), qint64(s.notMail.total())},
                        {QStringLiteral("notMailByKind"), kinds},
                        {QStringLiteral("seconds"), s.seconds}};
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
    const int filled = total > 0 ? (started_ - 1) * Width / total : 0;
    const QString bar =
        QString(filled, QLatin1Char('#')) + QString(Width - filled, QLatin1Char('.'));
    const QString text = QStringLiteral("\r\033[K[%1] %2/%3 %4: %5 written, %6 reported")
                             .arg(bar)
                             .arg(started_)
                             .arg(total)
                             .arg(paths::getFileName(current_->file))
                             .arg(current_->written)
                             .arg(current_->reported);
    std::fputs(text.toLocal8Bit().constData(), streams_.err);
    std::fflush(streams_.err);
    barShown_ = true;
}

void BatchReport::setText(const QString& text) {
    if (!text.startsWith(runtext::Processing))
        return; // the text at rest: the run has ended
    close();
    ++started_;
    FileSummary s;
    s.file =
        started_ <= files_.count() ? files_.text(started_) : text.mid(runtext::Processing.size());
    s.output = outputFolder_(s.file);
    current_ = s;
    fileStart_ = now_();
    if (streams_.terminal)
        drawBar(true);
    else
        line(QStringLiteral("[%1/%2] %3").arg(started_).arg(files_.count()).arg(s.file));
}

void BatchReport::written(const QString&) {
    if (!current_)
        return;
    ++current_->written;
    drawBar(false);
}

void BatchReport::reported() {
    if (!current_)
        return;
    ++current_->reported;
    drawBar(false);
}

void BatchReport::skipped(ItemKind kind) {
    if (current_)
        current_->notMail.add(kind);
}

MessageAnswer BatchReport::show(const Message& message) {
    // The summaries say it better than the window's closing "Done.".
    if (message.text == runtext::Done)
        return MessageAnswer::Ok;
    if (current_) {
        ++current_->reports;
        line(ProgramName + QStringLiteral(": ") + current_->file + QStringLiteral(": ") +
             oneLine(message.text));
        drawBar(true);
    } else {
        ++runReports_;
        line(ProgramName + QStringLiteral(": ") + oneLine(message.text));
    }
    // Nobody is there to answer a question: the cautious answer.
    return message.buttons == MessageButtons::YesNo ? MessageAnswer::No : MessageAnswer::Ok;
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
        anyConverted = anyConverted || s.converted();
        anyReport = anyReport || s.reports > 0 || s.reported > 0;
    }
    if (!anyConverted)
        return BadUsageOrNothingConverted;
    return anyReport ? SomeReported : AllWritten;
}

} // namespace talvenor::batch
