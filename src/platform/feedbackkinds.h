#pragma once
// The console's feedback vocabulary: the ten sounds and the three haptic patterns.

#include <iterator>

namespace tsav {

// Case order is fixed: it is also the order in which the sound cache is filled.
enum class SoundKind { tink, pop, glass, funk, sosumi, basso, morse, frog, ping, purr };
inline constexpr SoundKind allSoundKinds[] = {
    SoundKind::tink,  SoundKind::pop,   SoundKind::glass, SoundKind::funk, SoundKind::sosumi,
    SoundKind::basso, SoundKind::morse, SoundKind::frog,  SoundKind::ping, SoundKind::purr,
};
inline constexpr int soundKindCount = int(std::size(allSoundKinds));

enum class HapticPattern { generic, alignment, levelChange };

} // namespace tsav
