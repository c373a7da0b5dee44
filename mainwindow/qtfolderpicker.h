#pragma once

#include "folderpicker.h"

namespace talvenor {

// The folder chooser as Qt's directory dialog over the active window.
class QtFolderPicker : public IFolderPicker {
public:
    QString browseForFolder(const QString& title, const QString& initialFolder) override;
    // The chosen directory as callers expect it: "/" for the root, no trailing "/" otherwise.
    static QString normalised(const QString& chosen);
};

} // namespace talvenor
