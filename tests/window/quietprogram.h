#pragma once

#include "fakeautomation.h"
#include "form1.h"
#include "recorders.h"

namespace talvenor::testing {

// The program's side of the window, for tests of the window's own controls: nothing of it is
// expected to be used, and whatever is, is recorded.
struct QuietProgram {
    struct Shell : IDesktopShell {
        bool openFolder(const QString& f) override {
            opened << f;
            return true;
        }
        void openUrl(const QString& u) override { opened << u; }
        QStringList opened;
    };
    struct NeverSeven : IRandomDraw {
        int draw() override { return 1; }
    };
    struct NoFolderTakesFiles : IFolderAccess {
        std::optional<Cause> refusal(const QString&) const override {
            return Cause::PermissionDenied;
        }
    };
    ProgramServices services(const QString& programFolder) {
        return {outlook, process, shell, draw, access, programFolder};
    }
    FakeOutlook outlook;
    RecordingProcess process;
    Shell shell;
    NeverSeven draw;
    NoFolderTakesFiles access;
};

} // namespace talvenor::testing
