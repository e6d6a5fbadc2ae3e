#pragma once
// One frame clock drives every animation in the window.
//
// Animated views subscribe with the most frames per second they want; the clock ticks
// only while at least one subscriber is on screen (visible, in a window that is not
// minimised, and not scrolled or clipped out of view), at the fastest rate one of those
// asks for, and delivers each subscriber at most its own rate. Subscribers that share a
// rate are served by the same ticks, so their frames reach the screen together. Views paint from FrameClock::now(),
// never from a clock of their own, so a snapshot (or a test) can fix the time.

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <optional>

namespace tsav {

class FrameClock : public QObject {
    Q_OBJECT
public:
    static FrameClock &instance();

    // Current animation time in seconds (any fixed epoch; Unix seconds here), or the
    // frozen time when one is set.
    static double now();
    // Freezes the clock at t (seconds since the Unix epoch); nullopt unfreezes.
    static void freeze(std::optional<double> t);
    static bool frozen();

    // Calls onFrame(t) at most maxFps times a second while `view` is visible (and its
    // window is not minimised). The subscription ends with the view.
    void subscribe(QWidget *view, int maxFps, std::function<void(double)> onFrame);
    void unsubscribe(QWidget *view);
    // Changes a subscriber's rate (an instrument at rest needs fewer frames than one in
    // motion). A wakeFps below maxFps is as often as the clock needs to tick for this
    // view: ticking for it alone, the clock runs that slowly, while ticks it runs anyway
    // for faster views still reach it up to maxFps (0: maxFps).
    void setMaxFps(QWidget *view, int maxFps, int wakeFps = 0);
    // Calls onDue(t) once, at the first frame at or after the time `due` while `view` is on
    // screen: on a tick that other subscribers asked for when the clock runs anyway, else
    // by a timer set for that moment, so a view that changes a few times a second wakes
    // the event loop only then. Replaces the view's subscription or earlier wake-up. A
    // frozen clock reaches no time by itself: while it is frozen, the view is looked at
    // frozenCheckFps times a second instead (tests move the frozen time by hand).
    void wakeAt(QWidget *view, double due, std::function<void(double)> onDue);
    static constexpr int frozenCheckFps = 30;

    // Manual stepping (tests and benchmarks): the timer stays off and frames are delivered
    // only by tickNow(), each subscriber paced by now() (a frozen clock moved by hand)
    // instead of by the wall clock.
    void setManual(bool manual);
    void tickNow();

    // Number of subscribers on screen, that would tick now (tests and diagnostics).
    int activeSubscribers() const;
    // Whether the shared timer is running.
    bool isTicking() const;

private:
    FrameClock();
    struct Private;
    Private *d;
};

} // namespace tsav
