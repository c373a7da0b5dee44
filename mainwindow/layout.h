#pragma once

#include <QRect>
#include <QString>

#include <optional>

namespace talvenor {

// The window was designed in twips; on screen a pixel is 15 twips.
constexpr int twipsToPixels(int twips) {
    return (twips * 2 + 15) / 30;
} // rounded to nearest

// What kind of control a layout entry builds.
enum class ControlKind { List, Button, Frame, Option, TextBox, ProgressBar };

// Every control of the main window: its kind, its container (nullptr: the window itself), its
// caption, and where it stands, in twips, relative to its container. The window builds its
// controls from this table, in this order (containers before what they hold).
struct ControlPlacement {
    const char* name;
    ControlKind kind;
    const char* container;
    const char* caption;
    int left;
    int top;
    int width;
    int height;
};

inline constexpr ControlPlacement WindowLayout[] = {
    {"PushButton3", ControlKind::Button, nullptr, "Help", 120, 120, 7800, 405},
    {"ListView1", ControlKind::List, nullptr, "", 120, 630, 7800, 2535},
    {"PushButton1", ControlKind::Button, nullptr, "Add PST File(s)", 120, 3250, 3840, 405},
    {"PushButton4", ControlKind::Button, nullptr, "Add All PST File(s) In Folder", 4080, 3250, 3840,
     405},
    {"PushButton6", ControlKind::Button, nullptr, "Clear List", 120, 3760, 3840, 405},
    {"PushButton7", ControlKind::Button, nullptr, "Load Sample/Example Files", 4080, 3760, 3840,
     405},
    {"Frame1", ControlKind::Frame, nullptr, "Save Option", 120, 4190, 7800, 1815},
    {"Option1", ControlKind::Option, "Frame1", "Save results to this folder:", 240, 300, 3615, 255},
    {"Frame4", ControlKind::Frame, "Frame1", "", 480, 510, 6840, 810},
    {"Text1", ControlKind::TextBox, "Frame4", "", 240, 300, 5670, 345},
    {"PushButton9", ControlKind::Button, "Frame4", "...", 6000, 300, 600, 345},
    {"Option2", ControlKind::Option, "Frame1", "Save results in folder of original file", 240, 1410,
     3615, 255},
    {"PushButton2", ControlKind::Button, nullptr, "Start Converting", 120, 6120, 7800, 405},
    {"ProgressBar1", ControlKind::ProgressBar, nullptr, "", 120, 6645, 7800, 405},
};

// Controls in the order the Tab key visits them.
inline constexpr const char* WindowTabOrder[] = {
    "ListView1",   "ProgressBar1", "PushButton1", "PushButton4", "PushButton2",
    "PushButton6", "PushButton7",  "PushButton3", "Frame1",      "Frame4",
    "Text1",       "PushButton9",  "Option1",     "Option2",
};

constexpr int WindowClientWidthTwips = 8040;
constexpr int WindowClientHeightTwips = 7155;
constexpr int ListColumnWidthTwips = 7000;

// The control's rectangle in pixels, or nothing for a name the table does not hold.
std::optional<QRect> placementOf(const QString& name);

} // namespace talvenor
