// The shared frame clock: ticks only for visible, unminimised subscribers, at most each
// subscriber's own rate; wake-ups that come once.
#include "kit/frameclock.h"

#include <QWidget>

#include <algorithm>

#include "../widgetsupport.h"

using namespace tsav;
using test::waitFor;

TEST(FrameClock, TicksOnlyWhileASubscriberIsVisible)
{
    auto &clock = FrameClock::instance();
    QWidget window;
    auto *view = new QWidget(&window);
    int frames = 0;
    clock.subscribe(view, 30, [&](double) { ++frames; });
    QTest::qWait(100);
    EXPECT_EQ(frames, 0);
    EXPECT_FALSE(clock.isTicking());

    window.show();
    ASSERT_TRUE(waitFor([&] { return frames >= 3; }));
    EXPECT_EQ(clock.activeSubscribers(), 1);

    window.hide();
    ASSERT_TRUE(waitFor([&] { return !clock.isTicking(); }));
    const int stopped = frames;
    QTest::qWait(150);
    EXPECT_EQ(frames, stopped);

    // A hidden parent hides the view too.
    window.show();
    ASSERT_TRUE(waitFor([&] { return clock.isTicking(); }));
    view->hide();
    ASSERT_TRUE(waitFor([&] { return !clock.isTicking(); }));
    clock.unsubscribe(view);
}

TEST(FrameClock, MinimisedWindowsDoNotTick)
{
    auto &clock = FrameClock::instance();
    QWidget window;
    int frames = 0;
    clock.subscribe(&window, 30, [&](double) { ++frames; });
    window.show();
    ASSERT_TRUE(waitFor([&] { return frames > 0; }));
    window.setWindowState(Qt::WindowMinimized);
    ASSERT_TRUE(waitFor([&] { return !clock.isTicking(); }));
    EXPECT_EQ(clock.activeSubscribers(), 0);
    window.setWindowState(Qt::WindowNoState);
    ASSERT_TRUE(waitFor([&] { return clock.isTicking(); }));
    clock.unsubscribe(&window);
}

TEST(FrameClock, EachSubscriberGetsAtMostItsOwnRate)
{
    auto &clock = FrameClock::instance();
    QWidget window;
    auto *fast = new QWidget(&window), *slow = new QWidget(&window);
    int fastFrames = 0, slowFrames = 0;
    clock.subscribe(fast, 60, [&](double) { ++fastFrames; });
    clock.subscribe(slow, 4, [&](double) { ++slowFrames; });
    window.show();
    ASSERT_TRUE(waitFor([&] { return fastFrames >= 40; }));
    // 40 fast frames take at least ~0.66 s; the slow one may have had at most ~4 a second.
    EXPECT_LE(slowFrames, fastFrames / 5 + 2);
    EXPECT_GE(slowFrames, 1);
    clock.unsubscribe(fast);
    clock.unsubscribe(slow);
}

// A view that needs few wake-ups (a dial at rest) slows the clock when it is alone, and
// still takes the ticks the clock runs for a faster view.
TEST(FrameClock, AViewsWakeRateSlowsTheClockOnlyWhenItIsAlone)
{
    auto &clock = FrameClock::instance();
    QWidget window;
    auto *rest = new QWidget(&window);
    std::vector<double> at;
    clock.subscribe(rest, 60, [&](double t) { at.push_back(t); });
    clock.setMaxFps(rest, 30, 5);
    window.show();
    ASSERT_TRUE(waitFor([&] { return at.size() >= 4; }));
    // Three intervals of a 5 Hz clock: 0.6 s (at 30 a second they would take 0.1 s).
    EXPECT_GE(at[3] - at[0], 0.45);

    auto *fast = new QWidget(&window);
    int fastFrames = 0;
    clock.subscribe(fast, 60, [&](double) { ++fastFrames; });
    fast->show();
    ASSERT_TRUE(waitFor([&] { return fastFrames >= 5; }));
    const size_t before = at.size();
    ASSERT_TRUE(waitFor([&] { return fastFrames >= 45; }));
    // 40 ticks at 60 a second: about 20 of them at 30 a second, where 5 a second gives 3.
    EXPECT_GE(at.size() - before, 10u);
    clock.unsubscribe(fast);
    clock.unsubscribe(rest);
}

// Two views at 30 frames a second, joined at ticks of different parity while a third
// has the clock tick 60 times a second, still get the same ticks: their frames go to the
// screen in one repaint, not in two.
TEST(FrameClock, SubscribersOfOneRateShareTicksUnderAFasterClock)
{
    auto &clock = FrameClock::instance();
    QWidget window;
    auto *fast = new QWidget(&window), *a = new QWidget(&window), *b = new QWidget(&window);
    std::vector<double> atA, atB;
    int fastFrames = 0;
    clock.subscribe(fast, 60, [&](double) {
        ++fastFrames;
        if (fastFrames == 5)
            clock.subscribe(a, 30, [&](double t) { atA.push_back(t); });
        if (fastFrames == 6)
            clock.subscribe(b, 30, [&](double t) { atB.push_back(t); });
    });
    window.show();
    ASSERT_TRUE(waitFor([&] { return fastFrames >= 60; }));
    ASSERT_GE(atB.size(), 10u);
    // Every frame b got after its first, a got at the same tick (the same time).
    int shared = 0;
    for (size_t i = 1; i < atB.size(); ++i)
        shared += std::find(atA.begin(), atA.end(), atB[i]) != atA.end();
    EXPECT_EQ(shared, int(atB.size()) - 1);
    // And still at most its own rate (with the clock's slack for a late tick).
    EXPECT_LE(double(atA.size()), (atA.back() - atA.front()) * 30 / 0.8 + 1.5);
    clock.unsubscribe(fast);
    clock.unsubscribe(a);
    clock.unsubscribe(b);
}

TEST(FrameClock, SubscriptionsEndWithTheViewAndCallbacksMayDeleteViews)
{
    auto &clock = FrameClock::instance();
    QWidget window;
    auto *a = new QWidget(&window);
    auto *b = new QWidget(&window);
    int bFrames = 0;
    clock.subscribe(a, 60, [&](double) { delete b; b = nullptr; }); // b goes mid-tick
    clock.subscribe(b, 60, [&](double) { ++bFrames; });
    window.show();
    ASSERT_TRUE(waitFor([&] { return b == nullptr; }));
    delete a;
    ASSERT_TRUE(waitFor([&] { return !clock.isTicking(); }));
    EXPECT_EQ(clock.activeSubscribers(), 0);
}

TEST(FrameClock, AWakeUpComesOnceAtOrAfterItsTimeAndWakesNothingElse)
{
    auto &clock = FrameClock::instance();
    QWidget window;
    auto *view = new QWidget(&window);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    std::vector<double> calls;
    const double due = FrameClock::now() + 0.25;
    clock.wakeAt(view, due, [&](double t) { calls.push_back(t); });
    QTest::qWait(100);
    EXPECT_TRUE(calls.empty());
    ASSERT_TRUE(waitFor([&] { return !calls.empty(); }));
    EXPECT_GE(calls.front(), due);
    // Delivered: the clock rests, and it is not called again.
    ASSERT_TRUE(waitFor([&] { return !clock.isTicking(); }));
    QTest::qWait(150);
    EXPECT_EQ(calls.size(), 1u);

    // A wake-up that sets the next one keeps a slow chain going without a running rate.
    int chained = 0;
    std::function<void(double)> again = [&](double t) {
        if (++chained < 3)
            clock.wakeAt(view, t + 0.05, again);
    };
    clock.wakeAt(view, FrameClock::now() + 0.05, again);
    ASSERT_TRUE(waitFor([&] { return chained == 3; }));
    ASSERT_TRUE(waitFor([&] { return !clock.isTicking(); }));
    clock.unsubscribe(view);
}
