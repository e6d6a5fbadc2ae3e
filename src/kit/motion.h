#pragma once
// Timing curves for animations that are pure functions of the elapsed time.

namespace tsav::motion {

// Step response of a spring released at rest, 0 at elapsed 0 and settling at 1, with
// the given response (period of the undamped spring, seconds) and damping fraction
// (below 1 it overshoots a little).
double spring(double elapsed, double response, double dampingFraction);

// The standard ease-out curve (cubic Bézier 0, 0, 0.58, 1) at x in [0, 1]; clamps x.
double easeOut(double x);

// Progress of an ease-out animation of `duration` seconds, `elapsed` seconds after it began.
inline double easeOutProgress(double elapsed, double duration)
{
    return duration <= 0 ? 1.0 : easeOut(elapsed / duration);
}

} // namespace tsav::motion
