#pragma once

#include "automation.h"
#include "outcomes.h"
#include "ui.h"
#include "walk.h"
#include "windowoutcomes.h"

#include <QString>

namespace talvenor {

// Converts one PST file: attaches it to a fresh mail-store session, has the walk export its
// mail items, detaches it and ends the session. What happens goes to the observer as outcomes;
// without one, its reports are shown as the window shows them.
class ConversionSession {
public:
    ConversionSession(automation::ApplicationFactory& factory, IMessageBox& messages,
                      IEventLoop& events, IPointer& pointer)
        : factory_(factory), messages_(messages), events_(events), pointer_(pointer) {}

    void PST2MSG(const QString& pstPath, const QString& outputFile,
                 IRunObserver* observer = nullptr);

private:
    automation::ApplicationFactory& factory_;
    IMessageBox& messages_;
    IEventLoop& events_;
    IPointer& pointer_;
};

} // namespace talvenor
