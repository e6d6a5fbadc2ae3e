#pragma once
// Plays the console's short feedback sounds.

#include "platform/feedbackkinds.h"

namespace tsav {

class SoundBackend {
public:
    virtual ~SoundBackend() = default;
    // Prepares the kind's sound once; false when it cannot be found (the kind then stays
    // silent). Called for every kind, in case order, when the sound player is built.
    virtual bool load(SoundKind kind) = 0;
    // Starts one independent playback and returns at once; plays of the same kind overlap.
    // Without a sound server this is silent and reports nothing.
    virtual void play(SoundKind kind) = 0;
};

} // namespace tsav
