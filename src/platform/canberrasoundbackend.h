#pragma once
// Feedback sounds from the freedesktop sound theme, played with libcanberra (its PulseAudio
// driver also reaches PipeWire's Pulse server) by tessaly-sound, a helper program beside
// the executable. A worker thread starts the helper at a sound, hands it the sounds that
// follow, and lets it go once none has come for a while: the sound server's libraries and
// threads leave with it instead of staying in the console for good, and the caller never
// waits for a process to start or a server to answer.

#include "platform/soundbackend.h"

#include <QString>
#include <QStringList>

#include <array>
#include <chrono>
#include <memory>

namespace tsav {

// The theme event id each kind plays. Ten distinct files of sound-theme-freedesktop.
struct ThemeSound {
    SoundKind kind;
    const char *eventId;
};
inline constexpr std::array<ThemeSound, soundKindCount> themeSounds = {{
    {SoundKind::tink, "audio-volume-change"}, // light click
    {SoundKind::pop, "device-added"},         // light click
    {SoundKind::glass, "complete"},
    {SoundKind::funk, "suspend-error"},       // warning
    {SoundKind::sosumi, "bell"},              // warning
    {SoundKind::basso, "dialog-error"},
    {SoundKind::morse, "service-login"},      // start cue
    {SoundKind::frog, "message-new-instant"},
    {SoundKind::ping, "message"},
    {SoundKind::purr, "dialog-information"},
}};
const char *themeEventId(SoundKind kind);

// Folders searched for "sounds/<theme>/stereo/<id>.{oga,ogg,wav}": $XDG_DATA_HOME (or
// ~/.local/share), then $XDG_DATA_DIRS (or /usr/local/share:/usr/share).
QStringList xdgDataDirs();
// The file of a theme sound, or an empty string when no folder has it.
QString findThemeSound(const QString &eventId, const QStringList &dataDirs,
                       const QString &theme = QStringLiteral("freedesktop"));

// tessaly-sound in the folder of the running executable.
QString soundHelperPath();

class CanberraSoundBackend final : public SoundBackend {
public:
    explicit CanberraSoundBackend(QStringList dataDirs = xdgDataDirs(),
                                  QString helper = soundHelperPath(),
                                  std::chrono::milliseconds idle = std::chrono::seconds(30));
    ~CanberraSoundBackend() override;

    bool load(SoundKind kind) override;
    void play(SoundKind kind) override;

private:
    struct Worker;
    QStringList m_dataDirs;
    std::unique_ptr<Worker> m_worker;
};

} // namespace tsav
