#include "constants.h"

namespace talvenor {

QString applicationTitleFor(const QString& productName) {
    QString title = productName;
    do {
        const qsizetype space = title.lastIndexOf(QLatin1Char(' '));
        if (space < 0)
            break; // a single word cannot be cut further
        title.truncate(space);
    } while (title.size() > 40);
    return title;
}

} // namespace talvenor
