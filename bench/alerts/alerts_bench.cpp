// Costs on the GUI thread of the alert path: a sound play through the real canberra
// backend (the caller only queues), and the threat-list diff with a full 200-threat list.
#include "alerts/soundplayer.h"
#include "alerts/threatnotifier.h"
#include "platform/canberrasoundbackend.h"
#include "platform/fakes.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>

using namespace tsav;

namespace {

QList<Threat> threats(qint64 firstId, int n)
{
    QList<Threat> list;
    for (int i = 0; i < n; ++i) {
        Threat t;
        t.id = firstId + i;
        t.severity = QStringLiteral("medium");
        t.kind = QStringLiteral("yara");
        t.status = QStringLiteral("detected");
        t.signature = QStringLiteral("Rule_%1").arg(i);
        t.path = QStringLiteral("/home/ana/Downloads/file%1.bin").arg(i);
        list.append(t);
    }
    return list;
}

void BM_PlayOnCanberra(benchmark::State &state)
{
    CanberraSoundBackend sounds;
    NullHapticPerformer haptics;
    MemoryPreferences prefs;
    SoundPlayer player(&sounds, &haptics, &prefs);
    int i = 0;
    for (auto _ : state)
        player.play(allSoundKinds[i++ % soundKindCount]);
}
BENCHMARK(BM_PlayOnCanberra);

void BM_DiffUnchangedList(benchmark::State &state)
{
    RecordingServices fake;
    SoundPlayer player(&fake.sounds, &fake.haptics, &fake.preferences);
    ThreatNotifier notifier(fake.services(), player);
    const QList<Threat> list = threats(1, int(state.range(0)));
    notifier.handleThreats(list);
    for (auto _ : state)
        notifier.handleThreats(list);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_DiffUnchangedList)->Arg(200);

void BM_NotifyNewThreat(benchmark::State &state)
{
    RecordingServices fake;
    SoundPlayer player(&fake.sounds, &fake.haptics, &fake.preferences);
    ThreatNotifier notifier(fake.services(), player);
    notifier.handleThreats({}); // the first answer: from now on every id is new
    qint64 id = 1;
    QList<Threat> list = threats(id, 1);
    for (auto _ : state) {
        notifier.handleThreats(list);
        state.PauseTiming();
        list = threats(++id, 1);
        fake.notifications.posted.clear();
        fake.sounds.plays.clear();
        fake.haptics.pulses.clear();
        QCoreApplication::processEvents(); // the delayed haptic pulses
        state.ResumeTiming();
    }
}
BENCHMARK(BM_NotifyNewThreat);

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::benchmark::Initialize(&argc, argv);
    ::benchmark::RunSpecifiedBenchmarks();
    ::benchmark::Shutdown();
    return 0;
}
