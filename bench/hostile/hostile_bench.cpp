// tsav_hostile_bench: the console against a hostile agent, each scenario measured against
// an honest agent in the same run.
//
//   tsav_hostile_bench [--seconds N] [--trickle-seconds N]   all scenarios, a table
//   tsav_hostile_bench --scenario NAME --seconds N           one scenario, one JSON line
//
// Each scenario runs in a fresh process of its own (so that peak memory is its own): it
// forks the scripted agent first (so the agent's memory is not counted), then shows the
// main window on the dashboard with the real client polling every 2 s, the real notifier
// (recording platform services) and the real screens, and measures:
//  - input latency: every 50 ms a key press is posted to the window; the time until the
//    window receives it (p50, p99, max) is how long input waits behind the console's work;
//  - the poll rhythm: cycles finished and the longest gap between two cycle ends;
//  - memory: peak and final resident set (VmHWM, VmRSS of /proc/self/status).
// Scenarios: honest (the sample agent: the floor), threats (100,000 threats, 200 new ids
// every second), engines (20,000 engine names), trickle ("summary" trickled one byte per
// 100 ms, so every cycle runs into its 30 s deadline).

#include "../procstatus.h"

#include "agentlink/agentclient.h"
#include "agentlink/scriptedpeer.h"
#include "alerts/soundplayer.h"
#include "alerts/threatnotifier.h"
#include "app/application.h"
#include "app/darkstyle.h"
#include "app/mainwindow.h"
#include "kit/typography.h"
#include "platform/fakes.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const QStringList scenarios{QStringLiteral("honest"), QStringLiteral("threats"), QStringLiteral("engines"),
                            QStringLiteral("trickle")};

QString testBase()
{
    QString base = qEnvironmentVariable("TSAV_TEST_TMPDIR");
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.cache/tessaly-tests");
    QDir().mkpath(base);
    return base;
}

// The scripted agent of a scenario, in this (forked) process until it is killed.
[[noreturn]] void servePeer(const QString &socket, const QString &scenario)
{
    tsav::ScriptedPeer peer(socket);
    if (!peer.isListening())
        _exit(3);
    peer.loadDataObject(tsav::ScriptedPeer::sampleDataObject());
    if (scenario == QLatin1String("engines")) {
        peer.setData(QStringLiteral("metrics.live"), tsav::ScriptedPeer::metricsWithEnginesJson(20000));
    } else if (scenario == QLatin1String("trickle")) {
        tsav::ScriptedPeer::Behaviour b;
        // 8 KB at a byte per 100 ms would take 14 minutes.
        b.bytes = "{\"ok\":true,\"data\":{\"threats_total\":1,\"threats_active\":1,\"quarantined\":0,"
                  "\"threats_last_24h\":1,\"events_last_24h\":1}" + QByteArray(8192, ' ') + "}\n";
        b.trickleChunk = 1;
        b.trickleDelay = 100ms;
        peer.setBehaviour(QStringLiteral("summary"), b);
    } else if (scenario == QLatin1String("threats")) {
        // 100,000 threats; the newest 200 get fresh ids every second (the rest stay), so
        // that every cycle brings new threats to alert about.
        const QByteArray tail = tsav::ScriptedPeer::manyThreatsJson(100000 - 200, 1).mid(1);
        for (qint64 base = 1000000;; base += 200) {
            QByteArray head = tsav::ScriptedPeer::manyThreatsJson(200, base);
            head.chop(1);
            peer.setData(QStringLiteral("threats"), head + ',' + tail);
            std::this_thread::sleep_for(1s);
        }
    }
    for (;;)
        pause();
}

int runScenario(int argc, char **argv, const QString &scenario, int seconds)
{
    tsav::TessalyAntivirusApp::prepareProcess(); // as the console does
    QTemporaryDir dir(testBase() + QStringLiteral("/hostile-XXXXXX"));
    const QString socket = dir.filePath(QStringLiteral("agent.sock"));
    const pid_t agent = fork();
    if (agent == 0)
        servePeer(socket, scenario);
    for (int i = 0; i < 100 && !QFile::exists(socket); ++i)
        std::this_thread::sleep_for(20ms);

    QApplication app(argc, argv);
    tsav::fonts::ensureLoaded();
    tsav::applyDarkStyle(app);
    tsav::RecordingServices fake;
    tsav::SoundPlayer player(&fake.sounds, &fake.haptics, &fake.preferences);
    tsav::SoundPlayer::installShared(&player);
    tsav::AgentClient client(socket);
    tsav::ThreatNotifier notifier(fake.services(), player);
    tsav::MainWindow window(tsav::ScreenContext{&client, nullptr, &player});
    window.resize(980, 660);
    window.show();
    client.start();
    notifier.bind(client);

    // Input probe: a key press posted every 50 ms, timed until the window gets it.
    struct Probe : QObject {
        QElapsedTimer clock;
        qint64 postedAt = -1;
        std::vector<double> latencies;
        bool eventFilter(QObject *, QEvent *e) override
        {
            if (e->type() == QEvent::KeyPress && static_cast<QKeyEvent *>(e)->key() == Qt::Key_F24 && postedAt >= 0) {
                latencies.push_back(double(clock.nsecsElapsed() - postedAt) / 1e6);
                postedAt = -1;
                return true;
            }
            return false;
        }
    } probe;
    probe.clock.start();
    window.installEventFilter(&probe);
    QTimer poke;
    QObject::connect(&poke, &QTimer::timeout, [&] {
        if (probe.postedAt >= 0)
            return; // the last one is still waiting: its wait keeps growing
        probe.postedAt = probe.clock.nsecsElapsed();
        QCoreApplication::postEvent(&window, new QKeyEvent(QEvent::KeyPress, Qt::Key_F24, Qt::NoModifier));
    });
    poke.start(50);

    std::vector<double> cycleEnds;
    QObject::connect(&client, &tsav::AgentClient::cycleFinished,
                     [&] { cycleEnds.push_back(double(probe.clock.elapsed()) / 1000.0); });
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    app.exec();
    if (probe.postedAt >= 0) // one still waiting at the end counts as waited so far
        probe.latencies.push_back(double(probe.clock.nsecsElapsed() - probe.postedAt) / 1e6);

    std::sort(probe.latencies.begin(), probe.latencies.end());
    const auto pct = [&](double p) {
        return probe.latencies.empty() ? 0.0 : probe.latencies[size_t(p * double(probe.latencies.size() - 1))];
    };
    double longestGap = cycleEnds.empty() ? double(seconds) : cycleEnds.front();
    for (size_t i = 1; i < cycleEnds.size(); ++i)
        longestGap = std::max(longestGap, cycleEnds[i] - cycleEnds[i - 1]);
    QJsonObject out{{"scenario", scenario},
                    {"cycles", int(cycleEnds.size())},
                    {"longest_cycle_gap_s", longestGap},
                    {"input_p50_ms", pct(0.5)},
                    {"input_p99_ms", pct(0.99)},
                    {"input_max_ms", probe.latencies.empty() ? 0.0 : probe.latencies.back()},
                    {"peak_rss_mb", double(tsav::bench::statusKb("VmHWM")) / 1024.0},
                    {"rss_mb", double(tsav::bench::statusKb("VmRSS")) / 1024.0},
                    {"notifications", int(fake.notifications.posted.size())},
                    {"connected", client.connected()}};
    std::printf("%s\n", QJsonDocument(out).toJson(QJsonDocument::Compact).constData());
    client.stop();
    ::kill(agent, SIGKILL);
    ::waitpid(agent, nullptr, 0);
    return 0;
}

QJsonObject runChild(const QString &self, const QString &scenario, int seconds)
{
    QProcess p;
    p.start(self, {QStringLiteral("--scenario"), scenario, QStringLiteral("--seconds"), QString::number(seconds)});
    p.waitForFinished((seconds + 120) * 1000);
    const QList<QByteArray> lines = p.readAllStandardOutput().trimmed().split('\n');
    return QJsonDocument::fromJson(lines.last()).object();
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int seconds = 20, trickleSeconds = 70;
    QString scenario;
    for (int i = 1; i + 1 < argc; ++i) {
        const QByteArray a = argv[i];
        if (a == "--seconds")
            seconds = std::atoi(argv[++i]);
        else if (a == "--trickle-seconds")
            trickleSeconds = std::atoi(argv[++i]);
        else if (a == "--scenario")
            scenario = QString::fromUtf8(argv[++i]);
    }
    if (!scenario.isEmpty())
        return runScenario(argc, argv, scenario, seconds);

    QCoreApplication app(argc, argv);
    const QString self = QCoreApplication::applicationFilePath();
    QList<QJsonObject> results;
    for (const QString &s : scenarios)
        results << runChild(self, s, s == QLatin1String("trickle") ? trickleSeconds : seconds);
    const QJsonObject &floor = results.first();
    std::printf("%-8s %6s %8s %9s %9s %9s %9s %8s %8s %6s\n", "scenario", "cycles", "gap s", "in p50", "in p99",
                "in max", "p99/floor", "peak MB", "MB/floor", "notes");
    for (const QJsonObject &r : results) {
        const double p99 = r.value("input_p99_ms").toDouble(), peak = r.value("peak_rss_mb").toDouble();
        std::printf("%-8s %6d %8.1f %7.1fms %7.1fms %7.1fms %9.2f %8.0f %8.2f %6d\n",
                    qPrintable(r.value("scenario").toString()), r.value("cycles").toInt(),
                    r.value("longest_cycle_gap_s").toDouble(), r.value("input_p50_ms").toDouble(), p99,
                    r.value("input_max_ms").toDouble(), p99 / std::max(0.01, floor.value("input_p99_ms").toDouble()),
                    peak, peak / std::max(1.0, floor.value("peak_rss_mb").toDouble()), r.value("notifications").toInt());
    }
    return 0;
}
