// The folder-tree ways of filling the list: "Add All PST File(s) In Folder" and dropping
// files and folders on the list.

#include "form1.h"
#include "listdrop.h"

namespace talvenor {

void Form1::addFolderControls() {
    PushButton4 =
        addPushButton("PushButton4", QStringLiteral("Add All PST File(s) In Folder"), this);
    addFolder_ =
        std::make_unique<AddFolderCommand>(*ListView1, services_.settings, services_.folderPicker,
                                           pointer_, services_.messages, services_.events);
    connect(PushButton4, &QPushButton::clicked, this, &Form1::PushButton4_Click);
    new ListDropTarget(*ListView1, [this](const QStringList& paths) { ListView1_Drop(paths); });
}

void Form1::PushButton4_Click() {
    addFolder_->PushButton4_Click();
}

void Form1::ListView1_Drop(const QStringList& paths) {
    addFolder_->dropPaths(paths);
}

} // namespace talvenor
