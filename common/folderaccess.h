#pragma once

#include <QString>

namespace talvenor {

// Whether new files can be created in a folder.
class IFolderAccess {
public:
    virtual ~IFolderAccess() = default;
    virtual bool canWrite(const QString& folder) const = 0;
};

} // namespace talvenor
