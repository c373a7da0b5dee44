#pragma once

// A desktop shell that remembers what it was asked to open instead of opening it.

#include "shell.h"

#include <QStringList>

namespace talvenor::testing {

struct RecordingShell : IDesktopShell {
    void openFolder(const QString& f) override { folders << f; }
    void openUrl(const QString& u) override { urls << u; }
    QStringList folders, urls;
};

} // namespace talvenor::testing
