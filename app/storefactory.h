#pragma once

#include "automation.h"
#include "ui.h"

#include <QString>
#include <QStringList>

#include <memory>

namespace talvenor {

// Which reading helper the store starts: empty, talvenor-reader beside the program. A seam for
// tests, which start a helper of their own that shows faults.
struct ReadingHelper {
    QString program;
    QStringList arguments;
};

// The mail store the program converts with. This is the one place that chooses it. While it
// waits for the reading helper it gives the event loop its turns.
std::unique_ptr<automation::ApplicationFactory> makeStoreFactory(IEventLoop& events,
                                                                 const ReadingHelper& helper = {});

} // namespace talvenor
