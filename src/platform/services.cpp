#include "platform/services.h"

#include "platform/canberrasoundbackend.h"
#include "platform/desktopnotifications.h"
#include "platform/hapticperformer.h"
#include "platform/qtspeechservice.h"
#include "platform/settingspreferences.h"
#include "platform/unitylauncherbadge.h"

namespace tsav {

PlatformServices PlatformServices::real()
{
    // Never destroyed: the services outlive every object that holds them, including the
    // shared sound player, which lives until the process ends.
    static const PlatformServices services = [] {
        PlatformServices s;
        s.notifications = new DesktopNotifications;
        s.badge = new UnityLauncherBadge;
        s.sounds = new CanberraSoundBackend;
        s.speech = new QtSpeechService;
        s.haptics = new NullHapticPerformer;
        s.preferences = new SettingsPreferences;
        return s;
    }();
    return services;
}

} // namespace tsav
