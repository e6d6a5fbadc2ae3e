#include "platform/preferences.h"
#include "platform/settingspreferences.h"

namespace tsav {

std::optional<bool> storedBool(const QVariant &v)
{
    if (v.typeId() == QMetaType::Bool)
        return v.toBool();
    if (v.typeId() == QMetaType::QString || v.typeId() == QMetaType::QByteArray) {
        const QString text = v.toString();
        if (text == QLatin1String("true"))
            return true;
        if (text == QLatin1String("false"))
            return false;
    }
    return std::nullopt;
}

SettingsPreferences::SettingsPreferences()
    : m_settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Tessaly"),
                 QStringLiteral("TessalyAntivirus"))
{
}

SettingsPreferences::SettingsPreferences(const QString &filePath)
    : m_settings(filePath, QSettings::IniFormat)
{
}

std::optional<bool> SettingsPreferences::boolValue(const QString &key) const
{
    return storedBool(m_settings.value(key));
}

void SettingsPreferences::setBool(const QString &key, bool value)
{
    m_settings.setValue(key, value);
    m_settings.sync(); // another instance (or the next run) sees it at once
}

} // namespace tsav
