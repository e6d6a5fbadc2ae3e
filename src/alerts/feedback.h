#pragma once
// The single table that pairs each feedback trigger with its haptic and sound.

#include "alerts/soundplayer.h"

#include <optional>

namespace tsav::feedback {

enum class Trigger {
    sidebarTabChange,   // alignment, no sound
    pillPrimary,        // level change, glass
    pillDanger,         // level change, funk
    pillGhost,          // level change, tink
    scanLaunch,         // level change, morse
    scanCleanResult,    // level change, glass
    testSound,          // level change, glass
    auditGood,          // score >= 85: level change, glass
    auditFair,          // 60..84: level change, funk
    auditPoor,          // < 60: alert haptic, sosumi
    threatSevere,       // critical/high: alert haptic, basso now and after 0.18 s
    threatOther,        // alert haptic, sosumi
    testAlert,          // alert haptic, sosumi
    testCritical,       // alert haptic, basso now and after 0.18 s
    testHaptic,         // alert haptic only
    settingChanged,     // alignment, pop
    soundsTurnedOn,     // level change, glass
    soundsTurnedOff,    // alignment, pop (silent: sounds are off by then)
};

enum class Haptic { alignment, levelChange, alert };

struct Feedback {
    Haptic haptic;
    std::optional<SoundKind> sound;
    bool repeatSound = false; // the sound again 0.18 s later
};

// Seconds between the two sounds of a repeated (critical) alert.
inline constexpr double repeatDelaySeconds = 0.18;

// The table row of a trigger.
Feedback feedbackFor(Trigger trigger);

// Gives the trigger's feedback through the player (haptic first, then sound).
void give(Trigger trigger, SoundPlayer &player = SoundPlayer::shared());

} // namespace tsav::feedback
