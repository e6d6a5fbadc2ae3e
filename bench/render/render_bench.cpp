// Per-frame paint cost of each instrument, as the window would pay it: the widget sits in
// a panel in a shown window (offscreen platform) and is repainted synchronously for each
// frame while the frozen clock advances by one 60th of a second. Time is the whole
// process's CPU time, so the raster painter's helper threads are counted too.

#include "kit/frameclock.h"
#include "kit/instruments/effects.h"
#include "kit/instruments/gaugeview.h"
#include "kit/instruments/lineargauge.h"
#include "kit/instruments/radarview.h"
#include "kit/palette.h"
#include "kit/tspanel.h"
#include "kit/typography.h"
#include "screens/ticker.h"

#include <QApplication>
#include <QSet>
#include <QThreadPool>
#include <QVBoxLayout>
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

using namespace tsav;
namespace pal = tsav::palette;

namespace {

constexpr double frame = 1.0 / 60;

struct Host {
    std::unique_ptr<QWidget> window = std::make_unique<QWidget>();
    TSPanel *panel = new TSPanel(window.get());
    explicit Host(QWidget *w, QSize size)
    {
        auto *l = new QVBoxLayout(window.get());
        l->setContentsMargins(0, 0, 0, 0);
        l->addWidget(panel);
        panel->addWidget(w);
        w->setFixedSize(size);
        window->show();
        QCoreApplication::processEvents();
    }
};

template <typename W>
void runFrames(benchmark::State &state, W *w, double start, double step)
{
    double t = start;
    FrameClock::freeze(t);
    w->repaint(); // first frame builds the caches
    const quint64 before = w->framesPainted();
    for (auto _ : state) {
        t += step;
        FrameClock::freeze(t);
        w->repaint();
    }
    state.counters["frames"] = double(w->framesPainted() - before);
    FrameClock::freeze(std::nullopt);
}

const gauge::Zones loadZones{{0, pal::accentGreen}, {0.55, pal::accentAmber}, {0.82, pal::accentRed}};

void BM_RadarFrame(benchmark::State &state)
{
    auto *r = new RadarView(state.range(0), 220, true, {});
    Host host(r, QSize(220, 220));
    runFrames(state, r, 1000, frame);
}
BENCHMARK(BM_RadarFrame)->Arg(0)->Arg(8)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

// The radar's first frame: every still layer, sprite and map built.
void BM_RadarFirstFrame(benchmark::State &state)
{
    FrameClock::freeze(1000);
    for (auto _ : state) {
        auto *r = new RadarView(3, 220, true, {});
        Host host(r, QSize(220, 220));
        r->repaint();
    }
    FrameClock::freeze(std::nullopt);
}
BENCHMARK(BM_RadarFirstFrame)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

// A dial's first frame in a colour no dial has shown yet: still image, arc layer (bloom
// and angle sort), tick sprite, tip and read-out glows all built.
void BM_GaugeFirstFrame(benchmark::State &state)
{
    FrameClock::freeze(2000);
    auto *g = new GaugeView(GaugeSpec{"System CPU", 41.9, 100, "%", "%.1f", std::nullopt, loadZones, false});
    Host host(g, g->sizeHint());
    int n = 0;
    for (auto _ : state) {
        // A colour no dial has shown yet, and a new read-out: nothing cached applies.
        ++n;
        g->setSpec(GaugeSpec{"System CPU", 41.9 + n % 50, 100, "%", "%.1f", std::nullopt,
                             {{0, QColor(n % 256, (n / 256) % 256, 200)}}, false});
        g->repaint();
    }
    FrameClock::freeze(std::nullopt);
}
BENCHMARK(BM_GaugeFirstFrame)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

// A dial between tick steps: one blit and the scan-line band.
void BM_GaugeFrameSteady(benchmark::State &state)
{
    auto *g = new GaugeView(GaugeSpec{"System CPU", 41.9, 100, "%", "%.1f", std::nullopt, loadZones, false});
    Host host(g, g->sizeHint());
    runFrames(state, g, 2000, 0.0); // same time: cached frame
}
BENCHMARK(BM_GaugeFrameSteady)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

// A dial at 60 frames a second of advancing time: ticks turn and the band moves.
void BM_GaugeFrameAnimated(benchmark::State &state)
{
    auto *g = new GaugeView(GaugeSpec{"System CPU", 41.9, 100, "%", "%.1f", std::nullopt, loadZones, false});
    Host host(g, g->sizeHint());
    runFrames(state, g, 2000, frame);
}
BENCHMARK(BM_GaugeFrameAnimated)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

// A dial whose value keeps changing: every 90 frames (1.5 s at 60 frames a second) it is
// set to another value and its spring moves arc, needle and read-out for most of them.
// The clock runs free for the change itself (under a frozen clock a change would settle
// at once) and is then stepped one frame at a time from the moment of the change.
void BM_GaugeFrameSpring(benchmark::State &state)
{
    auto *g = new GaugeView(GaugeSpec{"System CPU", 20, 100, "%", "%.1f", std::nullopt, loadZones, false});
    Host host(g, g->sizeHint());
    const double values[] = {20, 78.4, 35.2, 91.0, 12.5, 64.8};
    int frames = 0, change = 0;
    double start = 0;
    const quint64 before = g->framesPainted();
    for (auto _ : state) {
        if (frames % 90 == 0) {
            FrameClock::freeze(std::nullopt);
            start = FrameClock::now();
            g->setValue(values[++change % 6]);
        }
        FrameClock::freeze(start + (frames % 90 + 1) * frame);
        g->repaint();
        ++frames;
    }
    state.counters["frames"] = double(g->framesPainted() - before);
    FrameClock::freeze(std::nullopt);
}
BENCHMARK(BM_GaugeFrameSpring)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

// Worst case: every frame rebuilds the dial (tick step changes each frame).
void BM_GaugeFrameRebuild(benchmark::State &state)
{
    auto *g = new GaugeView(GaugeSpec{"System CPU", 41.9, 100, "%", "%.1f", std::nullopt, loadZones, false});
    Host host(g, g->sizeHint());
    runFrames(state, g, 2000, 1.0);
}
BENCHMARK(BM_GaugeFrameRebuild)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

void BM_LinearGaugeFrame(benchmark::State &state)
{
    auto *b = new LinearGauge(LinearGaugeSpec{"Agent RAM", 300, 1024, "MB", "%.0f", pal::accentBlue});
    Host host(b, QSize(360, b->sizeHint().height()));
    runFrames(state, b, 3000, frame);
}
BENCHMARK(BM_LinearGaugeFrame)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

void BM_TickerFrame(benchmark::State &state)
{
    auto *s = new TickerStrip;
    QList<EventRow> events;
    for (int i = 0; i < 60; ++i)
        events << EventRow{i, 1000.0 - i, i % 2 ? "file" : "process", "scanned",
                           QStringLiteral("/home/ana/projects/output/file-%1.o").arg(i)};
    s->setEvents(events, 1100);
    Host host(s, QSize(1180, 28));
    runFrames(state, s, 4000, 1.0 / 30);
}
BENCHMARK(BM_TickerFrame)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

void BM_BloomArc(benchmark::State &state)
{
    QImage layer(140, 140, QImage::Format_ARGB32_Premultiplied);
    layer.fill(Qt::transparent);
    {
        QPainter p(&layer);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(pal::accentGreen, 12, Qt::SolidLine, Qt::RoundCap));
        p.drawArc(QRectF(14, 14, 112, 112), -135 * 16, -200 * 16);
    }
    const auto *bloom = effects::find(effects::bloomName);
    for (auto _ : state)
        benchmark::DoNotOptimize(bloom->apply(layer, 10, 1.4f, QSize(14, 14)));
}
BENCHMARK(BM_BloomArc)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond);

// A panel's first breath: a new panel (560 x 380 of content) steps through its border's
// forty-odd colour levels, stroking its ring once at each. Qt's raster engine hands the
// pieces of each stroke to its global pool: with one thread, as the console sets it, and
// with two, as Qt would have it on a 2-core machine.
void BM_PanelFirstBreath(benchmark::State &state)
{
    QThreadPool *pool = QThreadPool::globalInstance();
    const int threadsBefore = pool->maxThreadCount();
    pool->setMaxThreadCount(int(state.range(0)));
    FrameClock::instance().setManual(true);
    for (auto _ : state) {
        state.PauseTiming();
        double t = 1000;
        FrameClock::freeze(t);
        auto host = std::make_unique<Host>(new QWidget, QSize(560, 380));
        state.ResumeTiming();
        const double end = t + 2 * M_PI / 0.4; // one breath
        QSet<int> levels;
        while ((t = TSPanel::nextBorderChange(t)) < end) {
            FrameClock::freeze(t);
            FrameClock::instance().tickNow();
            QCoreApplication::sendPostedEvents();
            QCoreApplication::processEvents();
            levels.insert(TSPanel::borderLevel(t));
        }
        state.counters["levels"] = levels.size();
    }
    FrameClock::instance().setManual(false);
    FrameClock::freeze(std::nullopt);
    pool->setMaxThreadCount(threadsBefore);
}
BENCHMARK(BM_PanelFirstBreath)->Arg(1)->Arg(2)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    fonts::ensureLoaded();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
