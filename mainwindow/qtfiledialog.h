#pragma once

#include "filedialog.h"

class QFileDialog;

namespace talvenor {

// The file-open dialog as Qt's own file dialog over the active window. Qt's dialog matches
// the filter's patterns without regard to case, so "*.pst" also shows "ARCHIVE.PST"; a
// platform dialog might not, which is why it is not used.
class QtFileDialog : public IFileDialog {
public:
    QStringList openFiles(const FileDialogRequest& request) override;
    // Sets the dialog up as the request asks.
    static void configure(QFileDialog& dialog, const FileDialogRequest& request);
};

} // namespace talvenor
