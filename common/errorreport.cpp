#include "errorreport.h"

#include "constants.h"

namespace talvenor {

QString windowLocation(const QString& procedure) {
    return QStringLiteral("in Hollisk2021/08/31.Form1.%1 ").arg(procedure);
}

QString folderScanLocation(const QString& procedure) {
    return QStringLiteral("in Wendrup2021/08/31.AddFolder.%1 ").arg(procedure);
}

QString errorReportText(const QString& description, const QString& location, int step) {
    return description + QStringLiteral("\r\n") + location + QStringLiteral("at line ") +
           QString::number(step) + QStringLiteral("\r\r") +
           QStringLiteral("Please email screenshot of this message to ") + SupportEmail;
}

Message errorReportMessage(const QString& description, const QString& location, int step) {
    return {errorReportText(description, location, step), QStringLiteral("Application Error"),
            MessageButtons::Ok, MessageIcon::Warning};
}

void Procedure::report(int number, const QString& description) {
    if (messages_)
        messages_->show(errorReportMessage(description, location_, number));
}

} // namespace talvenor
