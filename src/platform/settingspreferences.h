#pragma once
// Preferences kept with QSettings: organisation "Tessaly", application "TessalyAntivirus",
// so the file is $XDG_CONFIG_HOME/Tessaly/TessalyAntivirus.conf.

#include "platform/preferences.h"

#include <QSettings>

namespace tsav {

class SettingsPreferences final : public Preferences {
public:
    SettingsPreferences();
    // A settings file at an explicit path (INI format).
    explicit SettingsPreferences(const QString &filePath);

    std::optional<bool> boolValue(const QString &key) const override;
    void setBool(const QString &key, bool value) override;

private:
    mutable QSettings m_settings;
};

} // namespace tsav
