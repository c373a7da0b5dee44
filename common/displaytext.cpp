#include "displaytext.h"

namespace talvenor {

QString displayText(const QString& text) {
    static constexpr char16_t hex[] = u"0123456789abcdef";
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'\\') {
            out += QStringLiteral("\\\\");
        } else if (isControlCharacter(u)) {
            out += QStringLiteral("\\x");
            out += QChar(hex[u >> 4]);
            out += QChar(hex[u & 0xF]);
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace talvenor
