#include "windowoutcomes.h"

#include "constants.h"
#include "conversionrun.h"
#include "errorreport.h"
#include "outcometext.h"
#include "paths.h"

namespace talvenor {

QString inUseMessageText() {
    return QStringLiteral("Error #0731: Please make sure that Your PST files are not used by "
                          "another application.\r\n\r\nPlease email ") +
           SupportEmail +
           QStringLiteral(" with a screenshot of this message if you have any questions.");
}

QString doneText(const FileCounts& t) {
    const std::int64_t skipped = t.skipped.total();
    if (t.savedFromDamage == 0 && t.reported == 0 && skipped == 0 && t.notConverted == 0 &&
        t.recovered == 0)
        return runtext::Done;
    QString text = runtext::Done + QStringLiteral("\r\n\r\n");
    text += QStringLiteral("Messages written: %1\r\n").arg(groupedNumber(t.written));
    text += QStringLiteral("Saved from damaged data: %1\r\n").arg(groupedNumber(t.savedFromDamage));
    text += QStringLiteral("Reported: %1\r\n").arg(groupedNumber(t.reported + t.notConverted));
    text += QStringLiteral("Skipped (not mail): %1").arg(groupedNumber(skipped));
    if (t.recovered > 0)
        text += QStringLiteral("\r\nFound in no folder (\"Recovered items\"): %1")
                    .arg(groupedNumber(t.recovered));
    return text;
}

QString savedFromDamageText(const QString& pstPath, std::int64_t saved,
                            const std::optional<QString>& reportFile) {
    QString text =
        QString(saved == 1 ? QStringLiteral("%1 message of \"%2\" was saved from damaged data: "
                                            "it may lack some of its content.")
                           : QStringLiteral("%1 messages of \"%2\" were saved from damaged data: "
                                            "they may lack some of their content."))
            .arg(groupedNumber(saved), paths::getFileName(pstPath));
    text += reportFile ? QStringLiteral("\r\n\r\nThe full list is in \"%1\".").arg(*reportFile)
                       : QStringLiteral("\r\n\r\nThe list of them could not be written.");
    return text;
}

void WindowOutcomes::say(const QString& text) {
    messages_.show({text, applicationTitle(), MessageButtons::Ok, MessageIcon::None});
}

void WindowOutcomes::errorReport(const QString& reason, const WindowStep& where) {
    messages_.show(errorReportMessage(reason, windowLocation(where.procedure), where.step));
}

void WindowOutcomes::runRefused(RunRefusal refusal) {
    switch (refusal) {
    case RunRefusal::NoFiles:
        say(runtext::NoFiles);
        break;
    case RunRefusal::NoRule:
        say(runtext::NoRule);
        break;
    case RunRefusal::NoFolder:
        say(runtext::NoFolder);
        break;
    }
}

void WindowOutcomes::runReported(const FileFailure& failure) {
    errorReport(failure.reason, failure.where);
}

void WindowOutcomes::fileStarted(const FileStarted& f) {
    report_.fileStarted(f);
}

void WindowOutcomes::itemSavedFromDamage(const ItemSaved& saved) {
    // Written, so no failure of the walk: listed in the file's report, not a box each.
    report_.itemSavedFromDamage(saved);
}

void WindowOutcomes::itemReported(const ItemReport& report) {
    report_.itemReported(report);
    if (!report.inStoreReport)
        errorReport(report.reason, report.where);
}

void WindowOutcomes::storeReported(const StoreReport& report) {
    report_.storeReported(report);
    errorReport(report.reason, report.where);
}

void WindowOutcomes::fileFailed(const FileFailure& failure) {
    report_.fileFailed(failure);
    // Only the lock test says that another program holds the store.
    if (failure.cause == Cause::InUse)
        say(inUseMessageText());
    else
        errorReport(failure.reason, failure.where);
}

void WindowOutcomes::fileFinished(const FileFinished& f) {
    std::optional<QString> written;
    if (writeReports_)
        written = report_.write();
    if (f.counts.savedFromDamage > 0)
        say(savedFromDamageText(f.pstPath, f.counts.savedFromDamage, written));
}

void WindowOutcomes::runFinished(const FileCounts& totals) {
    say(doneText(totals));
}

} // namespace talvenor
