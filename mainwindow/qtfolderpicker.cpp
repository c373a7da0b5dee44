#include "qtfolderpicker.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>

namespace talvenor {

QString QtFolderPicker::normalised(const QString& chosen) {
    if (chosen.isEmpty())
        return {};
    QString path = QDir::fromNativeSeparators(chosen);
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

QString QtFolderPicker::browseForFolder(const QString& title, const QString& initialFolder) {
    return normalised(QFileDialog::getExistingDirectory(
        QApplication::activeWindow(), title, initialFolder,
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks));
}

} // namespace talvenor
