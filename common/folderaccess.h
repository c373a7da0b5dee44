#pragma once

#include "failure.h"

#include <QString>

#include <optional>

namespace talvenor {

// Whether new files can be created in a folder, and if not, why: a read-only mount and a
// refused permission need different things of the user.
class IFolderAccess {
public:
    virtual ~IFolderAccess() = default;
    // Nothing when files can be created there.
    virtual std::optional<Cause> refusal(const QString& folder) const = 0;
    bool canWrite(const QString& folder) const { return !refusal(folder); }
};

} // namespace talvenor
