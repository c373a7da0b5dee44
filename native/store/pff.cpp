#include "pff.h"

#include <array>

namespace talvenor::nativestore {

QString PffError::text() const {
    if (!error_)
        return {};
    // The backtrace starts with the innermost cause, the most telling line.
    std::array<char, 4096> buffer{};
    if (libpff_error_backtrace_sprint(error_, buffer.data(), buffer.size()) <= 0)
        return {};
    const QString all = QString::fromLocal8Bit(buffer.data());
    return all.section(QLatin1Char('\n'), 0, 0, QString::SectionSkipEmpty).trimmed();
}

} // namespace talvenor::nativestore
