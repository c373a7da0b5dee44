#pragma once

#include <QString>

#include <memory>

namespace talvenor {

// The per-user settings store: texts under one application name and one section.
class ISettings {
public:
    virtual ~ISettings() = default;
    // The stored text, or the default when the key is absent (an empty stored text is kept).
    virtual QString readSetting(const QString& key, const QString& defaultText) const = 0;
    // Creates or overwrites the key; durable when the call returns. Throws Failure when the
    // store cannot be written.
    virtual void writeSetting(const QString& key, const QString& value) = 0;
};

// Defaults converted to text as the store hands them back: 1 -> "1", false -> "False".
QString settingText(int number);
QString settingText(bool value);
QString settingText(const char* text) = delete; // say QString explicitly

// "True"/"False" in any case, or any number (zero is false). Anything else is a type-mismatch
// failure (13), which the reading step reports.
bool toBoolean(const QString& text);

// The store on disk: an INI file in the user's configuration folder (or the folder given).
class FileSettings : public ISettings {
public:
    // configDir empty: the user's XDG configuration folder.
    explicit FileSettings(const QString& configDir = QString());
    ~FileSettings() override;
    QString readSetting(const QString& key, const QString& defaultText) const override;
    void writeSetting(const QString& key, const QString& value) override;
    QString fileName() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace talvenor
