#include "displaytext.h"

#include <gtest/gtest.h>

using namespace talvenor;

TEST(DisplayText, ControlCharactersShowAsEscapesAndNothingElseChanges) {
    struct Case {
        const char* name;
        QString text;
        QString shown;
    };
    const Case cases[] = {
        {"plain", "Plumber visit on Thursday", "Plumber visit on Thursday"},
        {"empty", "", ""},
        {"title escape with bell", "A \x1b]0;owned\x07 B", "A \\x1b]0;owned\\x07 B"},
        {"erase screen", "\x1b[2J", "\\x1b[2J"},
        {"line breaks and tab", "a\r\nb\tc", "a\\x0d\\x0ab\\x09c"},
        {"NUL", QString(QChar(0)) + "x", "\\x00x"},
        {"DEL", "a\x7f", "a\\x7f"},
        {"C1 control sequence introducer", QString(QChar(0x9B)) + "31m", "\\x9b31m"},
        {"the C1 range's ends", QString(QChar(0x80)) + QChar(0x9F), "\\x80\\x9f"},
        {"first printable after C1", QString(QChar(0xA0)) + QChar(0xE9),
         QString(QChar(0xA0)) + QChar(0xE9)},
        {"a backslash is doubled", "C:\\temp", "C:\\\\temp"},
        {"an escape written out is not an escape", "\\x1b", "\\\\x1b"},
        {"format characters are shown as they are", "invoice\u202Egpj.exe", "invoice\u202Egpj.exe"},
        {"other scripts", "会議の議事録", "会議の議事録"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(displayText(c.text), c.shown);
        for (const QChar ch : displayText(c.text))
            EXPECT_FALSE(isControlCharacter(ch.unicode()));
    }
}
