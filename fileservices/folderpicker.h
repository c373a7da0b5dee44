#pragma once

#include <QString>

namespace talvenor {

// The modal folder chooser: shows the prompt, starts at the initial folder, offers only
// directories; returns the chosen absolute path ("/" for the root, no trailing "/" otherwise)
// or an empty text when the user cancels.
class IFolderPicker {
public:
    virtual ~IFolderPicker() = default;
    virtual QString browseForFolder(const QString& title, const QString& initialFolder) = 0;
};

} // namespace talvenor
