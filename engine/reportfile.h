#pragma once

#include "outcomes.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace talvenor {

// Keeps the lines of one PST file's conversion report (what was saved from damaged data and
// what was reported) and writes them beside its results, "<pst name> - conversion report.txt".
class ConversionReportFile : public IRunObserver {
public:
    void fileStarted(const FileStarted& f) override;
    void itemSavedFromDamage(const ItemSaved& saved) override;
    void itemReported(const ItemReport& report) override;
    void storeReported(const StoreReport& report) override;
    void fileFailed(const FileFailure& failure) override;

    const QStringList& lines() const { return lines_; }
    // Writes the lines, replacing an earlier report of the same file; the path written, or
    // nothing when there was nothing to write or the file could not be written.
    std::optional<QString> write() const;
    QString path() const;

private:
    QString pstPath_;
    QString outputFolder_;
    QStringList lines_;
};

} // namespace talvenor
