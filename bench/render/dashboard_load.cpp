// Shows the dashboard at 1280 × 900 against a busy scripted agent (metrics that move on
// every poll, 180 events, ten threats) and measures, after a warm-up:
//  - the whole process's CPU time from /proc/self/stat over the measuring window (and
//    the X server's, when TSAV_XSERVER_PID names it), as a percentage of one core;
//  - each animated instrument's frames per second, longest and mean paint time;
//  - resident memory (VmRSS);
//  - CPU while the dashboard is hidden (as when another tab is shown) and while the
//    window is minimised.
// Usage: tsav_dashboard_load [seconds=60] [warmup=5] [idle-seconds=15]

#include "../procstatus.h"

#include "agentlink/agentclient.h"
#include "alerts/soundplayer.h"
#include "busyagent.h"
#include "kit/instruments/gaugeview.h"
#include "kit/instruments/instrument.h"
#include "kit/instruments/lineargauge.h"
#include "kit/instruments/radarview.h"
#include "kit/palette.h"
#include "kit/typography.h"
#include "platform/fakes.h"
#include "screens/dashboard.h"
#include "screens/ticker.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPainter>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>
#include <unistd.h>

using namespace tsav;

namespace {

// utime + stime of a process, in seconds.
double cpuSeconds(const QString &pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = f.readAll();
    const qsizetype close = line.lastIndexOf(')');
    const QList<QByteArray> fields = line.mid(close + 2).split(' ');
    // Fields after the name: state is [0]; utime and stime are the 14th and 15th of the
    // whole line, i.e. [11] and [12] here.
    if (fields.size() < 13)
        return -1;
    return (fields[11].toDouble() + fields[12].toDouble()) / double(sysconf(_SC_CLK_TCK));
}

QString rssText()
{
    const qint64 kb = tsav::bench::statusKb("VmRSS");
    return kb < 0 ? QStringLiteral("?") : QStringLiteral("%1 kB").arg(kb);
}

// Runs the event loop (blocking between events, as the application does) for `seconds`.
void wait(double seconds)
{
    QEventLoop loop;
    QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

class Backdrop : public QWidget {
protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        QLinearGradient g(0, 0, 0, height());
        g.setColorAt(0, palette::backgroundTop);
        g.setColorAt(1, palette::backgroundBottom);
        p.fillRect(rect(), g);
    }
};

struct Window {
    double cpu0, x0, wall0;
};

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    fonts::ensureLoaded();
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60;
    const double warmup = argc > 2 ? std::atof(argv[2]) : 5;
    const double idle = argc > 3 ? std::atof(argv[3]) : 15;
    const QString self = QString::number(getpid());
    const QString xserver = qEnvironmentVariable("TSAV_XSERVER_PID");

    QTemporaryDir dir(QStringLiteral("/tmp/tsav-load-XXXXXX"));
    const QString socketPath = dir.filePath(QStringLiteral("agent.sock"));
    ScriptedPeer peer(socketPath);
    int variant = 0;
    peer.loadDataObject(test::busyAgentData(QDateTime::currentMSecsSinceEpoch() / 1000.0, variant));
    QTimer moving;
    QObject::connect(&moving, &QTimer::timeout, [&] {
        peer.loadDataObject(test::busyAgentData(QDateTime::currentMSecsSinceEpoch() / 1000.0, ++variant));
    });
    moving.start(2000);

    RecordingServices rec;
    SoundPlayer player(&rec.sounds, &rec.haptics, &rec.preferences);
    SoundPlayer::installShared(&player);
    AgentClient client(socketPath);
    client.start();

    Backdrop window;
    auto *layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    auto *view = new DashboardView(ScreenContext{&client, nullptr, &player}, &window);
    layout->addWidget(view);
    window.resize(1280, 900);
    window.show();

    wait(warmup);
    const QList<Instrument *> instruments = view->findChildren<Instrument *>();
    QHash<Instrument *, quint64> frames0;
    QHash<Instrument *, qint64> ns0;
    qint64 longestWarmup = 0;
    QString longestWarmupName;
    for (Instrument *i : instruments) {
        if (i->longestPaintNs() > longestWarmup) {
            longestWarmup = i->longestPaintNs();
            longestWarmupName = QString::fromLatin1(i->metaObject()->className());
        }
        i->resetLongestPaint();
        frames0[i] = i->framesPainted();
        ns0[i] = i->totalPaintNs();
    }
    QElapsedTimer wall;
    wall.start();
    const double cpu0 = cpuSeconds(self), x0 = xserver.isEmpty() ? 0 : cpuSeconds(xserver);
    wait(seconds);
    const double elapsed = wall.elapsed() / 1000.0;
    const double cpu = cpuSeconds(self) - cpu0;
    const double x = xserver.isEmpty() ? 0 : cpuSeconds(xserver) - x0;

    std::printf("dashboard shown, %.1f s after %.1f s warm-up, %d polls\n", elapsed, warmup, variant);
    std::printf("  console CPU: %.2f %% of one core\n", 100 * cpu / elapsed);
    if (!xserver.isEmpty())
        std::printf("  X server CPU: %.2f %% of one core (together %.2f %%)\n", 100 * x / elapsed,
                    100 * (cpu + x) / elapsed);
    std::printf("  resident memory: %s\n", qPrintable(rssText()));
    std::printf("  %-28s %8s %10s %12s %10s\n", "instrument", "max fps", "fps", "longest ms", "mean us");
    qint64 longest = 0;
    for (Instrument *i : instruments) {
        if (!i->isVisible())
            continue;
        const quint64 n = i->framesPainted() - frames0[i];
        const qint64 ns = i->totalPaintNs() - ns0[i];
        longest = std::max(longest, i->longestPaintNs());
        QString name = QString::fromLatin1(i->metaObject()->className()).remove(QStringLiteral("tsav::"));
        if (auto *g = qobject_cast<GaugeView *>(i))
            name += QStringLiteral(" ") + g->spec().title;
        if (auto *b = qobject_cast<LinearGauge *>(i))
            name += QStringLiteral(" ") + b->spec().title;
        std::printf("  %-28s %8d %10.1f %12.3f %10.1f\n", qPrintable(name), i->maxFps(), n / elapsed,
                    i->longestPaintNs() / 1e6, n ? ns / 1e3 / double(n) : 0.0);
    }
    std::printf("  longest instrument paint: %.3f ms (during the warm-up, caches being built: %.3f ms, %s)\n",
                longest / 1e6, longestWarmup / 1e6, qPrintable(longestWarmupName));

    // Scrolled to the bottom: the bar gauges, live charts, heatmap and ticker in view.
    {
        view->verticalScrollBar()->setValue(view->verticalScrollBar()->maximum());
        wait(2);
        for (Instrument *i : instruments) {
            i->resetLongestPaint();
            frames0[i] = i->framesPainted();
            ns0[i] = i->totalPaintNs();
        }
        const double span = std::max(5.0, seconds / 2);
        const double c0 = cpuSeconds(self), xs0 = xserver.isEmpty() ? 0 : cpuSeconds(xserver);
        wall.restart();
        wait(span);
        const double e = wall.elapsed() / 1000.0;
        std::printf("dashboard scrolled to the bottom, %.1f s: console %.2f %%", e, 100 * (cpuSeconds(self) - c0) / e);
        if (!xserver.isEmpty())
            std::printf(", X server %.2f %%", 100 * (cpuSeconds(xserver) - xs0) / e);
        std::printf(" of one core\n");
        for (Instrument *i : instruments) {
            const quint64 n = i->framesPainted() - frames0[i];
            if (!n)
                continue;
            const qint64 ns = i->totalPaintNs() - ns0[i];
            QString name = QString::fromLatin1(i->metaObject()->className()).remove(QStringLiteral("tsav::"));
            if (auto *b = qobject_cast<LinearGauge *>(i))
                name += QStringLiteral(" ") + b->spec().title;
            if (auto *g = qobject_cast<GaugeView *>(i))
                name += QStringLiteral(" ") + g->spec().title;
            std::printf("  %-28s %8d %10.1f %12.3f %10.1f\n", qPrintable(name), i->maxFps(), n / e,
                        i->longestPaintNs() / 1e6, ns / 1e3 / double(n));
        }
        view->verticalScrollBar()->setValue(0);
    }

    // Another tab shown: the dashboard is hidden, polling goes on.
    view->hide();
    wait(1);
    double c0 = cpuSeconds(self), xs0 = xserver.isEmpty() ? 0 : cpuSeconds(xserver);
    wall.restart();
    wait(idle);
    double e = wall.elapsed() / 1000.0;
    std::printf("dashboard hidden: console %.2f %%", 100 * (cpuSeconds(self) - c0) / e);
    if (!xserver.isEmpty())
        std::printf(", X server %.2f %%", 100 * (cpuSeconds(xserver) - xs0) / e);
    std::printf(" of one core over %.1f s\n", e);

    view->show();
    window.showMinimized();
    wait(1);
    c0 = cpuSeconds(self);
    xs0 = xserver.isEmpty() ? 0 : cpuSeconds(xserver);
    wall.restart();
    wait(idle);
    e = wall.elapsed() / 1000.0;
    std::printf("window minimised: console %.2f %%", 100 * (cpuSeconds(self) - c0) / e);
    if (!xserver.isEmpty())
        std::printf(", X server %.2f %%", 100 * (cpuSeconds(xserver) - xs0) / e);
    std::printf(" of one core over %.1f s\n", e);

    client.stop();
    SoundPlayer::installShared(nullptr);
    return 0;
}
