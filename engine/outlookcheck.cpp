#include "outlookcheck.h"

#include "constants.h"

namespace talvenor {

QString outlookMissingMessageText() {
    const QString gap = QStringLiteral("\r\n\r\n");
    return QStringLiteral("Error 6631. A normal instance of Outlook could not be created.") + gap +
           QStringLiteral("1. Please make sure Outlook is installed on this computer.") + gap +
           QStringLiteral("2. Please make sure that you have properly configured Outlook such "
                          "that the 'Getting Started' wizard does not show.") +
           gap +
           QStringLiteral("3. Please open Outlook normally and make sure a clean inbox opens "
                          "immediately without any interrupting window (popups, messages).") +
           gap + QStringLiteral("Please email a screenshot of this message to ") + SupportEmail +
           QStringLiteral(" if you have done all of above and are still having problems.");
}

bool CheckOutlook(automation::ApplicationFactory& factory, IMessageBox& messages,
                  IProcess& process) {
    std::unique_ptr<automation::Application> application;
    try {
        application = factory.create(automation::ApplicationClass);
    } catch (...) {
        // Whatever the reason, the store cannot be driven: the message below says what to do.
    }
    if (application) {
        application.reset();
        return true;
    }
    messages.show(
        {outlookMissingMessageText(), applicationTitle(), MessageButtons::Ok, MessageIcon::None});
    process.exit(1);
    return false;
}

} // namespace talvenor
