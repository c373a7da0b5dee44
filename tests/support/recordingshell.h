#pragma once

// A desktop shell that remembers what it was asked to open instead of opening it.

#include "shell.h"

#include <QStringList>

namespace talvenor::testing {

struct RecordingShell : IDesktopShell {
    bool openFolder(const QString& f) override {
        folders << f;
        return opens;
    }
    void openUrl(const QString& u) override { urls << u; }
    QStringList folders, urls;
    bool opens = true; // false: a system with nothing to open folders with
};

} // namespace talvenor::testing
