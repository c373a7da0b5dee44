#pragma once

#include "itemkind.h"

#include <QString>

namespace talvenor {

// Told the fate of every item a walk meets: a mail item is written to a file or reported, any
// other item is skipped as not mail. The window needs no count; a batch converter sums these
// into its summary.
class IItemObserver {
public:
    virtual ~IItemObserver() = default;
    virtual void written(const QString& path) = 0;
    virtual void reported() = 0;
    virtual void skipped(ItemKind kind) = 0;
};

} // namespace talvenor
