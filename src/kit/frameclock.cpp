#include "kit/frameclock.h"

#include <QEvent>
#include <QHash>
#include <QSet>
#include <QTimer>
#include <QVarLengthArray>

#include <chrono>
#include <cmath>
#include <limits>

namespace tsav {

namespace {
std::optional<double> g_frozen;
FrameClock *g_clock = nullptr; // once made

bool viewIsLive(const QWidget *view)
{
    if (!view || !view->isVisible())
        return false;
    const QWidget *win = view->window();
    return !(win->windowState() & Qt::WindowMinimized);
}

// Live, and some of it inside every ancestor up to its window: a view scrolled out of a
// scroll area's viewport, or below the window's edge, shows nothing and gets no frames.
bool viewIsOnScreen(const QWidget *view)
{
    if (!viewIsLive(view))
        return false;
    QRect r = view->rect();
    for (const QWidget *w = view; !w->isWindow(); w = w->parentWidget()) {
        const QWidget *parent = w->parentWidget();
        if (!parent)
            break;
        r = r.translated(w->pos()) & parent->rect();
        if (r.isEmpty())
            return false;
    }
    return true;
}
} // namespace

struct FrameClock::Private : public QObject {
    struct Subscriber {
        QPointer<QWidget> view;
        int maxFps = 30;
        int wakeFps = 0; // how often the clock must tick for it, below maxFps; 0: maxFps
        std::function<void(double)> onFrame;
        double lastDelivered = -1e18;
        QMetaObject::Connection gone;
        // A wake-up (wakeAt) rather than a rate: delivered once, at the first tick at or
        // after this time; +infinity once delivered.
        std::optional<double> due;
        bool chainWatched = false; // its view and ancestors carry the event filter
    };

    FrameClock *q = nullptr;
    QTimer timer;
    QHash<QWidget *, Subscriber> subscribers;
    QSet<QObject *> watched; // subscribers and their ancestors
    bool manual = false;
    int clockFps = 0;       // the timer's rate while it repeats, else 0
    quint64 tickIndex = 0;  // ticks since the clock was made
    bool reschedulePending = false;
    bool inTick = false;

    // The view's entry, made on first use and dropped with the view.
    Subscriber &entry(QWidget *view)
    {
        const bool fresh = !subscribers.contains(view);
        Subscriber &s = subscribers[view];
        s.view = view;
        if (fresh) {
            s.gone = connect(view, &QObject::destroyed, this, [this, view] {
                subscribers.remove(view);
                reschedule();
            });
        }
        return s;
    }

    bool eventFilter(QObject *, QEvent *event) override
    {
        switch (event->type()) {
        case QEvent::ParentChange:
            // New ancestors to watch: walk every chain again at the next decision.
            for (auto &s : subscribers)
                s.chainWatched = false;
            [[fallthrough]];
        case QEvent::Show:
        case QEvent::Hide:
        case QEvent::WindowStateChange:
        case QEvent::Move:
        case QEvent::Resize:
            // Visibility or position changed somewhere along a subscriber's chain (a
            // scroll area moved its content, a tab was switched): re-decide, once.
            if (!reschedulePending) {
                reschedulePending = true;
                QTimer::singleShot(0, q, [this] {
                    reschedulePending = false;
                    reschedule();
                });
            }
            break;
        default:
            break;
        }
        return false;
    }

    void watchChainOf(QWidget *view)
    {
        for (QWidget *w = view; w; w = w->parentWidget()) {
            if (watched.contains(w))
                continue;
            watched.insert(w);
            w->installEventFilter(this);
            QObject::connect(w, &QObject::destroyed, this, [this, w] { watched.remove(w); });
            if (w->isWindow())
                break;
        }
    }

    // Timer period: the fastest rate any subscriber on screen asks for; when only wake-ups
    // are on screen, one shot at the earliest of them; stopped when none.
    void reschedule()
    {
        int fps = 0;
        double earliest = std::numeric_limits<double>::infinity();
        const bool frozen = FrameClock::frozen();
        for (auto it = subscribers.begin(); it != subscribers.end();) {
            if (!it->view) {
                it = subscribers.erase(it);
                continue;
            }
            if (!it->chainWatched) {
                watchChainOf(it->view);
                it->chainWatched = true;
            }
            if (viewIsOnScreen(it->view)) {
                if (!it->due)
                    fps = std::max(fps, it->wakeFps > 0 ? it->wakeFps : it->maxFps);
                else if (frozen)
                    fps = std::max(fps, frozenCheckFps);
                else
                    earliest = std::min(earliest, *it->due);
            }
            ++it;
        }
        clockFps = fps;
        if (manual || (fps <= 0 && !std::isfinite(earliest))) {
            timer.stop();
            return;
        }
        if (fps > 0) {
            const int interval = std::max(1, int(std::lround(1000.0 / fps)));
            if (!timer.isActive() || timer.isSingleShot() || timer.interval() != interval) {
                timer.setSingleShot(false);
                timer.start(interval);
            }
            return;
        }
        // Rounded up, so that the shot comes at or after the time asked for.
        const double wait = std::clamp(earliest - FrameClock::now(), 0.0, 3600.0);
        timer.setSingleShot(true);
        timer.start(std::max(1, int(std::ceil(wait * 1000))));
    }

    void tick()
    {
        inTick = true;
        ++tickIndex;
        const double t = FrameClock::now();
        const double wall = manual ? t
                                   : std::chrono::duration<double>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count();
        // Copy the keys: a callback may subscribe, unsubscribe or delete views. (On the
        // stack: a window's few dozen subscribers, thirty times a second.)
        QVarLengthArray<QWidget *, 64> views;
        for (auto k = subscribers.keyBegin(); k != subscribers.keyEnd(); ++k)
            views.append(*k);
        bool anyLive = false;
        for (QWidget *key : views) {
            auto it = subscribers.find(key);
            if (it == subscribers.end() || !it->view)
                continue;
            if (!viewIsOnScreen(it->view))
                continue;
            anyLive = true;
            if (it->due) {
                if (t < *it->due)
                    continue;
                it->due = std::numeric_limits<double>::infinity();
                auto onDue = it->onFrame; // the callback usually sets the next wake-up
                onDue(t);
                continue;
            }
            const double period = 1.0 / std::max(1, it->maxFps);
            // A little slack so timer jitter does not halve a subscriber's rate.
            if (wall - it->lastDelivered < period * 0.8)
                continue;
            // A subscriber slower than the running clock takes every n-th tick, the same
            // ones as every other subscriber of its rate: a radar and a dial at rest at 30
            // frames a second, while a dial in motion has the clock tick 60 times, still
            // reach the screen together, one repaint and one trip to the server for both.
            // (Stepped by hand, the clock ticks at whatever pace the caller keeps.)
            const int every = !manual && clockFps > it->maxFps ? clockFps / std::max(1, it->maxFps) : 1;
            if (every > 1 && tickIndex % every != 0)
                continue;
            it->lastDelivered = wall;
            auto onFrame = it->onFrame; // the entry may vanish during the call
            onFrame(t);
        }
        inTick = false;
        // A shot for a wake-up is over: set the next one (or stop, with nothing live).
        if (!anyLive || !timer.isActive())
            reschedule();
    }
};

FrameClock &FrameClock::instance()
{
    static FrameClock clock;
    return clock;
}

FrameClock::FrameClock() : d(new Private)
{
    g_clock = this;
    d->q = this;
    d->setParent(this);
    d->timer.setTimerType(Qt::PreciseTimer);
    connect(&d->timer, &QTimer::timeout, this, [this] { d->tick(); });
}

double FrameClock::now()
{
    if (g_frozen)
        return *g_frozen;
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void FrameClock::freeze(std::optional<double> t)
{
    const bool wasFrozen = g_frozen.has_value();
    g_frozen = t;
    // Wake-ups are looked at by rate while frozen and by their time otherwise.
    if (g_clock && wasFrozen != t.has_value())
        g_clock->d->reschedule();
}
bool FrameClock::frozen() { return g_frozen.has_value(); }

void FrameClock::subscribe(QWidget *view, int maxFps, std::function<void(double)> onFrame)
{
    if (!view)
        return;
    auto &s = d->entry(view);
    s.maxFps = std::clamp(maxFps, 1, 240);
    s.wakeFps = 0;
    s.onFrame = std::move(onFrame);
    s.due.reset();
    d->reschedule();
}

void FrameClock::wakeAt(QWidget *view, double due, std::function<void(double)> onDue)
{
    if (!view)
        return;
    auto &s = d->entry(view);
    s.maxFps = frozenCheckFps;
    s.onFrame = std::move(onDue);
    s.due = due;
    // Within a tick the tick itself sets the timer when it is done.
    if (!d->inTick)
        d->reschedule();
}

void FrameClock::unsubscribe(QWidget *view)
{
    auto it = d->subscribers.find(view);
    if (it == d->subscribers.end())
        return;
    disconnect(it->gone);
    d->subscribers.erase(it);
    d->reschedule();
}

void FrameClock::setMaxFps(QWidget *view, int maxFps, int wakeFps)
{
    auto it = d->subscribers.find(view);
    maxFps = std::clamp(maxFps, 1, 240);
    wakeFps = wakeFps > 0 && wakeFps < maxFps ? wakeFps : 0;
    if (it == d->subscribers.end() || (it->maxFps == maxFps && it->wakeFps == wakeFps))
        return;
    it->maxFps = maxFps;
    it->wakeFps = wakeFps;
    d->reschedule();
}

void FrameClock::setManual(bool manual)
{
    d->manual = manual;
    for (auto &s : d->subscribers)
        s.lastDelivered = -1e18;
    d->reschedule();
}

void FrameClock::tickNow() { d->tick(); }

int FrameClock::activeSubscribers() const
{
    int n = 0;
    for (const auto &s : d->subscribers)
        if (viewIsOnScreen(s.view))
            ++n;
    return n;
}

bool FrameClock::isTicking() const { return d->timer.isActive(); }

} // namespace tsav
