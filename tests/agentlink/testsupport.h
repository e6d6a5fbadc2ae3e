#pragma once
// Shared helpers for the agent-link tests: short unique socket paths, and running a
// coroutine to completion on a local event loop with a watchdog.

#include <QCoreApplication>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include "../testbase.h"

#include <QCoroTask>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

namespace tsav::test {

// A scratch directory for sockets, homes and fake agents, outside the shared /tmp.
class ScratchDir {
public:
    ScratchDir() : m_dir(testDirTemplate(QStringLiteral("tsav"))) {}
    QString path(const QString &name = QStringLiteral("agent.sock")) const { return m_dir.filePath(name); }
    QString root() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
};

inline QCoreApplication &app()
{
    static int argc = 1;
    static char name[] = "agentlink_tests";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *instance = QCoreApplication::instance()
                                            ? QCoreApplication::instance()
                                            : new QCoreApplication(argc, argv);
    return *instance;
}

namespace detail {
// Parameters (not lambda captures) so that they live in the coroutine frame.
template <typename T>
QCoro::Task<> finish(QCoro::Task<T> task, std::optional<T> *result, bool *done, QEventLoop *loop)
{
    result->emplace(co_await std::move(task));
    *done = true;
    loop->quit();
}
inline QCoro::Task<> finishVoid(QCoro::Task<> task, bool *done, QEventLoop *loop)
{
    co_await std::move(task);
    *done = true;
    loop->quit();
}
inline void spin(QEventLoop &loop, const bool &done, std::chrono::milliseconds watchdog)
{
    if (!done) {
        QTimer::singleShot(watchdog, &loop, [&loop] { loop.quit(); });
        loop.exec();
    }
    if (!done) {
        ADD_FAILURE() << "task did not finish within the watchdog";
        std::abort(); // the coroutine still refers to this frame; stop rather than corrupt it
    }
}
} // namespace detail

// Runs the task on an event loop until it finishes; fails the test (instead of hanging)
// when it takes longer than the watchdog.
template <typename T>
T runTask(QCoro::Task<T> task, std::chrono::milliseconds watchdog = std::chrono::seconds(60))
{
    app();
    QEventLoop loop;
    std::optional<T> result;
    bool done = false;
    detail::finish(std::move(task), &result, &done, &loop);
    detail::spin(loop, done, watchdog);
    return std::move(*result);
}

inline void runTask(QCoro::Task<> task, std::chrono::milliseconds watchdog = std::chrono::seconds(60))
{
    app();
    QEventLoop loop;
    bool done = false;
    detail::finishVoid(std::move(task), &done, &loop);
    detail::spin(loop, done, watchdog);
}

// Spins the event loop until pred() holds or the watchdog fires; returns pred().
template <typename Pred>
bool waitUntil(Pred pred, std::chrono::milliseconds watchdog = std::chrono::seconds(30))
{
    app();
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(watchdog);
    while (!pred() && deadline.isActive())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return pred();
}

} // namespace tsav::test
