#include "alerts/soundplayer.h"

#include "platform/hapticperformer.h"
#include "platform/preferences.h"
#include "platform/services.h"
#include "platform/soundbackend.h"

#include <QTimer>

#include <atomic>
#include <chrono>
#include <cmath>

namespace tsav {

namespace {
std::atomic<SoundPlayer *> installedPlayer{nullptr};
constexpr auto alertHapticGap = std::chrono::milliseconds(80);

quint16 bit(SoundKind kind) { return quint16(1u << unsigned(kind)); }
} // namespace

SoundPlayer &SoundPlayer::shared()
{
    if (SoundPlayer *p = installedPlayer.load(std::memory_order_acquire))
        return *p;
    // One-time, thread-safe initialisation; intentionally never destroyed.
    static SoundPlayer *const real = [] {
        const PlatformServices s = PlatformServices::real();
        return new SoundPlayer(s.sounds, s.haptics, s.preferences);
    }();
    return *real;
}

void SoundPlayer::installShared(SoundPlayer *player)
{
    installedPlayer.store(player, std::memory_order_release);
}

SoundPlayer::SoundPlayer(SoundBackend *sounds, HapticPerformer *haptics, Preferences *prefs,
                         QObject *parent)
    : QObject(parent), m_sounds(sounds), m_haptics(haptics), m_prefs(prefs)
{
    for (SoundKind kind : allSoundKinds)
        if (m_sounds->load(kind))
            m_loaded |= bit(kind);
}

SoundPlayer::~SoundPlayer()
{
    SoundPlayer *self = this;
    installedPlayer.compare_exchange_strong(self, nullptr);
}

bool SoundPlayer::soundsEnabled() const
{
    return m_prefs->soundsEnabled();
}

bool SoundPlayer::isLoaded(SoundKind kind) const
{
    return m_loaded & bit(kind);
}

void SoundPlayer::play(SoundKind kind, double delaySeconds)
{
    if (!soundsEnabled())
        return;
    if (delaySeconds > 0 && std::isfinite(delaySeconds)) {
        const auto delay = std::chrono::milliseconds(std::llround(delaySeconds * 1000.0));
        // `this` as context: the job is dropped if the player is destroyed first.
        QTimer::singleShot(delay, Qt::PreciseTimer, this, [this, kind] { playNow(kind); });
        return;
    }
    playNow(kind);
}

void SoundPlayer::playNow(SoundKind kind)
{
    if (isLoaded(kind))
        m_sounds->play(kind); // each play is a fresh playback, so repeats overlap
}

void SoundPlayer::alertHaptic()
{
    m_haptics->perform(HapticPattern::generic);
    QTimer::singleShot(alertHapticGap, Qt::PreciseTimer, this,
                       [this] { m_haptics->perform(HapticPattern::generic); });
}

void SoundPlayer::haptic(HapticPattern pattern)
{
    m_haptics->perform(pattern);
}

} // namespace tsav
