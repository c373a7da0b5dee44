#include "filelisting.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStorageInfo>

#include <algorithm>
#include <dirent.h>
#include <sys/stat.h>

namespace talvenor::files {

namespace {

QString dataHome() {
    const QByteArray env = qgetenv("XDG_DATA_HOME");
    if (!env.isEmpty())
        return QFile::decodeName(env);
    return QDir::homePath() + QStringLiteral("/.local/share");
}

QString withoutTrailingSlash(QString p) {
    while (p.size() > 1 && p.endsWith(QLatin1Char('/')))
        p.chop(1);
    return p;
}

} // namespace

bool isTrashFolder(const QString& path) {
    const QString p = withoutTrailingSlash(QDir::cleanPath(path));
    if (p == withoutTrailingSlash(QDir::cleanPath(dataHome() + QStringLiteral("/Trash"))))
        return true;
    const QString name = p.mid(p.lastIndexOf(QLatin1Char('/')) + 1);
    if (name != QStringLiteral(".Trash") && !name.startsWith(QStringLiteral(".Trash-")))
        return false;
    // Only at the root of a mounted file system.
    const QString parent = p.left(std::max<qsizetype>(p.lastIndexOf(QLatin1Char('/')), 1));
    return withoutTrailingSlash(QStorageInfo(parent).rootPath()) == withoutTrailingSlash(parent);
}

int attributes(const QString& path) {
    const QByteArray native = QFile::encodeName(withoutTrailingSlash(path));
    struct stat ls {};
    if (native.isEmpty() || ::lstat(native.constData(), &ls) != 0)
        return 0;
    int value = 0;
    struct stat st = ls;
    if (S_ISLNK(ls.st_mode)) {
        value |= Alias;
        if (::stat(native.constData(), &st) != 0)
            return value; // a dangling link is only an alias
    }
    if (S_ISDIR(st.st_mode))
        value |= Directory;
    else if (S_ISREG(st.st_mode))
        value |= Archive;
    const QString clean = withoutTrailingSlash(path);
    const QString name = clean.mid(clean.lastIndexOf(QLatin1Char('/')) + 1);
    if (name.startsWith(QLatin1Char('.')) && name != QStringLiteral(".") &&
        name != QStringLiteral(".."))
        value |= Hidden;
    if ((value & Directory) && isTrashFolder(clean))
        value |= Hidden | System;
    return value;
}

bool fileExists(const QString& path) {
    if (path.isEmpty() || path.endsWith(QLatin1Char('/')))
        return false;
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

bool matchesPattern(const QString& name, const QString& pattern) {
    if (pattern == QStringLiteral("*.*") || pattern == QStringLiteral("*"))
        return true;
    const QRegularExpression re(
        QRegularExpression::wildcardToRegularExpression(pattern,
                                                        QRegularExpression::UnanchoredWildcardConversion),
        QRegularExpression::CaseInsensitiveOption);
    const auto m = re.match(name);
    return m.hasMatch() && m.capturedStart() == 0 && m.capturedLength() == name.size();
}

QStringList listFiles(const QString& folder, const QString& pattern) {
    QString dir = folder;
    if (!dir.endsWith(QLatin1Char('/')))
        dir += QLatin1Char('/');
    QStringList names;
    DIR* d = ::opendir(QFile::encodeName(dir).constData());
    if (!d)
        return names;
    while (const dirent* e = ::readdir(d)) {
        const QByteArray raw(e->d_name);
        const QString name = QString::fromUtf8(raw);
        if (name.toUtf8() != raw)
            continue; // not valid UTF-8: cannot be named without loss
        if (name == QStringLiteral(".") || name == QStringLiteral(".."))
            continue;
        if (matchesPattern(name, pattern) && fileExists(dir + name))
            names.append(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace talvenor::files
