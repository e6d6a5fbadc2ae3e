// Shell benchmarks. Run under Xvfb (xvfb-run -a) for X11 rendering; without a display
// the offscreen platform is used.
//
// StartupToFirstFrame: spawns tsav_startup_probe and takes its own report (exec to the
// first flushed frame of the main window). "cold" gives each run fresh, empty user
// cache and config directories; "warm" reuses one that earlier runs have filled.
//
// IdleBreathingPanels: a window of sidebar and eight panels left alone; reports the
// whole process's CPU time (all threads, getrusage) per second of wall time, in % of
// one core, as the counter cpu_pct.

#include "app/darkstyle.h"
#include "app/sidebar.h"
#include "kit/label.h"
#include "kit/palette.h"
#include "kit/tspanel.h"
#include "kit/typography.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <benchmark/benchmark.h>

#include <ctime>
#include <sys/resource.h>

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
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// One probe run; the first frame in seconds, or a negative number on failure.
double runProbe(const QString &home)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/.cache"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.insert(QStringLiteral("TSAV_SPAWN_NS"), QString::number(monotonicNs()));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(TSAV_STARTUP_PROBE), {});
    if (!p.waitForFinished(60000))
        return -1;
    const QByteArray out = p.readAllStandardOutput();
    const int i = int(out.indexOf("first_frame_ms="));
    if (i < 0)
        return -1;
    return out.mid(i + 15).split('\n').value(0).toDouble() / 1000.0;
}

void StartupToFirstFrame(benchmark::State &state, bool cold)
{
    QTemporaryDir warmHome;
    if (!cold)
        runProbe(warmHome.path()); // fill the caches once
    for (auto _ : state) {
        QTemporaryDir coldHome;
        const double s = runProbe(cold ? coldHome.path() : warmHome.path());
        if (s < 0) {
            state.SkipWithError("the probe did not report a frame");
            return;
        }
        state.SetIterationTime(s);
    }
}
BENCHMARK_CAPTURE(StartupToFirstFrame, cold, true)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(StartupToFirstFrame, warm, false)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

void IdleBreathingPanels(benchmark::State &state)
{
    QWidget window;
    window.resize(1180, 780);
    QPalette pal = window.palette();
    pal.setColor(QPalette::Window, tsav::palette::backgroundBottom);
    window.setPalette(pal);
    window.setAutoFillBackground(true);
    auto *row = new QHBoxLayout(&window);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(new tsav::Sidebar(tsav::ScreenContext{}));
    auto *grid = new QGridLayout;
    grid->setContentsMargins(20, 20, 20, 20);
    grid->setSpacing(16);
    for (int i = 0; i < 8; ++i) {
        auto *panel = new tsav::TSPanel;
        panel->addWidget(tsav::makeLabel(QStringLiteral("Panou %1 — ă â î ș ț").arg(i + 1),
                                         tsav::fonts::system(13), tsav::palette::textPrimary));
        panel->addWidget(tsav::makeLabel(QStringLiteral("Conținut static"), tsav::fonts::system(11),
                                         tsav::palette::textSecondary));
        grid->addWidget(panel, i / 2, i % 2);
    }
    row->addLayout(grid, 1);
    window.show();
    QTest::qWait(500);

    const int seconds = int(state.range(0));
    for (auto _ : state) {
        const double cpu0 = cpuSeconds();
        const qint64 t0 = monotonicNs();
        QTest::qWait(seconds * 1000);
        const double wall = double(monotonicNs() - t0) / 1e9;
        state.counters["cpu_pct"] = 100.0 * (cpuSeconds() - cpu0) / wall;
    }
}
BENCHMARK(IdleBreathingPanels)->Arg(20)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    tsav::applyDarkStyle(app);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
