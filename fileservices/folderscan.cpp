#include "folderscan.h"

#include "errorreport.h"
#include "failure.h"
#include "filelisting.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>

namespace talvenor::files {

namespace {

QString withoutTrailingSlashes(const QString& path) {
    qsizetype n = path.size();
    while (n > 1 && path[n - 1] == QLatin1Char('/'))
        --n;
    return path.left(n);
}

// Valid UTF-8 only: a name that cannot be held without loss is left out.
std::optional<QString> decodedName(const QByteArray& raw) {
    QString name = QString::fromUtf8(raw);
    if (name.toUtf8() != raw)
        return std::nullopt;
    return name;
}

} // namespace

bool HasUnsafeCharacters(const QString& name) {
    return std::any_of(name.begin(), name.end(), [](QChar c) {
        const char16_t u = c.unicode();
        return u < 0x20 || (u >= 0x7F && u <= 0x9F);
    });
}

bool SystemDirectoryLister::isFolder(const QString& path) {
    if (path.isEmpty())
        return false;
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

FolderInfo SystemDirectoryLister::folder(const QString& path) {
    const QString clean = withoutTrailingSlashes(path);
    const QByteArray native = QFile::encodeName(clean);
    struct stat ls {};
    if (native.isEmpty() || ::lstat(native.constData(), &ls) != 0)
        throw fileSystemFailure(native.isEmpty() ? ENOENT : errno);
    struct stat st = ls;
    FolderInfo info;
    if (S_ISLNK(ls.st_mode)) {
        info.isLink = true;
        if (::stat(native.constData(), &st) != 0)
            throw fileSystemFailure(errno);
    }
    if (!S_ISDIR(st.st_mode))
        throw fileSystemFailure(ENOTDIR);
    info.id = {std::uint64_t(st.st_dev), std::uint64_t(st.st_ino)};
    info.isRoot = clean == QStringLiteral("/");
    info.attributes = Directory | (info.isLink ? Alias : 0);
    const QString name = clean.mid(clean.lastIndexOf(QLatin1Char('/')) + 1);
    if (name.startsWith(QLatin1Char('.')) && name != QStringLiteral(".") &&
        name != QStringLiteral(".."))
        info.attributes |= Hidden;
    if (isTrashFolder(clean))
        info.attributes |= Hidden | System;
    return info;
}

FolderListing SystemDirectoryLister::list(const QString& path) {
    FolderListing listing = readFolder(path);
    std::sort(listing.folders.begin(), listing.folders.end());
    return listing;
}

bool FolderScan::eligible(const QString& path, const FolderInfo& info) const {
    if (info.isRoot)
        return true;
    if (info.attributes == (Hidden | System | Directory) ||
        info.attributes == (Hidden | System | Directory | Alias))
        return false;
    if (info.isLink) {
        // A link into a directory this scan has already entered by another path would list
        // that tree again, or without end when it points back up.
        const auto it = entered_.constFind(info.id);
        if (it != entered_.cend() && *it != path)
            return false;
    }
    return true;
}

bool FolderScan::isFolder(const QString& path) {
    if (known_.contains(path))
        return true;
    // Learning what the folder is answers the question too, and spares asking again at the
    // next step; only where that fails is the plain test asked.
    try {
        known_.insert(path, lister_.folder(path));
        return true;
    } catch (const Failure&) {
        return lister_.isFolder(path);
    }
}

FolderInfo FolderScan::folder(const QString& path) {
    const auto it = known_.constFind(path);
    if (it != known_.cend())
        return *it;
    const FolderInfo info = lister_.folder(path);
    known_.insert(path, info);
    return info;
}

void FolderScan::remember(const QString& path, const FolderInfo& info) {
    if (!entered_.contains(info.id))
        entered_.insert(info.id, path);
}

void FolderScan::GetSubDirectories2016(QStringList& folders, bool Recursive) {
    Procedure proc(messages_, folderScanLocation(QStringLiteral("GetSubDirectories2016")));
    // 100: the lister stands for the file-system service; there is nothing to create.
    proc.step(100, [] {});
    QStringList work;
    proc.step(104, [&] { work.clear(); });

    // Until the first entry has passed the eligibility test, failures show the report; from
    // then on, a failure ends the current entry on the folder failure path instead.
    bool failurePathArmed = false;

    qsizetype index = 0; // 106
    while (index < folders.size()) {
        const QString F = folders[index];
        std::optional<Failure> failure;
        try {
            [&] {
                // 108
                const bool exists =
                    failurePathArmed ? isFolder(F) : proc.test(108, [&] { return isFolder(F); });
                if (!exists)
                    return;
                // 110: a path the system cannot open by name is kept but not examined.
                if (QFile::encodeName(F).size() >= PATH_MAX)
                    return;
                // 112
                std::optional<FolderInfo> info;
                if (failurePathArmed)
                    info = folder(F);
                else
                    info = proc.read(112, [&] { return folder(F); });
                events_.yield(); // 114
                if (!info)
                    return; // reported: without the folder there is nothing to look at
                // 116
                if (!eligible(F, *info))
                    return;
                failurePathArmed = true;
                remember(F, *info);
                // 118: the files are kept for the file search, which need not read F again.
                FolderListing listing = lister_.list(F);
                const std::vector<QByteArray> names = std::move(listing.folders);
                listing.folders.clear();
                files_.insert(F, std::move(listing));
                for (const QByteArray& raw : names) {
                    events_.yield(); // 120
                    // 122
                    const std::optional<QString> N = decodedName(raw);
                    if (!N)
                        continue;
                    // 124
                    if (raw.size() > NAME_MAX)
                        continue;
                    // 126; a real "?" is an ordinary character here
                    if (HasUnsafeCharacters(*N))
                        continue;
                    // 130
                    if (*N == QStringLiteral(".") || *N == QStringLiteral(".."))
                        continue;
                    // 132, 134
                    work.append(F + *N + QLatin1Char('/'));
                }
            }();
        } catch (const Failure& f) {
            failure = f;
        } catch (const std::bad_alloc&) {
            failure = Failure(failures::OutOfMemory, QStringLiteral("Out of memory"));
        } catch (const std::exception& e) {
            failure = Failure(failures::Internal, QString::fromUtf8(e.what()));
        }
        // 138: a folder that cannot be listed leaves the list.
        if (failure && (failure->number() == failures::PermissionDenied ||
                        failure->number() == failures::PathNotFound)) {
            const qsizetype at = folders.indexOf(F); // 142-146
            if (at >= 0) {
                folders.removeAt(at); // 148
                if (at <= index)
                    continue; // the next entry has moved up into this position
            }
        }
        ++index;
    }

    // 150
    proc.step(150, [&] {
        if (Recursive && !work.isEmpty())
            GetSubDirectories2016(work, true);
    });

    // 152
    for (const QString& W : std::as_const(work)) {
        if (!proc.test(154, [&] { return isFolder(W); }))
            continue;
        events_.yield(); // 156
        if (proc.test(158, [&] { return eligible(W, folder(W)); }))
            proc.step(160, [&] { folders.append(W); });
    }
}

std::optional<QStringList> FolderScan::filesIn(const QString& entry, const QString& pattern) const {
    const auto it = files_.constFind(entry);
    if (it == files_.cend())
        return std::nullopt;
    return matchingFiles(*it, pattern);
}

void GetSubDirectories2016(QStringList& folders, bool Recursive, IMessageBox& messages,
                           IEventLoop& events, IDirectoryLister* lister) {
    SystemDirectoryLister system;
    FolderScan scan(messages, events, lister ? *lister : system);
    scan.GetSubDirectories2016(folders, Recursive);
}

} // namespace talvenor::files
