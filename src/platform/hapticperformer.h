#pragma once
// Haptic pulses. Linux desktops have no trackpad haptics API, so the program's
// performer does nothing; tests use a recording one.

#include "platform/feedbackkinds.h"

namespace tsav {

class HapticPerformer {
public:
    virtual ~HapticPerformer() = default;
    // One pulse now.
    virtual void perform(HapticPattern pattern) = 0;
};

class NullHapticPerformer final : public HapticPerformer {
public:
    void perform(HapticPattern) override {}
};

} // namespace tsav
