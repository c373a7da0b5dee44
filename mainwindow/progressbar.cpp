#include "progressbar.h"

#include "conversionrun.h"

namespace talvenor {

ProgressBar::ProgressBar(QWidget* parent) : QProgressBar(parent) {
    setRange(0, 100);
    setTextVisible(true);
    setAlignment(Qt::AlignCenter);
    QProgressBar::setValue(0);
    setText(runtext::AtRest);
}

void ProgressBar::setValue(int value) {
    QProgressBar::setValue(value);
}

void ProgressBar::setText(const QString& text) {
    text_ = text;
    // The bar draws its format; "%" would be taken as a placeholder.
    QString format = text;
    format.replace(QLatin1Char('%'), QStringLiteral("%%"));
    setFormat(format);
}

} // namespace talvenor
