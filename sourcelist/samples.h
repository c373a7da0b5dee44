#pragma once

#include "settings.h"
#include "shell.h"
#include "sourcelist.h"
#include "ui.h"

#include <QString>

namespace talvenor {

// The scrambling key of the sample snapshot; the same for every installation.
inline const QString SnapshotKey = QStringLiteral("quendrax");
inline const QString SnapshotSetting = QStringLiteral("Snapshot");

inline const QString OpenSamplesQuestion =
    QStringLiteral("Would you like this software to open the folder where these sample files are "
                   "stored (so that you can view them before working with them)?");
// When nothing on the system opens folders: the user still learns where the samples are.
QString cannotOpenSamplesText(const QString& folder);

// The scrambling pair over character codes 1 to 255: each code is shifted by the code of the
// key's next letter, wrapping within 1..255. The result has as many characters as the input.
// A character above 255 cannot be scrambled (invalid argument). Both yield before each
// character, so that a long text keeps the window responsive.
QString ScrambleText(const QString& text, const QString& key, IEventLoop& events);
QString UnscrambleText(const QString& text, const QString& key, IEventLoop& events);

// The stored form of any text: its UTF-8 bytes scrambled, so that names in every script
// survive. A text of plain ASCII keeps its length.
QString scrambleForStore(const QString& text, const QString& key, IEventLoop& events);
QString unscrambleFromStore(const QString& stored, const QString& key, IEventLoop& events);

// The folder of the shipped sample files, with a trailing "/".
QString samplesFolder(const QString& programDir);

// Records which sample files are present: their full paths joined by "|", scrambled, stored
// under Snapshot (also when empty).
void SnapshotSamples(const QString& programDir, ISettings& settings, IEventLoop& events);

// Appends the recorded sample files that still exist and are not yet listed, then offers to
// open the samples folder.
void AddSampleFiles(ISourceList& list, const QString& programDir, const ISettings& settings,
                    IMessageBox& messages, IEventLoop& events, IDesktopShell& shell);

// "Load Sample/Example Files": AddSampleFiles with its own error report.
void PushButton7_Click(ISourceList& list, const QString& programDir, const ISettings& settings,
                       IMessageBox& messages, IEventLoop& events, IDesktopShell& shell);

} // namespace talvenor
