#pragma once

#include "folderaccess.h"

namespace talvenor {

// Asks the operating system, which also knows about read-only mounts.
class SystemFolderAccess : public IFolderAccess {
public:
    std::optional<Cause> refusal(const QString& folder) const override;
};

} // namespace talvenor
