#pragma once

#include <QString>

namespace talvenor {

// Told the fate of every mail item a walk meets: written to a file, or reported. The window
// needs no count; a batch converter sums these into its summary.
class IItemObserver {
public:
    virtual ~IItemObserver() = default;
    virtual void written(const QString& path) = 0;
    virtual void reported() = 0;
};

} // namespace talvenor
