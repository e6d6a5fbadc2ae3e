#include "alerts/feedback.h"

namespace tsav::feedback {

Feedback feedbackFor(Trigger trigger)
{
    using T = Trigger;
    using H = Haptic;
    using S = SoundKind;
    switch (trigger) {
    case T::sidebarTabChange: return {H::alignment, std::nullopt};
    case T::pillPrimary: return {H::levelChange, S::glass};
    case T::pillDanger: return {H::levelChange, S::funk};
    case T::pillGhost: return {H::levelChange, S::tink};
    case T::scanLaunch: return {H::levelChange, S::morse};
    case T::scanCleanResult: return {H::levelChange, S::glass};
    case T::testSound: return {H::levelChange, S::glass};
    case T::auditGood: return {H::levelChange, S::glass};
    case T::auditFair: return {H::levelChange, S::funk};
    case T::auditPoor: return {H::alert, S::sosumi};
    case T::threatSevere: return {H::alert, S::basso, true};
    case T::threatOther: return {H::alert, S::sosumi};
    case T::testAlert: return {H::alert, S::sosumi};
    case T::testCritical: return {H::alert, S::basso, true};
    case T::testHaptic: return {H::alert, std::nullopt};
    case T::settingChanged: return {H::alignment, S::pop};
    case T::soundsTurnedOn: return {H::levelChange, S::glass};
    case T::soundsTurnedOff: return {H::alignment, S::pop};
    }
    return {H::alignment, std::nullopt};
}

void give(Trigger trigger, SoundPlayer &player)
{
    const Feedback f = feedbackFor(trigger);
    switch (f.haptic) {
    case Haptic::alignment: player.haptic(HapticPattern::alignment); break;
    case Haptic::levelChange: player.haptic(HapticPattern::levelChange); break;
    case Haptic::alert: player.alertHaptic(); break;
    }
    if (f.sound) {
        player.play(*f.sound);
        if (f.repeatSound)
            player.play(*f.sound, repeatDelaySeconds);
    }
}

} // namespace tsav::feedback
