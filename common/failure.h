#pragma once

#include <QString>

#include <cstdint>
#include <exception>

namespace talvenor {

// A numbered failure with a description, as the platform or the mail store reports it.
// Every operation that can meet an outside failure throws one; protected procedures turn
// it into the uniform error report.
class Failure : public std::exception {
public:
    Failure(std::int32_t number, QString description)
        : number_(number), description_(std::move(description)),
          what_(description_.toUtf8()) {}

    std::int32_t number() const { return number_; }
    const QString& description() const { return description_; }
    const char* what() const noexcept override { return what_.constData(); }

private:
    std::int32_t number_;
    QString description_;
    QByteArray what_;
};

// Failure numbers the program recognises.
namespace failures {
// The mail store is held by another program ("unspecified failure" of the automation server).
constexpr std::int32_t InUse = -2147467259;
// The target file of a save exists already.
constexpr std::int32_t FileExists = -2147286960;
// File system: permission denied, path not found, invalid argument.
constexpr std::int32_t PermissionDenied = 70;
constexpr std::int32_t PathNotFound = 76;
constexpr std::int32_t InvalidArgument = 5;
constexpr std::int32_t OutOfMemory = 7;
constexpr std::int32_t Internal = 51;
// File system: a name the file system refuses, a full disk, any other refused access.
constexpr std::int32_t BadFileName = 52;
constexpr std::int32_t DiskFull = 61;
constexpr std::int32_t FileAccess = 75;
// The file-open dialog could not hand back the whole selection.
constexpr std::int32_t SelectionTooLarge = 20476;
} // namespace failures

} // namespace talvenor
