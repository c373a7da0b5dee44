#pragma once

#include <QString>
#include <QStringList>

namespace talvenor {

// What the add-files command asks of the file-open dialog each time it opens it.
struct FileDialogRequest {
    QString initialFileName;
    QString title;
    QString filter;           // "Description (*.ext)"
    bool multiSelect = false; // several files may be chosen at once
};

// The modal file-open dialog. Returns the full paths of the chosen files in the order the
// dialog gives them, or an empty list when the user cancels. A dialog that cannot hand back
// the whole selection throws Failure(failures::SelectionTooLarge).
class IFileDialog {
public:
    virtual ~IFileDialog() = default;
    virtual QStringList openFiles(const FileDialogRequest& request) = 0;
};

} // namespace talvenor
