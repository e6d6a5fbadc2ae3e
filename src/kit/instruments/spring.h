#pragma once
// Closed-form damped springs.
//
// A spring is described by its response (the period of the undamped oscillation, in
// seconds) and its damping fraction (1 = critically damped). Its position at any time is
// computed from where it started, so an animation keeps only (start time, start value,
// start velocity, target) and no per-frame state.

namespace tsav {

struct SpringParams {
    double response = 0.55;
    double damping = 0.78;
};

// Offset from the target and velocity at time t after the start, for a spring that
// starts at offset x0 with velocity v0 (unit mass, stiffness (2π/response)²).
struct SpringState {
    double offset = 0;
    double velocity = 0;
};
SpringState springAt(SpringParams p, double x0, double v0, double t);

// A retargetable spring. retarget() starts a new segment from the current position and
// velocity, so the motion stays continuous when the target changes mid-flight.
class Spring {
public:
    explicit Spring(SpringParams p = {}, double initial = 0) : m_p(p), m_from(initial), m_to(initial) {}

    // Sets the target at time `now`. The first assignment (see snapTo) does not animate.
    void retarget(double target, double now);
    // Jumps to `value` with no motion.
    void snapTo(double value);

    double value(double now) const;
    double velocity(double now) const;
    double target() const { return m_to; }
    // True once position and velocity are within `epsilon` of rest at the target.
    bool settled(double now, double epsilon = 1e-3) const;

private:
    SpringParams m_p;
    double m_start = 0;    // time the current segment began
    double m_from = 0;     // position at m_start
    double m_velocity = 0; // velocity at m_start
    double m_to = 0;       // target
};

// Ease-out progress (cubic) of an animation of `duration` seconds started at `start`.
double easeOutProgress(double now, double start, double duration);

} // namespace tsav
