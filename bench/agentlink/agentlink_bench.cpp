// Agent link benchmarks. Figures and method: README.md beside this file.

#include "agentlink/agentclient.h"
#include "agentlink/decode.h"
#include "agentlink/scriptedpeer.h"
#include "agentlink/transport.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <chrono>

#include <time.h>

using namespace tsav;
using Clock = std::chrono::steady_clock;

namespace {

// Times every event the GUI thread handles; the longest one is the longest stretch the
// thread was busy without returning to its event loop.
class TimingApp : public QCoreApplication {
public:
    using QCoreApplication::QCoreApplication;
    bool notify(QObject *receiver, QEvent *event) override
    {
        if (depth++ > 0) {
            const bool r = QCoreApplication::notify(receiver, event);
            --depth;
            return r;
        }
        const auto start = Clock::now();
        const auto cpuStart = threadCpu();
        const bool r = QCoreApplication::notify(receiver, event);
        longestCpu = std::max(longestCpu, threadCpu() - cpuStart);
        longest = std::max(longest, Clock::now() - start);
        --depth;
        return r;
    }
    // CPU time of this thread: the work itself, without time the scheduler took away.
    static std::chrono::nanoseconds threadCpu()
    {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
    }
    void reset() { longest = {}; longestCpu = {}; }
    int depth = 0;
    Clock::duration longest{};
    std::chrono::nanoseconds longestCpu{};
};

TimingApp *app = nullptr;

QByteArray processesData(int rows)
{
    QByteArray out = "[";
    for (int i = 0; i < rows; ++i) {
        if (i)
            out += ',';
        out += QStringLiteral(R"({"pid":%1,"name":"process-%1","user":"user%2","exe":"/usr/lib/example/bin/process-%1",)"
                              R"("cpu":%3,"rss":%4,"connections":%5,"open_files":%6,"threads":%7,"score":%8})")
                   .arg(i + 100)
                   .arg(i % 7)
                   .arg((i * 37 % 1000) / 10.0)
                   .arg(qint64(i) * 1048576 + 4096)
                   .arg(i % 13)
                   .arg(i % 97)
                   .arg(1 + i % 31)
                   .arg((i * 7919 % 1000) / 1000.0)
                   .toUtf8();
    }
    return out + "]";
}

QByteArray networkData(int rows)
{
    QByteArray out = "[";
    for (int i = 0; i < rows; ++i) {
        if (i)
            out += ',';
        out += QStringLiteral(R"({"pid":%1,"process":"process-%1","local":"192.168.1.20:%2","remote":"203.0.%3.%4:443",)"
                              R"("status":"ESTABLISHED","suspicious":%5%6})")
                   .arg(100 + i % 2000)
                   .arg(30000 + i)
                   .arg(i % 250)
                   .arg(i % 200)
                   .arg(i % 50 == 0 ? "true" : "false")
                   .arg(i % 50 == 0 ? R"(,"reason":"adresă pe lista neagră")" : "")
                   .toUtf8();
    }
    return out + "]";
}

void runCycle(AgentClient &client)
{
    QEventLoop loop;
    bool done = false;
    auto conn = QObject::connect(&client, &AgentClient::cycleFinished, &loop, [&] {
        done = true;
        loop.quit();
    });
    const auto start = Clock::now();
    const auto cpuStart = TimingApp::threadCpu();
    client.refresh(); // its first stretch runs here, until the first suspension
    app->longestCpu = std::max(app->longestCpu, TimingApp::threadCpu() - cpuStart);
    app->longest = std::max(app->longest, Clock::now() - start);
    if (!done)
        loop.exec();
    QObject::disconnect(conn);
}

// Decoding a 2,000-row "processes" reply: parse, decode every row, sort by score.
void BM_DecodeProcesses2000(benchmark::State &state)
{
    const QByteArray raw = "{\"ok\":true,\"data\":" + processesData(2000) + "}\n";
    for (auto _ : state) {
        auto reply = parseReply(raw);
        auto rows = decodeList<ProcessRow>(reply.value());
        sortProcessesByScore(rows.value());
        benchmark::DoNotOptimize(rows);
    }
    state.counters["reply_KB"] = raw.size() / 1024.0;
}
BENCHMARK(BM_DecodeProcesses2000)->Unit(benchmark::kMillisecond);

struct Peer {
    QTemporaryDir dir{QStringLiteral("/tmp/tsav-bench-XXXXXX")};
    ScriptedPeer peer{dir.filePath(QStringLiteral("a.sock"))};
    Peer() { peer.loadDataObject(ScriptedPeer::sampleDataObject()); }
};

// The floor: one bare connect/send/receive/close exchange with a peer that answers at once.
void BM_BareExchange(benchmark::State &state)
{
    Peer p;
    const QByteArray request = "{\"op\":\"summary\"}\n";
    for (auto _ : state)
        benchmark::DoNotOptimize(requestBlocking(p.peer.socketPath(), request, std::chrono::seconds(15)));
}
BENCHMARK(BM_BareExchange)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The cycle's nine exchanges done bare, one after another: the socket floor of a cycle.
void BM_CycleSocketFloor(benchmark::State &state)
{
    Peer p;
    const QList<QByteArray> requests = {
        "{\"op\":\"summary\"}\n", "{\"limit\":200,\"op\":\"threats\"}\n", "{\"limit\":200,\"op\":\"quarantine.list\"}\n",
        "{\"op\":\"processes\"}\n", "{\"op\":\"network\"}\n", "{\"limit\":200,\"op\":\"events\"}\n",
        "{\"op\":\"scan.status\"}\n", "{\"op\":\"metrics.live\"}\n", "{\"op\":\"settings.get\"}\n"};
    for (auto _ : state)
        for (const QByteArray &r : requests)
            benchmark::DoNotOptimize(requestBlocking(p.peer.socketPath(), r, std::chrono::seconds(15)));
}
BENCHMARK(BM_CycleSocketFloor)->Unit(benchmark::kMicrosecond)->UseRealTime();

// A full poll cycle of the client against the same peer.
void BM_PollCycle(benchmark::State &state)
{
    Peer p;
    AgentClient client(p.peer.socketPath());
    for (auto _ : state)
        runCycle(client);
    if (!client.connected())
        state.SkipWithError("the client did not connect");
}
BENCHMARK(BM_PollCycle)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The longest time the GUI thread is busy in one go during a cycle with 2,000
// processes and 5,000 connections (reported as the counter gui_busy_max_ms).
void BM_GuiBusyDuringLargeCycle(benchmark::State &state)
{
    Peer p;
    p.peer.setData(QStringLiteral("processes"), processesData(2000));
    p.peer.setData(QStringLiteral("network"), networkData(5000));
    AgentClient client(p.peer.socketPath());
    qsizetype seen = 0; // an observer that reads what it is told about, like a screen
    QObject::connect(&client, &AgentClient::processesChanged, [&] { seen += client.processes().size(); });
    QObject::connect(&client, &AgentClient::networkChanged, [&] { seen += client.network().size(); });
    runCycle(client); // warm-up
    app->reset();
    for (auto _ : state)
        runCycle(client);
    if (client.processes().size() != 2000 || client.network().size() != 5000)
        state.SkipWithError("the large lists did not decode");
    state.counters["gui_busy_max_ms"] = std::chrono::duration<double, std::milli>(app->longest).count();
    state.counters["gui_busy_max_cpu_ms"] = std::chrono::duration<double, std::milli>(app->longestCpu).count();
    benchmark::DoNotOptimize(seen);
}
BENCHMARK(BM_GuiBusyDuringLargeCycle)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    TimingApp application(argc, argv);
    app = &application;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
