#include "filelisting.h"

#include "failure.h"
#include "systemerror.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QStorageInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>

namespace talvenor::files {

namespace {

QString dataHome() {
    const QByteArray env = qgetenv("XDG_DATA_HOME");
    if (!env.isEmpty())
        return QFile::decodeName(env);
    return QDir::homePath() + QStringLiteral("/.local/share");
}

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

QString withoutTrailingSlash(QString p) {
    while (p.size() > 1 && p.endsWith(QLatin1Char('/')))
        p.chop(1);
    return p;
}

} // namespace

bool isTrashFolder(const QString& path) {
    // Only "Trash", ".Trash" and ".Trash-<uid>" can be trash folders; the scan asks this of
    // every folder it meets, so the cheap name test comes first.
    const QString tail = withoutTrailingSlash(path);
    const QStringView last = QStringView(tail).mid(tail.lastIndexOf(QLatin1Char('/')) + 1);
    if (last != QLatin1String("Trash") && last != QLatin1String(".Trash") &&
        !last.startsWith(QLatin1String(".Trash-")))
        return false;
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

namespace {

// Windows wildcard matching of one name: "*" any run, "?" one character, case ignored.
bool globMatch(QStringView name, QStringView pattern) {
    qsizetype n = 0, p = 0, starP = -1, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == QLatin1Char('*')) {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == QLatin1Char('?') ||
                                          pattern[p].toCaseFolded() == name[n].toCaseFolded())) {
            ++p;
            ++n;
        } else if (starP >= 0) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == QLatin1Char('*'))
        ++p;
    return p == pattern.size();
}

} // namespace

int existingFileAttributes(const QString& path) {
    if (path.isEmpty() || path.endsWith(QLatin1Char('/')))
        return -1;
    const QByteArray native = QFile::encodeName(path);
    struct stat ls {};
    if (::lstat(native.constData(), &ls) != 0)
        return -1;
    if (S_ISLNK(ls.st_mode)) {
        struct stat st {};
        if (::stat(native.constData(), &st) != 0 || !S_ISREG(st.st_mode))
            return -1;
        return attributes(path);
    }
    if (!S_ISREG(ls.st_mode))
        return -1;
    const QStringView name = QStringView(path).mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    return Archive | (name.startsWith(QLatin1Char('.')) ? Hidden : 0);
}

bool matchesPattern(const QString& name, const QString& pattern) {
    if (pattern == QStringLiteral("*.*") || pattern == QStringLiteral("*"))
        return true;
    if (globMatch(name, pattern))
        return true;
    // A trailing ".*" also takes names without any extension, as "*.*" takes every name.
    return pattern.endsWith(QStringLiteral(".*")) &&
           globMatch(name, QStringView(pattern).chopped(2));
}

Failure fileSystemFailure(int error) {
    const SystemError e = systemError(error);
    switch (e.number) {
    case failures::PermissionDenied:
        return Failure(e.cause, e.number, QStringLiteral("Permission denied"));
    case failures::PathNotFound:
        return Failure(e.cause, e.number, QStringLiteral("Path not found"));
    default:
        // "Path/File access error": every other refusal of the file system.
        return Failure(e.cause, failures::FileAccess, systemErrorText(error));
    }
}

FolderListing readFolder(const QString& path) {
    const DirHandle dir(::opendir(QFile::encodeName(path).constData()));
    if (!dir)
        throw fileSystemFailure(errno);
    const int fd = ::dirfd(dir.get());
    FolderListing listing;
    while (const dirent* e = ::readdir(dir.get())) {
        const char* n = e->d_name;
        if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0)))
            continue;
        // The listing already tells directories and regular files apart; only links and
        // entries of unknown kind need a look at what they lead to.
        bool directory = e->d_type == DT_DIR;
        bool file = e->d_type == DT_REG;
        if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
            struct stat st {};
            if (::fstatat(fd, n, &st, 0) == 0) {
                directory = S_ISDIR(st.st_mode);
                file = S_ISREG(st.st_mode);
            }
        }
        if (directory)
            listing.folders.emplace_back(n);
        else if (file)
            listing.files.emplace_back(n);
    }
    return listing;
}

QStringList matchingFiles(const FolderListing& listing, const QString& pattern) {
    QStringList names;
    for (const QByteArray& raw : listing.files) {
        const QString name = QString::fromUtf8(raw);
        if (!matchesPattern(name, pattern))
            continue;
        if (name.toUtf8() != raw)
            continue; // not valid UTF-8: cannot be named without loss
        names.append(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

QStringList listFiles(const QString& folder, const QString& pattern) {
    QString dir = folder;
    if (!dir.endsWith(QLatin1Char('/')))
        dir += QLatin1Char('/');
    try {
        return matchingFiles(readFolder(dir), pattern);
    } catch (const Failure&) {
        return {}; // a folder that cannot be read holds no files to list
    }
}

} // namespace talvenor::files
