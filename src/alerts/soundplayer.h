#pragma once
// SoundPlayer: the console's audible and tactile feedback. One shared instance with a cache
// filled once at construction (a kind whose sound cannot be loaded is left out and plays
// silently). Every play is gated by "tsav.sounds_enabled"; haptics are not.
// Lives on the GUI thread: delayed plays run through its event loop.

#include "platform/feedbackkinds.h"

#include <QObject>

namespace tsav {

class SoundBackend;
class HapticPerformer;
class Preferences;

class SoundPlayer : public QObject {
    Q_OBJECT
public:
    // The process-wide instance: the real platform services unless another player was
    // installed. The real one is built on first use and lives until the process ends.
    static SoundPlayer &shared();
    // Makes `player` the shared instance (nullptr restores the real one). A player that
    // is destroyed while installed uninstalls itself.
    static void installShared(SoundPlayer *player);

    // The services must outlive the player. Loads every kind, in case order.
    SoundPlayer(SoundBackend *sounds, HapticPerformer *haptics, Preferences *prefs,
                QObject *parent = nullptr);
    ~SoundPlayer() override;

    // Plays one sound now, or after `delaySeconds` through the GUI event loop. The sound
    // switch is read when play() is called, not when a delayed play fires; a delayed play
    // whose player is gone does nothing.
    void play(SoundKind kind, double delaySeconds = 0);
    // Generic pulse now and another 0.08 s later.
    void alertHaptic();
    // One pulse of the given pattern now (not gated by any preference).
    void haptic(HapticPattern pattern);
    bool soundsEnabled() const;

    bool isLoaded(SoundKind kind) const;
    Preferences &preferences() const { return *m_prefs; }

private:
    void playNow(SoundKind kind);

    SoundBackend *m_sounds;
    HapticPerformer *m_haptics;
    Preferences *m_prefs;
    quint16 m_loaded = 0; // bit per SoundKind
};

} // namespace tsav
