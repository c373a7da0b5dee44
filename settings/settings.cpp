#include "settings.h"

#include "constants.h"
#include "failure.h"

#include <QSettings>
#include <QStandardPaths>

namespace talvenor {

QString settingText(int number) { return QString::number(number); }
QString settingText(bool value) { return value ? QStringLiteral("True") : QStringLiteral("False"); }

bool toBoolean(const QString& text) {
    const QString t = text.trimmed();
    if (t.compare(QStringLiteral("True"), Qt::CaseInsensitive) == 0)
        return true;
    if (t.compare(QStringLiteral("False"), Qt::CaseInsensitive) == 0)
        return false;
    bool ok = false;
    const double number = t.toDouble(&ok);
    if (!ok)
        throw Failure(13, QStringLiteral("Type mismatch"));
    return number != 0.0;
}

struct FileSettings::Impl {
    std::unique_ptr<QSettings> store;
};

namespace {
QString key(const QString& k) { return ProductName + QLatin1Char('/') + k; }
} // namespace

FileSettings::FileSettings(const QString& configDir) : impl_(std::make_unique<Impl>()) {
    const QString dir = configDir.isEmpty()
                            ? QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                            : configDir;
    impl_->store = std::make_unique<QSettings>(dir + QLatin1Char('/') + SettingsApplication +
                                                   QStringLiteral(".conf"),
                                               QSettings::IniFormat);
}

FileSettings::~FileSettings() = default;

QString FileSettings::fileName() const { return impl_->store->fileName(); }

QString FileSettings::readSetting(const QString& k, const QString& defaultText) const {
    impl_->store->sync(); // another copy of the program may have written since
    const QVariant v = impl_->store->value(key(k));
    return v.isValid() ? v.toString() : defaultText;
}

void FileSettings::writeSetting(const QString& k, const QString& value) {
    impl_->store->setValue(key(k), value);
    impl_->store->sync();
    if (impl_->store->status() != QSettings::NoError)
        throw Failure(failures::PermissionDenied,
                      QStringLiteral("The settings could not be saved to ") + fileName());
}

} // namespace talvenor
