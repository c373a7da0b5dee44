#pragma once

#include <QString>

namespace talvenor {

inline const QString ProductName = QStringLiteral("Talvenor Software");
inline const QString SettingsApplication = QStringLiteral("Quorvane");
inline const QString SupportEmail = QStringLiteral("support@talvenor.example.com");
inline const QString HomePageUrl = QStringLiteral("https://www.talvenor.example.com/");
inline const QString ContactPageUrl = QStringLiteral("https://www.talvenor.example.com/contact");

// The title of every message box that names none: the product name cut at its last spaces
// until it is at most 40 characters, at least once.
QString applicationTitleFor(const QString& productName);
inline QString applicationTitle() { return applicationTitleFor(ProductName); }

} // namespace talvenor
