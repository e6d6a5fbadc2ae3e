#pragma once
// The console's preferences: the two switches of the settings screen and one note to itself. A stored value counts as a boolean only when it is a
// bool or the text "true"/"false" (how QSettings' text storage writes a bool); anything
// else counts as absent, so the key's default applies.

#include <QString>
#include <QVariant>
#include <optional>

namespace tsav {

inline const QString kSoundsEnabledKey = QStringLiteral("tsav.sounds_enabled");
inline const QString kVoiceEnabledKey = QStringLiteral("tsav.voice_enabled");
// Set once the console has said, on quitting, that the agent keeps running.
inline const QString kQuitNoticeShownKey = QStringLiteral("tsav.quit_notice_shown");

class Preferences {
public:
    virtual ~Preferences() = default;
    virtual std::optional<bool> boolValue(const QString &key) const = 0;
    virtual void setBool(const QString &key, bool value) = 0;

    // Absent or not a boolean: sounds on.
    bool soundsEnabled() const { return boolValue(kSoundsEnabledKey).value_or(true); }
    // Absent or not a boolean: speech off.
    bool voiceEnabled() const { return boolValue(kVoiceEnabledKey).value_or(false); }
};

// Reads a stored value as a boolean (a bool, or exactly the text "true"/"false").
std::optional<bool> storedBool(const QVariant &v);

} // namespace tsav
