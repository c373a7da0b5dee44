#pragma once

// Adding whole folder trees to the source list: the "Add All PST File(s) In Folder" command
// and files or folders dropped on the list.

#include "folderpicker.h"
#include "folderscan.h"
#include "settings.h"
#include "sourcelist.h"
#include "ui.h"

#include <QString>
#include <QStringList>

namespace talvenor {

class Procedure;

class AddFolderCommand {
public:
    // lister: the file system as the folder scan sees it; the real one when null.
    AddFolderCommand(ISourceList& list, ISettings& settings, IFolderPicker& picker,
                     IPointer& pointer, IMessageBox& messages, IEventLoop& events,
                     files::IDirectoryLister* lister = nullptr);

    // "Add All PST File(s) In Folder": every PST file of a chosen folder tree, the window
    // busy for the whole scan.
    void PushButton4_Click();

    // Dropped paths, in the order the drop delivers them: folders are scanned for every file,
    // anything else is appended as it is. Neither makes the window busy nor asks whether it is.
    void dropPaths(const QStringList& paths);

    // Scans one folder tree and appends the files that match the pattern and pass the file
    // filter. The command runs each step under its procedure's trap; without one, failures
    // pass to the caller. True when the folder itself could be listed.
    bool scanFolderTree(const QString& folder, const QString& pattern, Procedure* procedure);

private:
    ISourceList& list_;
    ISettings& settings_;
    IFolderPicker& picker_;
    IPointer& pointer_;
    IMessageBox& messages_;
    IEventLoop& events_;
    files::SystemDirectoryLister system_;
    files::IDirectoryLister& lister_;
};

} // namespace talvenor
