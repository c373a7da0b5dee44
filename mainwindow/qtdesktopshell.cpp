#include "qtdesktopshell.h"

#include <QDesktopServices>
#include <QUrl>

namespace talvenor {

void QtDesktopShell::openFolder(const QString& folder) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

void QtDesktopShell::openUrl(const QString& url) {
    QDesktopServices::openUrl(QUrl(url));
}

} // namespace talvenor
