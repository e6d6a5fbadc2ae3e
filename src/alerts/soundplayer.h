#pragma once
// SoundPlayer: the console's audible feedback. One shared instance with a cache filled
// once at construction (a kind whose sound cannot be loaded is left out and plays
// silently). Every play is gated by "tsav.sounds_enabled"; haptics are not.

#include <QObject>

namespace tsav {

class SoundBackend;
class HapticPerformer;
class Preferences;

enum class SoundKind { tink, pop, glass, funk, sosumi, basso, morse, frog, ping, purr };
inline constexpr SoundKind allSoundKinds[] = {
    SoundKind::tink,  SoundKind::pop,   SoundKind::glass, SoundKind::funk, SoundKind::sosumi,
    SoundKind::basso, SoundKind::morse, SoundKind::frog,  SoundKind::ping, SoundKind::purr,
};

enum class HapticPattern { generic, alignment, levelChange };

class SoundPlayer : public QObject {
    Q_OBJECT
public:
    // The process-wide instance (real platform services unless installed otherwise).
    static SoundPlayer &shared();
    // Tests and tools replace the services behind the shared instance.
    static void installShared(SoundPlayer *player);

    SoundPlayer(SoundBackend *sounds, HapticPerformer *haptics, Preferences *prefs,
                QObject *parent = nullptr);

    // Plays one sound now, or after `delaySeconds` through the GUI event loop. The sound
    // switch is read when play() is called, not when a delayed play fires.
    void play(SoundKind kind, double delaySeconds = 0);
    // Generic pulse now and another 0.08 s later.
    void alertHaptic();
    // One pulse of the given pattern now (not gated by any preference).
    void haptic(HapticPattern pattern);
    bool soundsEnabled() const;

    bool isLoaded(SoundKind kind) const;
    Preferences &preferences() const { return *m_prefs; }

private:
    SoundBackend *m_sounds;
    HapticPerformer *m_haptics;
    Preferences *m_prefs;
    quint16 m_loaded = 0; // bit per SoundKind
};

} // namespace tsav
