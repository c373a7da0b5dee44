#pragma once

#include "filedialog.h"
#include "sourcelist.h"
#include "ui.h"

namespace talvenor {

inline const QString AddFilesTitle =
    QStringLiteral("Add File(s) - Hold Ctrl to select multiple files");
inline const QString PstFilter = QStringLiteral("PST Files (*.pst)");

// "Add PST File(s)": the files chosen in the dialog are appended to the list, one file as the
// dialog gave it, several each with doubled separators folded. Duplicates are added again.
// Failures show the uniform error report of Form1.PushButton1_Click.
void addPstFiles(IFileDialog& dialog, ISourceList& list, IMessageBox& messages);

} // namespace talvenor
