// Replacing the investigation screens' lists after a poll, on the GUI thread, with the
// screen on view (offscreen platform, widget shown at 1100 x 820). Each iteration hands
// the screen the next poll's list (a few rows changed, as a real poll does) and then
// paints the screen synchronously, so the time covers the model update, the view's
// relayout and one full repaint.

#include "screenfixtures.h"

#include "kit/frameclock.h"
#include "kit/typography.h"
#include "screens/eventsview.h"
#include "screens/networkview.h"
#include "screens/processesview.h"
#include "screens/threatsview.h"

#include <QApplication>
#include <QListView>
#include <QScrollBar>

#include <benchmark/benchmark.h>

using namespace tsav;

namespace {

constexpr double kNow = 1767262000.0;

template <typename View>
void showView(View &v)
{
    v.resize(1100, 820);
    v.show();
    QApplication::processEvents();
}

void BM_NetworkPoll(benchmark::State &state)
{
    const int n = int(state.range(0));
    NetworkView v(ScreenContext{});
    showView(v);
    QList<QList<NetworkRow>> polls;
    for (int g = 0; g < 8; ++g)
        polls.append(fixtures::connections(n, g));
    v.setConnections(polls[0]);
    v.listView()->verticalScrollBar()->setValue(v.listView()->verticalScrollBar()->maximum() / 2);
    int g = 1;
    for (auto _ : state) {
        v.setConnections(polls[g++ % polls.size()]);
        v.repaint();
    }
    state.counters["rows"] = n;
}
BENCHMARK(BM_NetworkPoll)->Arg(10000)->Unit(benchmark::kMillisecond);

// A poll where a tenth of the connections are new (scattered through the list).
void BM_NetworkChurn(benchmark::State &state)
{
    NetworkView v(ScreenContext{});
    showView(v);
    QList<NetworkRow> a = fixtures::connections(10000), b = a;
    for (int i = 0; i < b.size(); i += 10)
        b[i].remote = QStringLiteral("198.51.100.%1:8443").arg(i % 250);
    v.setConnections(a);
    bool flip = false;
    for (auto _ : state) {
        v.setConnections((flip = !flip) ? b : a);
        v.repaint();
    }
}
BENCHMARK(BM_NetworkChurn)->Unit(benchmark::kMillisecond);

void BM_ProcessesPoll(benchmark::State &state)
{
    ProcessesView v(ScreenContext{});
    showView(v);
    QList<QList<ProcessRow>> polls;
    for (int g = 0; g < 8; ++g)
        polls.append(fixtures::processes(int(state.range(0)), g));
    v.setProcesses(polls[0]);
    int g = 1;
    for (auto _ : state) {
        v.setProcesses(polls[g++ % polls.size()]);
        v.repaint();
    }
}
BENCHMARK(BM_ProcessesPoll)->Arg(2000)->Unit(benchmark::kMillisecond);

void BM_ThreatsPoll(benchmark::State &state)
{
    ThreatsView v(ScreenContext{});
    showView(v);
    QList<Threat> a = fixtures::threats(int(state.range(0)), kNow), b = a;
    for (int i = 0; i < b.size(); i += 7)
        b[i].status = QStringLiteral("quarantined");
    v.setThreats(a, kNow);
    bool flip = false;
    for (auto _ : state) {
        v.setThreats((flip = !flip) ? b : a, kNow);
        v.repaint();
    }
}
BENCHMARK(BM_ThreatsPoll)->Arg(200)->Unit(benchmark::kMillisecond);

void BM_EventsPoll(benchmark::State &state)
{
    EventsView v(ScreenContext{});
    showView(v);
    // Each poll two new events arrive at the top and two leave at the bottom.
    QList<QList<EventRow>> polls;
    QList<EventRow> all = fixtures::events(int(state.range(0)) + 16, kNow);
    for (int g = 0; g < 8; ++g)
        polls.append(all.mid(16 - 2 * g, int(state.range(0))));
    v.setEvents(polls[0]);
    int g = 1;
    for (auto _ : state) {
        v.setEvents(polls[g++ % polls.size()]);
        v.repaint();
    }
}
BENCHMARK(BM_EventsPoll)->Arg(200)->Unit(benchmark::kMillisecond);

// The list work alone (no repaint), for the largest list.
void BM_NetworkModelOnly(benchmark::State &state)
{
    NetworkView v(ScreenContext{});
    showView(v);
    QList<QList<NetworkRow>> polls;
    for (int g = 0; g < 8; ++g)
        polls.append(fixtures::connections(10000, g));
    v.setConnections(polls[0]);
    int g = 1;
    for (auto _ : state)
        v.setConnections(polls[g++ % polls.size()]);
}
BENCHMARK(BM_NetworkModelOnly)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    fonts::ensureLoaded();
    FrameClock::freeze(kNow);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
