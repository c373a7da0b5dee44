// Text from a store (subjects, folder names, sender names) as it may stand in a line that a
// person reads: on a terminal, in a report file, in a message box.
#pragma once

#include <QString>

namespace talvenor {

// C0 (U+0000-U+001F), DEL (U+007F) and C1 (U+0080-U+009F): the characters a terminal may take
// as commands (escape sequences that set its title or erase lines), and that no one can see.
constexpr bool isControlCharacter(char16_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// The text with every control character written as a visible escape of its code point,
// "\x" and two lower-case hex digits ("\x1b" for ESC, "\x07" for BEL, "\x9b" for U+009B), and
// every backslash doubled, so that an escape always means a control character and a subject
// that holds the four characters "\x1b" shows as "\\x1b". Everything else stays as it is.
// Applied once, where store text is put into a line; a line is never cleaned again.
QString displayText(const QString& text);

} // namespace talvenor
