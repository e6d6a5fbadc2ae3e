#pragma once
// The console's two preferences. Stored with QSettings under the XDG config directory.
// A stored value counts as a boolean only when it is a bool or the text "true"/"false";
// anything else counts as absent.

#include <QString>
#include <QVariant>
#include <optional>

class QSettings;

namespace tsav {

inline const QString kSoundsEnabledKey = QStringLiteral("tsav.sounds_enabled");
inline const QString kVoiceEnabledKey = QStringLiteral("tsav.voice_enabled");

class Preferences {
public:
    virtual ~Preferences() = default;
    virtual std::optional<bool> boolValue(const QString &key) const = 0;
    virtual void setBool(const QString &key, bool value) = 0;

    bool soundsEnabled() const { return boolValue(kSoundsEnabledKey).value_or(true); }
    bool voiceEnabled() const { return boolValue(kVoiceEnabledKey).value_or(false); }
};

// Reads a QSettings value as a stored boolean (bool, or the text "true"/"false").
std::optional<bool> storedBool(const QVariant &v);

} // namespace tsav
