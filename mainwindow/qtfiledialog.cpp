#include "qtfiledialog.h"

#include <QApplication>
#include <QFileDialog>

namespace talvenor {

void QtFileDialog::configure(QFileDialog& dialog, const FileDialogRequest& request) {
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setWindowTitle(request.title);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(request.multiSelect ? QFileDialog::ExistingFiles
                                           : QFileDialog::ExistingFile);
    dialog.setNameFilter(request.filter);
    if (!request.initialFileName.isEmpty())
        dialog.selectFile(request.initialFileName);
}

QStringList QtFileDialog::openFiles(const FileDialogRequest& request) {
    QFileDialog dialog(QApplication::activeWindow());
    configure(dialog, request);
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.selectedFiles();
}

} // namespace talvenor
