#pragma once
// The first-frame probe shared by the console's start-up probe and the trivial window it
// is compared with: the time from the spawner's clock reading (TSAV_SPAWN_NS, on
// CLOCK_MONOTONIC, so exec and dynamic loading count) to the moment the window's first
// paint has been flushed.

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

// Prints "first_frame_ms=<ms>" once, after the watched window's first paint has reached
// the screen, then calls `then`.
class FirstFrame : public QObject {
public:
    FirstFrame(qint64 spawnNs, std::function<void()> then) : m_spawnNs(spawnNs), m_then(std::move(then)) {}
    bool eventFilter(QObject *o, QEvent *e) override
    {
        if (e->type() == QEvent::Paint && !m_done) {
            m_done = true;
            // The backing store is flushed right after this paint pass returns.
            QTimer::singleShot(0, this, [this] {
                std::printf("first_frame_ms=%.1f\n", double(monotonicNs() - m_spawnNs) / 1e6);
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
