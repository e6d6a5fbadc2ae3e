// One console start-up, measured from inside: the real application object (client,
// supervisor, notifier, window, tray) is built and shown; the time is taken when the
// main window's first paint has been flushed. The spawner passes its clock reading in
// TSAV_SPAWN_NS (CLOCK_MONOTONIC), so exec and dynamic loading are counted too.
//
//   tsav_startup_probe [--linger SECONDS [--scripted]]
//
// Prints "first_frame_ms=<ms>" and, with --linger, after that many more seconds
// "rss_kb=<kB> cpu_pct=<whole-process CPU over the linger, % of one core>". --scripted
// keeps the scripted agent (small fixed replies) instead of launching the bundled one.

#include "agentlink/agentclient.h"
#include "app/application.h"
#include "app/darkstyle.h"
#include "app/mainwindow.h"
#include "kit/frameclock.h"
#include "agentlink/scriptedpeer.h"
#include "agentlink/transport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTimer>

#include <cstdio>
#include <ctime>
#include <csignal>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

namespace {

qint64 monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u); // every thread of the process
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long rssKb()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

// Reports once, after the window's first paint has reached the screen.
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

// Ends the agent this process launched (its own children only, by pid).
void stopOwnChildren()
{
    const QString self = QString::number(getpid());
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray s = stat.readAll();
        const QList<QByteArray> fields = s.mid(s.lastIndexOf(')') + 2).split(' ');
        if (fields.value(1) == self.toLatin1())
            kill(pid.toInt(), SIGTERM);
    }
}

} // namespace

int main(int argc, char **argv)
{
    const qint64 spawnNs = qEnvironmentVariableIsSet("TSAV_SPAWN_NS")
                               ? qEnvironmentVariable("TSAV_SPAWN_NS").toLongLong()
                               : monotonicNs();
    QApplication app(argc, argv);
    const qint64 appNs = monotonicNs();
    double linger = 0;
    const QStringList args = QCoreApplication::arguments();
    if (const int i = int(args.indexOf(QStringLiteral("--linger"))); i >= 0)
        linger = args.value(i + 1).toDouble();
    tsav::applyDarkStyle(app);

    // Without --linger an agent is taken to be running already (a scripted one answers),
    // as on every start but the first; with it the bundled agent is launched and attached.
    std::unique_ptr<tsav::ScriptedPeer> peer;
    if (linger <= 0 || args.contains(QStringLiteral("--scripted"))) {
        peer = std::make_unique<tsav::ScriptedPeer>(tsav::agentSocketPath());
        peer->loadDataObject(tsav::ScriptedPeer::sampleDataObject());
    }

    const qint64 styleNs = monotonicNs();
    tsav::TessalyAntivirusApp console;
    const qint64 consoleNs = monotonicNs();
    std::printf("qapplication_ms=%.1f style_ms=%.1f console_objects_ms=%.1f\n",
                double(appNs - spawnNs) / 1e6, double(styleNs - appNs) / 1e6,
                double(consoleNs - styleNs) / 1e6);
    FirstFrame probe(spawnNs, [&] {
        if (linger <= 0) {
            QCoreApplication::quit();
            return;
        }
        // Let the agent attach and a few poll cycles pass, then measure the idle window.
        QTimer::singleShot(8000, [&] {
            const double cpu0 = cpuSeconds();
            const qint64 t0 = monotonicNs();
            QTimer::singleShot(int(linger * 1000), [&, cpu0, t0] {
                const double wall = double(monotonicNs() - t0) / 1e9;
                std::printf("rss_kb=%ld cpu_pct=%.2f connected=%d animating=%d\n", rssKb(),
                            100.0 * (cpuSeconds() - cpu0) / wall, int(console.agent().connected()),
                            tsav::FrameClock::instance().activeSubscribers());
                std::fflush(stdout);
                stopOwnChildren();
                QCoreApplication::quit();
            });
        });
    });
    console.mainWindow()->installEventFilter(&probe);
    console.showMainWindow();
    return app.exec();
}
