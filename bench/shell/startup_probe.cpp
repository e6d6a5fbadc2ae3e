// One console start-up, measured from inside: the real application object (client,
// supervisor, notifier, window, tray) is built and shown; the time is taken when the
// main window's first paint has been flushed (firstframe.h). The spawner passes its clock
// reading in TSAV_SPAWN_NS (CLOCK_MONOTONIC), so exec and dynamic loading are counted too.
//
//   tsav_startup_probe [--linger SECONDS [--scripted] | --serve]
//
// Prints "first_frame_ms=<ms>", with "shown_ms" (the window shown, before its first
// paint), "first_paint_ms" (the first paint pass starts), "first_pass …" (that pass by
// widget class) and the memory the process holds by then. When no agent socket exists
// under HOME, a scripted agent (small fixed replies) answers in-process; when one exists,
// the console adopts it as it would a running agent.
//  --linger: after that many more seconds "rss_kb=<kB> cpu_pct=<whole-process CPU over
//      the linger, % of one core>". The bundled agent is launched unless --scripted.
//  --serve: keeps running and answers one command per line on standard input:
//      "mark"      -> "mark wall_s=… rss_kb=… radar_fps=… dial_fps=MIN/MAX ticker_fps=…"
//                     (frames each instrument painted since the previous mark)
//      "tab NAME"  -> shows that tab, answers "tab NAME"
//      "choose NAME" -> chooses that tab as a click on its row would (the sidebar
//                     slides), answers "choose NAME"
//      "paints"    -> "paints n=… px=… repaints=… CLASS=COUNT/PIXELS …": paint events the
//                     widgets received since the previous "paints", by class, most pixels
//                     first, and the window's repaint passes (each one a flush)
//      "quit"      (or end of input) ends the process.

#include "firstframe.h"
#include "../paintcensus.h"

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

#include <algorithm>
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

qint64 rssKb() { return tsav::bench::statusKb("VmRSS"); }

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

// Answers "paints": the census is installed when first asked for (it sees every event).
class PaintCounter {
public:
    QString take()
    {
        if (!m_census) {
            m_census = new tsav::bench::PaintCensus(qApp);
            qApp->installEventFilter(m_census);
        }
        const auto c = m_census->take();
        QStringList parts;
        for (const auto &[name, t] : c.byType)
            parts << QStringLiteral("%1=%2/%3").arg(QString::fromLatin1(name)).arg(t.events).arg(t.pixels);
        return QStringLiteral("paints n=%1 px=%2 repaints=%3 %4")
            .arg(c.events)
            .arg(c.pixels)
            .arg(c.repaints)
            .arg(parts.join(u' '));
    }

private:
    tsav::bench::PaintCensus *m_census = nullptr;
};

// The first paint pass, widget by widget: the time from one paint event to the next is
// put down to the first (children get their own events, so it is the widget's own
// painting), and what follows the last one to the flush. A panel rendered into a dial's
// or the radar's first picture sends a paint event of its own: what the instrument does
// after it counts under the panel's class.
class FirstPassTimer : public QObject {
public:
    using QObject::QObject;

    // Called once the first frame has reached the screen:
    // "first_pass CLASS=MS … last+flush=MS", the twelve dearest classes.
    QString report(qint64 frameNs)
    {
        qApp->removeEventFilter(this);
        if (m_marks.isEmpty())
            return QStringLiteral("first_pass none");
        QHash<QByteArray, qint64> spent;
        for (qsizetype i = 0; i + 1 < m_marks.size(); ++i)
            spent[m_marks[i].second] += m_marks[i + 1].first - m_marks[i].first;
        QList<std::pair<QByteArray, qint64>> rows;
        for (auto it = spent.cbegin(); it != spent.cend(); ++it)
            rows.emplace_back(it.key(), it.value());
        std::sort(rows.begin(), rows.end(), [](const auto &a, const auto &b) { return a.second > b.second; });
        QStringList parts;
        for (const auto &[name, ns] : rows.mid(0, 12))
            parts << QStringLiteral("%1=%2").arg(QString::fromLatin1(name)).arg(double(ns) / 1e6, 0, 'f', 1);
        parts << QStringLiteral("last+flush=%1").arg(double(frameNs - m_marks.last().first) / 1e6, 0, 'f', 1);
        return QStringLiteral("first_pass ") + parts.join(u' ');
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && watched->isWidgetType())
            m_marks.append({monotonicNs(), tsav::bench::typeName(*watched)});
        return false;
    }

private:
    QList<std::pair<qint64, QByteArray>> m_marks;
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
    auto *paints = new PaintCounter;
    auto *notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, qApp);
    auto *buffer = new QByteArray;
    QObject::connect(notifier, &QSocketNotifier::activated, qApp, [&console, stats, paints, buffer, notifier] {
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
            } else if (line == QLatin1String("paints")) {
                reply(paints->take());
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
    auto *firstPass = new FirstPassTimer(&app);
    app.installEventFilter(firstPass);
    tsav::bench::FirstFrame probe(spawnNs, [&] {
        std::printf("%s\n", qPrintable(firstPass->report(monotonicNs())));
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
                std::printf("rss_kb=%lld cpu_pct=%.2f connected=%d animating=%d\n", rssKb(),
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
    std::printf("shown_ms=%.1f\n", double(monotonicNs() - spawnNs) / 1e6);
    return app.exec();
}
