#pragma once
// Recording stand-ins for every platform service, for tests (library tsav_platform_fakes).
// Each records what it was asked to do, in order; nothing reaches the desktop.

#include "platform/hapticperformer.h"
#include "platform/launcherbadge.h"
#include "platform/notificationservice.h"
#include "platform/preferences.h"
#include "platform/services.h"
#include "platform/soundbackend.h"
#include "platform/speechservice.h"

#include <QElapsedTimer>
#include <QList>
#include <QSet>
#include <QStringList>
#include <QVariantMap>

namespace tsav {

class RecordingNotificationService final : public NotificationService {
public:
    void requestAuthorization() override { ++authorizationRequests; }
    void post(const NotificationRequest &request) override { posted.append(request); }
    // What the notification server does when the user chooses an action.
    void invoke(const QString &identifier, const QString &actionKey) const { actionInvoked(identifier, actionKey); }

    int authorizationRequests = 0;
    QList<NotificationRequest> posted;
};

class RecordingLauncherBadge final : public LauncherBadge {
public:
    // Each call as the label the icon would show: the decimal count, or "" when hidden.
    void setCount(std::optional<qint64> count) override;
    QString label() const { return labels.isEmpty() ? QString() : labels.last(); }

    QStringList labels;
};

class RecordingSoundBackend final : public SoundBackend {
public:
    struct Play {
        SoundKind kind;
        qint64 atMs; // since the backend was made
    };

    RecordingSoundBackend() { clock.start(); }
    // Kinds in `missing` fail to load.
    explicit RecordingSoundBackend(QSet<SoundKind> missing) : missing(std::move(missing))
    {
        clock.start();
    }

    bool load(SoundKind kind) override;
    void play(SoundKind kind) override { plays.append({kind, clock.elapsed()}); }

    QList<SoundKind> kinds() const;
    int count(SoundKind kind) const;

    QSet<SoundKind> missing;
    QList<SoundKind> loaded;
    QList<Play> plays;
    QElapsedTimer clock;
};

class RecordingSpeechService final : public SpeechService {
public:
    void speak(const Utterance &utterance) override { spoken.append(utterance); }
    QList<Utterance> spoken;
};

class RecordingHapticPerformer final : public HapticPerformer {
public:
    struct Pulse {
        HapticPattern pattern;
        qint64 atMs;
    };
    RecordingHapticPerformer() { clock.start(); }
    void perform(HapticPattern pattern) override { pulses.append({pattern, clock.elapsed()}); }
    QList<HapticPattern> patterns() const;

    QList<Pulse> pulses;
    QElapsedTimer clock;
};

// Preferences in memory. setRaw() stores any value, as a hand-edited file could hold.
class MemoryPreferences final : public Preferences {
public:
    std::optional<bool> boolValue(const QString &key) const override
    {
        return storedBool(values.value(key));
    }
    void setBool(const QString &key, bool value) override { values.insert(key, value); }
    void setRaw(const QString &key, const QVariant &value) { values.insert(key, value); }

    QVariantMap values;
};

// One of each recording service, wired as PlatformServices.
struct RecordingServices {
    RecordingNotificationService notifications;
    RecordingLauncherBadge badge;
    RecordingSoundBackend sounds;
    RecordingSpeechService speech;
    RecordingHapticPerformer haptics;
    MemoryPreferences preferences;

    PlatformServices services()
    {
        return {&notifications, &badge, &sounds, &speech, &haptics, &preferences};
    }
};

} // namespace tsav
