#pragma once

#include "conversionrun.h"

#include <QProgressBar>

namespace talvenor {

// ProgressBar1: a bar from 0 to 100 whose own text is drawn on it, centred.
class ProgressBar : public QProgressBar, public IProgress {
    Q_OBJECT
public:
    explicit ProgressBar(QWidget* parent = nullptr);
    void setValue(int value) override;
    void setText(const QString& text) override;
    QString text() const override { return text_; }

private:
    QString text_;
};

} // namespace talvenor
