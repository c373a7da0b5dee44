#include "reportfile.h"

#include "outcometext.h"
#include "paths.h"

#include <QSaveFile>

namespace talvenor {

void ConversionReportFile::fileStarted(const FileStarted& f) {
    pstPath_ = f.pstPath;
    outputFolder_ = f.outputFolder;
    lines_.clear();
}

void ConversionReportFile::itemSavedFromDamage(const ItemSaved& saved) {
    lines_ << savedFromDamageLine(pstPath_, saved);
}

void ConversionReportFile::itemReported(const ItemReport& report) {
    if (!report.inStoreReport)
        lines_ << itemReportLine(pstPath_, report);
}

void ConversionReportFile::storeReported(const StoreReport& report) {
    lines_ << storeReportLine(pstPath_, report);
}

void ConversionReportFile::fileFailed(const FileFailure& failure) {
    lines_ << fileFailureLine(pstPath_, failure);
}

QString ConversionReportFile::path() const {
    return paths::fixSlashes(outputFolder_ + paths::separator() + conversionReportName(pstPath_));
}

std::optional<QString> ConversionReportFile::write() const {
    if (lines_.isEmpty() || outputFolder_.isEmpty())
        return std::nullopt;
    // Written whole or not at all, so that a half-written list never passes for the full one.
    QSaveFile file(path());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return std::nullopt;
    for (const QString& line : lines_)
        file.write(line.toUtf8() + '\n');
    if (!file.commit())
        return std::nullopt;
    return path();
}

} // namespace talvenor
