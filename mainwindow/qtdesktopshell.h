#pragma once

#include "shell.h"

namespace talvenor {

// Folders open in the desktop's file manager, pages in its web browser; neither is waited for.
class QtDesktopShell : public IDesktopShell {
public:
    bool openFolder(const QString& folder) override;
    void openUrl(const QString& url) override;
};

} // namespace talvenor
