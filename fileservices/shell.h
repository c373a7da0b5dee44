#pragma once

#include <QString>

#include <optional>

namespace talvenor {

// The desktop folder with one trailing "/": the user's desktop directory when it exists,
// otherwise the home folder (a minimal system has no desktop).
QString GetDesktopFolder();
// The same choice between given folders.
QString desktopFolderFrom(const QString& desktop, const QString& home);

// True when the path's last-modification time can be read: an existing file or folder.
// Never fails; an empty path gives false.
bool PathExists(const QString& path);

// The optional skin beside the program: "x/o.cjs", a Qt style sheet.
QString skinFilePath(const QString& programDir);
// The style sheet text when the skin file is present; nothing otherwise.
std::optional<QString> readSkin(const QString& programDir);

// Sets the title that every message box naming none carries, and returns it.
QString SetApplicationTitle();

// Opens things in the desktop's own programs: a folder in the file manager, a page in the
// web browser. The window implements it; tests record what would have been opened.
class IDesktopShell {
public:
    virtual ~IDesktopShell() = default;
    // False when nothing could open it (a system without a file manager, say).
    virtual bool openFolder(const QString& folder) = 0;
    virtual void openUrl(const QString& url) = 0;
};

// A whole number from 1 to 100, uniformly drawn.
class IRandomDraw {
public:
    virtual ~IRandomDraw() = default;
    virtual int draw() = 0;
};

class SystemRandomDraw : public IRandomDraw {
public:
    int draw() override;
};

} // namespace talvenor
