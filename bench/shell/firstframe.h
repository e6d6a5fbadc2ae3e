#pragma once
// The first-frame probe shared by the console's start-up probe and the trivial window it
// is compared with: the time from the spawner's clock reading (TSAV_SPAWN_NS, on
// CLOCK_MONOTONIC, so exec and dynamic loading count) to the moment the window's first
// paint has been flushed.

#include "../procstatus.h"

#include <QEvent>
#include <QObject>
#include <QTimer>

#include <cstdio>
#include <ctime>
#include <functional>

namespace tsav::bench {

inline qint64 monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// When the spawner started this process, or now when it did not say.
inline qint64 spawnNs()
{
    const QByteArray s = qgetenv("TSAV_SPAWN_NS");
    return s.isEmpty() ? monotonicNs() : s.toLongLong();
}

// Prints "first_paint_ms=<ms>" when the watched window's first paint pass starts and
// "first_frame_ms=<ms>" once its first paint has reached the screen, with the memory held
// by then; then calls `then`.
class FirstFrame : public QObject {
public:
    FirstFrame(qint64 spawnNs, std::function<void()> then) : m_spawnNs(spawnNs), m_then(std::move(then)) {}
    bool eventFilter(QObject *o, QEvent *e) override
    {
        if (e->type() == QEvent::Paint && !m_done) {
            m_done = true;
            // When the window's first paint pass starts: what comes before it is start-up
            // and layout, what comes after is painting and the flush.
            std::printf("first_paint_ms=%.1f\n", double(monotonicNs() - m_spawnNs) / 1e6);
            // The backing store is flushed right after this paint pass returns.
            QTimer::singleShot(0, this, [this] {
                std::printf("first_frame_ms=%.1f\n", double(monotonicNs() - m_spawnNs) / 1e6);
                // Memory written for the first time costs a page fault each 4 KiB (on a
                // virtual machine, one in the guest and one in the host): what the process
                // holds by its first frame is part of what that frame cost.
                std::printf("first_frame_rss_kb=%lld anon_kb=%lld\n", statusKb("VmRSS"), statusKb("RssAnon"));
                std::fflush(stdout);
                m_then();
            });
        }
        return QObject::eventFilter(o, e);
    }

private:
    qint64 m_spawnNs;
    std::function<void()> m_then;
    bool m_done = false;
};

} // namespace tsav::bench
