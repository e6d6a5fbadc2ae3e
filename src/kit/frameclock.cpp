#include "kit/frameclock.h"

#include <QEvent>
#include <QHash>
#include <QSet>
#include <QTimer>

#include <chrono>
#include <cmath>

namespace tsav {

namespace {
std::optional<double> g_frozen;

bool viewIsLive(const QWidget *view)
{
    if (!view || !view->isVisible())
        return false;
    const QWidget *win = view->window();
    return !(win->windowState() & Qt::WindowMinimized);
}
} // namespace

struct FrameClock::Private : public QObject {
    struct Subscriber {
        QPointer<QWidget> view;
        int maxFps = 30;
        std::function<void(double)> onFrame;
        double lastDelivered = -1e18;
    };

    FrameClock *q = nullptr;
    QTimer timer;
    QHash<QWidget *, Subscriber> subscribers;
    QSet<QWidget *> watchedWindows;
    bool manual = false;

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        switch (event->type()) {
        case QEvent::Show:
        case QEvent::Hide:
        case QEvent::WindowStateChange:
        case QEvent::ParentChange:
            // Visibility changed somewhere along a subscriber's chain: re-decide.
            QTimer::singleShot(0, q, [this] { reschedule(); });
            break;
        default:
            break;
        }
        return QObject::eventFilter(watched, event);
    }

    void watchWindowOf(QWidget *view)
    {
        QWidget *win = view->window();
        if (win && !watchedWindows.contains(win)) {
            watchedWindows.insert(win);
            win->installEventFilter(this);
            QObject::connect(win, &QObject::destroyed, this,
                             [this, win] { watchedWindows.remove(win); });
        }
    }

    // Timer period: the fastest rate any live subscriber asks for; stopped when none.
    void reschedule()
    {
        int fps = 0;
        for (auto it = subscribers.begin(); it != subscribers.end();) {
            if (!it->view) {
                it = subscribers.erase(it);
                continue;
            }
            watchWindowOf(it->view);
            if (viewIsLive(it->view))
                fps = std::max(fps, it->maxFps);
            ++it;
        }
        if (fps <= 0 || manual) {
            timer.stop();
            return;
        }
        const int interval = std::max(1, int(std::lround(1000.0 / fps)));
        if (!timer.isActive() || timer.interval() != interval)
            timer.start(interval);
    }

    void tick()
    {
        const double t = FrameClock::now();
        const double wall = manual ? t
                                   : std::chrono::duration<double>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count();
        // Copy the keys: a callback may subscribe, unsubscribe or delete views.
        const auto views = subscribers.keys();
        bool anyLive = false;
        for (QWidget *key : views) {
            auto it = subscribers.find(key);
            if (it == subscribers.end() || !it->view)
                continue;
            if (!viewIsLive(it->view))
                continue;
            anyLive = true;
            const double period = 1.0 / std::max(1, it->maxFps);
            // A little slack so timer jitter does not halve a subscriber's rate.
            if (wall - it->lastDelivered < period * 0.8)
                continue;
            it->lastDelivered = wall;
            auto onFrame = it->onFrame; // the entry may vanish during the call
            onFrame(t);
        }
        if (!anyLive)
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

void FrameClock::freeze(std::optional<double> t) { g_frozen = t; }
bool FrameClock::frozen() { return g_frozen.has_value(); }

void FrameClock::subscribe(QWidget *view, int maxFps, std::function<void(double)> onFrame)
{
    if (!view)
        return;
    const bool fresh = !d->subscribers.contains(view);
    auto &s = d->subscribers[view];
    s.view = view;
    s.maxFps = std::clamp(maxFps, 1, 240);
    s.onFrame = std::move(onFrame);
    if (fresh) {
        view->installEventFilter(d);
        connect(view, &QObject::destroyed, d, [this, view] {
            d->subscribers.remove(view);
            d->reschedule();
        });
    }
    d->reschedule();
}

void FrameClock::unsubscribe(QWidget *view)
{
    auto it = d->subscribers.find(view);
    if (it == d->subscribers.end())
        return;
    if (it->view) {
        it->view->removeEventFilter(d);
        disconnect(it->view, &QObject::destroyed, d, nullptr);
    }
    d->subscribers.erase(it);
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
        if (viewIsLive(s.view))
            ++n;
    return n;
}

bool FrameClock::isTicking() const { return d->timer.isActive(); }

} // namespace tsav
