#pragma once

#include "automation.h"
#include "ui.h"

#include <QString>

namespace talvenor {

// The message shown at start-up when the mail program cannot be driven.
QString outlookMissingMessageText();

// Start-up check that the mail store can be created. Returns true when it can; otherwise shows
// the explanation, ends the process and returns false (only where ending returns, in tests).
bool CheckOutlook(automation::ApplicationFactory& factory, IMessageBox& messages,
                  IProcess& process);

} // namespace talvenor
