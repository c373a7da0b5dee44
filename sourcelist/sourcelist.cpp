#include "sourcelist.h"

namespace talvenor {

bool ListHasItem(const ISourceList& list, const QString& text) {
    bool found = false;
    const int n = list.count();
    for (int i = 1; i <= n; ++i) // every entry is compared, also after a match
        found = (list.text(i) == text) || found;
    return found;
}

} // namespace talvenor
