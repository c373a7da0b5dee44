#include "layout.h"

namespace talvenor {

std::optional<QRect> placementOf(const QString& name) {
    for (const ControlPlacement& p : WindowLayout) {
        if (name == QLatin1StringView(p.name))
            return QRect(twipsToPixels(p.left), twipsToPixels(p.top), twipsToPixels(p.width),
                         twipsToPixels(p.height));
    }
    return std::nullopt;
}

} // namespace talvenor
