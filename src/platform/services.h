#pragma once
// The platform services the console uses, chosen in one place.

namespace tsav {

class NotificationService;
class LauncherBadge;
class SoundBackend;
class SpeechService;
class HapticPerformer;
class Preferences;

struct PlatformServices {
    NotificationService *notifications = nullptr;
    LauncherBadge *badge = nullptr;
    SoundBackend *sounds = nullptr;
    SpeechService *speech = nullptr;
    HapticPerformer *haptics = nullptr;
    Preferences *preferences = nullptr;

    // The real Linux services: freedesktop notifications and the Unity launcher entry on
    // the session bus, libcanberra, speech-dispatcher, no haptics, QSettings. Built once
    // on first call (needs the application object) and kept for the life of the process.
    static PlatformServices real();
};

} // namespace tsav
