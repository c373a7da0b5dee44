#pragma once

#include <QString>

namespace talvenor::paths {

// Windows: backslash separator, a leading run of backslashes is a network prefix "\\".
// Posix: "/" separator, a leading run of "/" becomes exactly one "/".
enum class Flavour { Windows, Posix };
constexpr Flavour Native = Flavour::Posix;

QChar separator(Flavour f = Native);

// The text after the last separator; the whole text when there is none.
QString getFileName(const QString& path, Flavour f = Native);
// The text up to and including the last separator; empty when there is none.
QString getFolderPath(const QString& path, Flavour f = Native);
// The name without its last dot and what follows, unless that dot is the first character.
QString removeExtension(const QString& name);
// Doubled separators reduced in one left-to-right pass; the leading run kept as the prefix.
QString fixSlashes(const QString& path, Flavour f = Native);
// True when the path names an existing directory; never fails.
bool isFolder(const QString& path);
// The folder the running program was started from: what ships beside it (samples, cursors,
// icons, the reading helper) is found there, in the build tree as when installed.
QString programFolder();

} // namespace talvenor::paths
