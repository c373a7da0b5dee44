#include "paths.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace talvenor::paths;

namespace {

struct Row {
    const char* function;
    QString input;
    QString expected;
};

QString apply(const QString& function, const QString& input, Flavour f) {
    if (function == "GetFileName")
        return getFileName(input, f);
    if (function == "GetFolderPath")
        return getFolderPath(input, f);
    if (function == "RemoveExtension")
        return removeExtension(input);
    return fixSlashes(input, f);
}

TEST(PathHelpers, WindowsFlavourMatchesTheTable) {
    const Row rows[] = {
        {"GetFileName", R"(C:\Mail\archive.pst)", "archive.pst"},
        {"GetFileName", "archive.pst", "archive.pst"},
        {"GetFileName", R"(C:\Mail\)", ""},
        {"GetFolderPath", R"(C:\Mail\archive.pst)", R"(C:\Mail\)"},
        {"GetFolderPath", "archive.pst", ""},
        {"GetFolderPath", R"(\\server\share\a.pst)", R"(\\server\share\)"},
        {"RemoveExtension", "archive.pst", "archive"},
        {"RemoveExtension", "archive.2020.pst", "archive.2020"},
        {"RemoveExtension", "archive", "archive"},
        {"RemoveExtension", ".pst", ".pst"},
        {"RemoveExtension", "", ""},
        {"FixSlashes", R"(C:\Out\\archive.msg)", R"(C:\Out\archive.msg)"},
        {"FixSlashes", R"(\\server\share\\a.msg)", R"(\\server\share\a.msg)"},
        {"FixSlashes", R"(\\\server\x)", R"(\\server\x)"},
        {"FixSlashes", R"(\x)", R"(\\x)"},
        {"FixSlashes", R"(C:\a\\\b)", R"(C:\a\\b)"},
        {"FixSlashes", R"(C:\a\\\\b)", R"(C:\a\\b)"},
        {"FixSlashes", "", ""},
        {"FixSlashes", R"(\\\\)", R"(\\)"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(apply(r.function, r.input, Flavour::Windows), r.expected)
            << r.function << " of " << r.input.toStdString();
}

TEST(PathHelpers, PosixFlavourUsesSlashAndOneLeadingSlash) {
    const Row rows[] = {
        {"GetFileName", "/home/ann/archive.pst", "archive.pst"},
        {"GetFileName", "/home/ann/", ""},
        {"GetFolderPath", "/home/ann/archive.pst", "/home/ann/"},
        {"GetFolderPath", R"(C:\Mail\a.pst)", ""}, // a backslash is an ordinary character
        {"FixSlashes", "/out//archive.msg", "/out/archive.msg"},
        {"FixSlashes", "//out/a.msg", "/out/a.msg"},
        {"FixSlashes", "///out///a", "/out//a"},
        {"FixSlashes", "out//a", "out/a"},
        {"FixSlashes", "/", "/"},
        {"FixSlashes", "", ""},
    };
    for (const auto& r : rows)
        EXPECT_EQ(apply(r.function, r.input, Flavour::Posix), r.expected)
            << r.function << " of " << r.input.toStdString();
}

TEST(PathHelpers, UnicodeNamesAreKept) {
    EXPECT_EQ(getFileName(QStringLiteral("/ме́йл/Архив 2020.pst")), QStringLiteral("Архив 2020.pst"));
    EXPECT_EQ(removeExtension(QStringLiteral("邮件.pst")), QStringLiteral("邮件"));
}

TEST(PathHelpers, IsFolderOnTheRealFileSystem) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile file(dir.filePath("a.pst"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    ASSERT_TRUE(QFile::link(dir.filePath("missing"), dir.filePath("dangling")));

    EXPECT_TRUE(isFolder(dir.path()));
    EXPECT_TRUE(isFolder(dir.path() + "/"));
    EXPECT_FALSE(isFolder(dir.filePath("a.pst")));
    EXPECT_FALSE(isFolder(dir.filePath("nothing")));
    EXPECT_FALSE(isFolder(dir.filePath("dangling")));
    EXPECT_FALSE(isFolder(QString()));
}

} // namespace
