#include "shell.h"

#include "constants.h"
#include "paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>

namespace talvenor {

namespace {
QString withTrailingSeparator(QString folder) {
    if (!folder.endsWith(paths::separator()))
        folder += paths::separator();
    return folder;
}
} // namespace

QString desktopFolderFrom(const QString& desktop, const QString& home) {
    if (!desktop.isEmpty() && paths::isFolder(desktop))
        return withTrailingSeparator(desktop);
    return withTrailingSeparator(home);
}

QString GetDesktopFolder() {
    return desktopFolderFrom(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation),
                             QDir::homePath());
}

bool PathExists(const QString& path) {
    if (path.isEmpty())
        return false;
    return QFileInfo(path).lastModified().isValid();
}

QString skinFilePath(const QString& programDir) {
    return programDir + QStringLiteral("/x/o.cjs");
}

std::optional<QString> readSkin(const QString& programDir) {
    QFile file(skinFilePath(programDir));
    if (!QFileInfo(file.fileName()).isFile() || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return QString::fromUtf8(file.readAll());
}

QString SetApplicationTitle() {
    const QString title = applicationTitleFor(ProductName);
    QCoreApplication::setApplicationName(title);
    return title;
}

int SystemRandomDraw::draw() {
    return int(QRandomGenerator::global()->bounded(1, 101));
}

} // namespace talvenor
