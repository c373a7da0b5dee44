// The window's rendering of a run's outcomes: its message boxes, worded as the window has
// always worded them, one report per PST file for what was saved from damaged data, and the
// closing "Done." with the run's counts.
#pragma once

#include "outcomes.h"
#include "reportfile.h"
#include "ui.h"

#include <QString>

namespace talvenor {

// The message shown when a PST file is held by another program.
QString inUseMessageText();

// "Done.", followed by the counts when anything was not simply written.
QString doneText(const FileCounts& totals);

// The per-file report on messages saved from damaged data.
QString savedFromDamageText(const QString& pstPath, std::int64_t saved,
                            const std::optional<QString>& reportFile);

class WindowOutcomes : public IRunObserver {
public:
    // writeReports: whether each file's conversion report is written beside its results.
    explicit WindowOutcomes(IMessageBox& messages, bool writeReports = true)
        : messages_(messages), writeReports_(writeReports) {}

    void runRefused(RunRefusal refusal) override;
    void runReported(const FileFailure& failure) override;
    void fileStarted(const FileStarted& f) override;
    void itemSavedFromDamage(const ItemSaved& saved) override;
    void itemReported(const ItemReport& report) override;
    void storeReported(const StoreReport& report) override;
    void fileFailed(const FileFailure& failure) override;
    void fileSkipped(RunRefusal refusal) override { runRefused(refusal); }
    void fileFinished(const FileFinished& f) override;
    void runFinished(const FileCounts& totals) override;

private:
    void say(const QString& text);
    void errorReport(const QString& reason, const WindowStep& where);

    IMessageBox& messages_;
    bool writeReports_;
    ConversionReportFile report_;
};

} // namespace talvenor
