#include "pff.h"

#include <array>

namespace talvenor::nativestore {

QString PffError::text() const {
    if (!error_)
        return {};
    std::array<char, 1024> buffer{};
    if (libpff_error_sprint(error_, buffer.data(), buffer.size()) <= 0)
        return {};
    return QString::fromLocal8Bit(buffer.data()).trimmed();
}

} // namespace talvenor::nativestore
