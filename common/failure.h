#pragma once

#include <QString>

#include <cstdint>
#include <exception>

namespace talvenor {

// What went wrong, as a value: code decides by the cause and each front end words it in its
// own way. The number stays for the window's uniform error report, which shows it; two causes
// may share a number there, never a cause.
enum class Cause : std::uint8_t {
    Other,            // nothing more is known; the description says what happened
    InUse,            // another program holds the store (its lock says so)
    ReaderNotStarted, // the reading helper could not be started at all
    ReaderFailed,     // the reading helper failed in a way that says nothing about the file
    NotFound,         // a file or folder is not there
    PermissionDenied, // the file system refuses access
    ReadOnly,         // the file system is mounted read-only
    DiskFull,         // no room left, or over the quota
    BadFileName,      // the file system refuses a name
    FileExists,       // the target of a save exists already
    NotAStore,        // the file is no PST or OST file
    Damaged,          // the store, or one of its items, is damaged
    CutShort,         // the store ends before its own header says it does
    TooLarge,         // an item larger than can be handed over
    NotSupported,     // a form of store or item this program cannot read
    OutOfMemory,
};
constexpr int CauseCount = int(Cause::OutOfMemory) + 1;

// A short fixed token per cause ("in-use", "cut-short"), for machine-readable output; never
// shown as prose.
const char* causeToken(Cause cause);

// A failure with its cause, its number and a description, as the platform or the mail store
// reports it. Every operation that can meet an outside failure throws one; protected
// procedures turn it into the uniform error report.
class Failure : public std::exception {
public:
    Failure(std::int32_t number, QString description)
        : Failure(Cause::Other, number, std::move(description)) {}
    Failure(Cause cause, std::int32_t number, QString description)
        : cause_(cause), number_(number), description_(std::move(description)),
          what_(description_.toUtf8()) {}

    Cause cause() const { return cause_; }
    std::int32_t number() const { return number_; }
    const QString& description() const { return description_; }
    const char* what() const noexcept override { return what_.constData(); }

private:
    Cause cause_;
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
