#include "qtfiledialog.h"

#include <QApplication>
#include <QFileDialog>

namespace talvenor {

QStringList QtFileDialog::openFiles(const FileDialogRequest& request) {
    QFileDialog dialog(QApplication::activeWindow(), request.title);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(request.multiSelect ? QFileDialog::ExistingFiles
                                           : QFileDialog::ExistingFile);
    dialog.setNameFilter(request.filter);
    if (!request.initialFileName.isEmpty())
        dialog.selectFile(request.initialFileName);
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.selectedFiles();
}

} // namespace talvenor
