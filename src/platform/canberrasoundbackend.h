#pragma once
// Feedback sounds from the freedesktop sound theme, played with libcanberra (its PulseAudio
// driver also reaches PipeWire's Pulse server). Every canberra call runs on one worker
// thread, so opening the sound server or streaming a file never stalls the caller.

#include "platform/soundbackend.h"

#include <QString>
#include <QStringList>

#include <array>
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

class CanberraSoundBackend final : public SoundBackend {
public:
    explicit CanberraSoundBackend(QStringList dataDirs = xdgDataDirs());
    ~CanberraSoundBackend() override;

    bool load(SoundKind kind) override;
    void play(SoundKind kind) override;

private:
    struct Worker;
    QStringList m_dataDirs;
    std::unique_ptr<Worker> m_worker;
};

} // namespace tsav
