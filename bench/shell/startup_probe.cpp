// One console start-up, measured from inside: the real application object (client,
// supervisor, notifier, window, tray) is built and shown; the time is taken when the
// main window's first paint has been flushed (firstframe.h). The spawner passes its clock
// reading in TSAV_SPAWN_NS (CLOCK_MONOTONIC), so exec and dynamic loading are counted too.
//
//   tsav_startup_probe [--linger SECONDS [--scripted] | --serve]
//
// Prints "first_frame_ms=<ms>". When no agent socket exists under HOME, a scripted agent
// (small fixed replies) answers in-process; when one exists, the console adopts it as it
// would a running agent.
//  --linger: after that many more seconds "rss_kb=<kB> cpu_pct=<whole-process CPU over
//      the linger, % of one core>". The bundled agent is launched unless --scripted.
//  --serve: keeps running and answers one command per line on standard input:
//      "mark"      -> "mark wall_s=… rss_kb=… radar_fps=… dial_fps=MIN/MAX ticker_fps=…"
//                     (frames each instrument painted since the previous mark)
//      "tab NAME"  -> shows that tab, answers "tab NAME"
//      "choose NAME" -> chooses that tab as a click on its row would (the sidebar
//                     slides), answers "choose NAME"
//      "quit"      (or end of input) ends the process.

#include "firstframe.h"

#include "agentlink/agentclient.h"
#include "agentlink/scriptedpeer.h"
#include "agentlink/transport.h"
#include "app/application.h"
#include "app/darkstyle.h"
#include "app/mainwindow.h"
#include "app/tab.h"
#include "kit/frameclock.h"
#include "kit/instruments/gaugeview.h"
#include "kit/instruments/instrument.h"
#include "kit/instruments/radarview.h"
#include "screens/ticker.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

using tsav::bench::monotonicNs;

namespace {

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

// Frames painted by the window's instruments between two marks.
class FrameStats {
public:
    explicit FrameStats(QWidget *window) : m_window(window) { mark(); }

    QString mark()
    {
        const qint64 now = monotonicNs();
        const double wall = double(now - m_at) / 1e9;
        double radar = 0, ticker = 0, dialMin = -1, dialMax = 0;
        QHash<const tsav::Instrument *, quint64> frames;
        for (tsav::Instrument *i : m_window->findChildren<tsav::Instrument *>()) {
            frames.insert(i, i->framesPainted());
            const auto it = m_frames.constFind(i);
            if (it == m_frames.constEnd() || !i->isVisible())
                continue;
            const double fps = double(i->framesPainted() - *it) / wall;
            if (qobject_cast<tsav::RadarView *>(i))
                radar = fps;
            else if (qobject_cast<tsav::TickerStrip *>(i))
                ticker = fps;
            else if (qobject_cast<tsav::GaugeView *>(i)) {
                dialMin = dialMin < 0 ? fps : std::min(dialMin, fps);
                dialMax = std::max(dialMax, fps);
            }
        }
        m_frames = frames;
        m_at = now;
        return QStringLiteral("mark wall_s=%1 rss_kb=%2 radar_fps=%3 dial_fps=%4/%5 ticker_fps=%6")
            .arg(wall, 0, 'f', 2)
            .arg(rssKb())
            .arg(radar, 0, 'f', 1)
            .arg(std::max(0.0, dialMin), 0, 'f', 1)
            .arg(dialMax, 0, 'f', 1)
            .arg(ticker, 0, 'f', 1);
    }

private:
    QPointer<QWidget> m_window;
    QHash<const tsav::Instrument *, quint64> m_frames;
    qint64 m_at = monotonicNs();
};

void reply(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

// Reads commands from standard input, one per line.
void serve(tsav::TessalyAntivirusApp &console)
{
    auto *stats = new FrameStats(console.mainWindow());
    auto *notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, qApp);
    auto *buffer = new QByteArray;
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [&console, stats, buffer, notifier] {
        char chunk[256];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) {
            notifier->setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        buffer->append(chunk, n);
        qsizetype nl;
        while ((nl = buffer->indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(buffer->left(nl)).trimmed();
            buffer->remove(0, nl + 1);
            if (line == QLatin1String("mark")) {
                reply(stats->mark());
            } else if (line.startsWith(QLatin1String("tab "))) {
                const auto tab = tsav::tabFromRawValue(line.mid(4));
                if (tab)
                    console.mainWindow()->setTab(*tab, false);
                reply(tab ? line : QStringLiteral("error unknown tab"));
            } else if (line.startsWith(QLatin1String("choose "))) {
                const auto tab = tsav::tabFromRawValue(line.mid(7));
                if (tab)
                    console.mainWindow()->chooseTab(*tab);
                reply(tab ? line : QStringLiteral("error unknown tab"));
            } else if (line == QLatin1String("quit")) {
                QCoreApplication::quit();
            }
        }
    });
    reply(QStringLiteral("ready"));
}

} // namespace

int main(int argc, char **argv)
{
    const qint64 spawnNs = tsav::bench::spawnNs();
    tsav::TessalyAntivirusApp::prepareProcess();
    QApplication app(argc, argv);
    const qint64 appNs = monotonicNs();
    double linger = 0;
    const QStringList args = QCoreApplication::arguments();
    if (const int i = int(args.indexOf(QStringLiteral("--linger"))); i >= 0)
        linger = args.value(i + 1).toDouble();
    const bool serving = args.contains(QStringLiteral("--serve"));
    tsav::applyDarkStyle(app);

    // An agent that already answers is adopted; otherwise, unless the bundled one is to be
    // launched (--linger without --scripted), a scripted one answers in-process.
    std::unique_ptr<tsav::ScriptedPeer> peer;
    const bool agentRunning = QFileInfo::exists(tsav::agentSocketPath());
    if (!agentRunning && (linger <= 0 || args.contains(QStringLiteral("--scripted")))) {
        peer = std::make_unique<tsav::ScriptedPeer>(tsav::agentSocketPath());
        peer->loadDataObject(tsav::ScriptedPeer::sampleDataObject());
    }

    const qint64 styleNs = monotonicNs();
    tsav::TessalyAntivirusApp console;
    const qint64 consoleNs = monotonicNs();
    std::printf("qapplication_ms=%.1f style_ms=%.1f console_objects_ms=%.1f\n",
                double(appNs - spawnNs) / 1e6, double(styleNs - appNs) / 1e6,
                double(consoleNs - styleNs) / 1e6);
    tsav::bench::FirstFrame probe(spawnNs, [&] {
        if (serving) {
            serve(console);
            return;
        }
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
