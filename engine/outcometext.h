// The one wording of an outcome as a line of text: the command line prints these lines on
// standard error and the window writes the same lines into a file's conversion report.
#pragma once

#include "outcomes.h"

#include <QString>

#include <cstdint>

namespace talvenor {

// A text of several lines (CR LF and bare CR inside) as one line, parts joined by " | ".
QString oneLine(const QString& text);

// 12345 -> "12,345"
QString groupedNumber(std::int64_t n);

// Each line begins with the PST file it speaks of.
QString savedFromDamageLine(const QString& pstPath, const ItemSaved& saved);
QString itemReportLine(const QString& pstPath, const ItemReport& report);
QString storeReportLine(const QString& pstPath, const StoreReport& report);
QString fileFailureLine(const QString& pstPath, const FileFailure& failure);

// "archive - conversion report.txt" for ".../archive.pst": the list of what was not simply
// written, in the output folder of that PST file.
QString conversionReportName(const QString& pstPath);

} // namespace talvenor
