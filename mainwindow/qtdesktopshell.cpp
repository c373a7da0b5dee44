#include "qtdesktopshell.h"

#include <QDesktopServices>
#include <QUrl>

namespace talvenor {

bool QtDesktopShell::openFolder(const QString& folder) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

void QtDesktopShell::openUrl(const QString& url) {
    QDesktopServices::openUrl(QUrl(url));
}

} // namespace talvenor
