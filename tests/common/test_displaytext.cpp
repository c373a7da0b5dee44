#include "displaytext.h"

#include <gtest/gtest.h>

using namespace talvenor;

TEST(DisplayText, ControlCharactersShowAsEscapesAndNothingElseChanges) {
    const std::pair<QString, QString> cases[] = {
        {"Plumber visit 会議 é", "Plumber visit 会議 é"},
        {"A \x1b]0;owned\x07 \x1b[2J", "A \\x1b]0;owned\\x07 \\x1b[2J"},
        {"a\r\nb\tc", "a\\x0d\\x0ab\\x09c"},
        {QChar(0) + QString("x") + QChar(0x7F), "\\x00x\\x7f"},
        {QString(QChar(0x80)) + QChar(0x9B) + QChar(0x9F) + QChar(0xA0), "\\x80\\x9b\\x9f\u00a0"},
        {"C:\\temp \\x1b", "C:\\\\temp \\\\x1b"}, // a subject's own backslash is doubled
        {"invoice\u202Egpj.exe", "invoice\u202Egpj.exe"},
    };
    for (const auto& [text, shown] : cases)
        EXPECT_EQ(displayText(text), shown) << text.toStdString();
}
