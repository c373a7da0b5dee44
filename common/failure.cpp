#include "failure.h"

namespace talvenor {

const char* causeToken(Cause cause) {
    switch (cause) {
    case Cause::Other:
        return "other";
    case Cause::InUse:
        return "in-use";
    case Cause::ReaderNotStarted:
        return "reader-not-started";
    case Cause::ReaderFailed:
        return "reader-failed";
    case Cause::NotFound:
        return "not-found";
    case Cause::PermissionDenied:
        return "permission-denied";
    case Cause::ReadOnly:
        return "read-only";
    case Cause::DiskFull:
        return "disk-full";
    case Cause::BadFileName:
        return "bad-file-name";
    case Cause::FileExists:
        return "file-exists";
    case Cause::NotAStore:
        return "not-a-store";
    case Cause::Damaged:
        return "damaged";
    case Cause::CutShort:
        return "cut-short";
    case Cause::TooLarge:
        return "too-large";
    case Cause::NotSupported:
        return "not-supported";
    case Cause::OutOfMemory:
        return "out-of-memory";
    }
    return "other";
}

} // namespace talvenor
