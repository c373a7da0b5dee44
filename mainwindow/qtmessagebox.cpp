#include "qtmessagebox.h"

#include <QApplication>
#include <QMessageBox>

namespace talvenor {

QString QtMessageBox::displayText(const QString& text) {
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

MessageAnswer QtMessageBox::show(const Message& message) {
    const bool yesNo = message.buttons == MessageButtons::YesNo;
    QMessageBox box(
        message.icon == MessageIcon::Warning ? QMessageBox::Warning : QMessageBox::NoIcon,
        message.title, displayText(message.text),
        yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);
    const int answer = box.exec();
    if (!yesNo)
        return MessageAnswer::Ok;
    return answer == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
}

} // namespace talvenor
