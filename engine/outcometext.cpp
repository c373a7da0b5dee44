#include "outcometext.h"

#include "displaytext.h"
#include "paths.h"

#include <QRegularExpression>
#include <QStringList>

namespace talvenor {

QString oneLine(const QString& text) {
    static const QRegularExpression breaks(QStringLiteral("[\\r\\n]+"));
    QStringList parts = text.split(breaks, Qt::SkipEmptyParts);
    for (QString& p : parts)
        p = p.trimmed();
    parts.removeAll(QString());
    return parts.join(QStringLiteral(" | "));
}

QString groupedNumber(std::int64_t n) {
    QString digits = QString::number(n < 0 ? -n : n);
    for (qsizetype at = digits.size() - 3; at > 0; at -= 3)
        digits.insert(at, QLatin1Char(','));
    return n < 0 ? QLatin1Char('-') + digits : digits;
}

namespace {

QString kindNoun(ItemKind kind) {
    switch (kind) {
    case ItemKind::Appointment:
        return QStringLiteral("appointment");
    case ItemKind::Contact:
        return QStringLiteral("contact");
    case ItemKind::DistributionList:
        return QStringLiteral("distribution list");
    case ItemKind::Task:
        return QStringLiteral("task");
    case ItemKind::Note:
        return QStringLiteral("note");
    case ItemKind::Post:
        return QStringLiteral("post");
    case ItemKind::Report:
        return QStringLiteral("report");
    case ItemKind::MeetingItem:
        return QStringLiteral("meeting item");
    case ItemKind::Mail:
    case ItemKind::Other:
        break;
    }
    return QStringLiteral("item");
}

// "folder \"Inbox/Receipts\", item \"Hello\"", "a contact without a subject". The subject and
// the folder come from the store as they are: shown cleaned, so that no line break in them
// splits the line and no escape sequence reaches a terminal.
QString itemName(const QString& folder, const QString& subject, ItemKind kind) {
    const QString noun = kindNoun(kind);
    QString name;
    if (subject.isEmpty()) {
        const bool vowel = QStringLiteral("aeiou").contains(noun.front());
        name = QStringLiteral("%1 %2 without a subject")
                   .arg(vowel ? QStringLiteral("an") : QStringLiteral("a"), noun);
    } else {
        name = QStringLiteral("%1 \"%2\"").arg(noun, displayText(subject));
    }
    if (!folder.isEmpty())
        name = QStringLiteral("folder \"%1\", %2").arg(displayText(folder), name);
    return name;
}

} // namespace

QString savedFromDamageLine(const QString& pstPath, const ItemSaved& saved) {
    return QStringLiteral("%1: %2: saved from damaged data as \"%3\": %4")
        .arg(pstPath, itemName(saved.folder, saved.subject, ItemKind::Mail),
             paths::getFileName(saved.path), oneLine(saved.lost));
}

QString itemReportLine(const QString& pstPath, const ItemReport& report) {
    return QStringLiteral("%1: %2: %3: %4")
        .arg(pstPath, itemName(report.folder, report.subject, report.kind),
             report.written ? QStringLiteral("written, but") : QStringLiteral("not written"),
             oneLine(report.reason));
}

QString storeReportLine(const QString& pstPath, const StoreReport& report) {
    return pstPath + QStringLiteral(": ") + oneLine(report.reason);
}

QString fileFailureLine(const QString& pstPath, const FileFailure& failure) {
    return pstPath + QStringLiteral(": ") + oneLine(failure.reason);
}

QString conversionReportName(const QString& pstPath) {
    return paths::removeExtension(paths::getFileName(pstPath)) +
           QStringLiteral(" - conversion report.txt");
}

} // namespace talvenor
