// Where a second of the dashboard goes, frame by frame and repeatably: the main window at
// its default size shows a tab from the snapshot tool's busy sample (read once, no
// polling), the frame clock is frozen and stepped by a 60th of a second at a time, and
// each step is delivered and painted as the event loop would (ticks, update requests,
// paint, flush to the window system). Run under callgrind, the instruction count of the
// steps is the same from run to run, so a change to how and when things paint can be
// weighed even on a busy machine; the tool itself prints, per simulated second, the paint
// events and painted pixels by widget class and the repaint passes of the window.
//
//   tsav_frame_steps [--tab NAME] [--seconds 2] [--warmup 3] [--data FILE]
//   valgrind --tool=callgrind --collect-atstart=no --toggle-collect='*stepFrames*'
//       tsav_frame_steps            (under Xvfb, QT_QPA_PLATFORM=xcb)

#include "../paintcensus.h"

#include "agentlink/agentclient.h"
#include "agentlink/scriptedpeer.h"
#include "alerts/soundplayer.h"
#include "app/darkstyle.h"
#include "app/mainwindow.h"
#include "app/tab.h"
#include "kit/frameclock.h"
#include "platform/fakes.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <QCoroTask>

#include <cstdio>

namespace {

// One frame: the clock moves on, due subscribers are told, and the window repaints
// what changed and flushes it, as one pass of the event loop would.
void stepFrame(double t)
{
    tsav::FrameClock::freeze(t);
    tsav::FrameClock::instance().tickNow();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

// Kept out of line and named, so callgrind can collect exactly these steps.
__attribute__((noinline)) void stepFrames(double t0, int frames)
{
    for (int i = 1; i <= frames; ++i)
        stepFrame(t0 + i / 60.0);
}

double newestEvent(const QByteArray &json)
{
    double newest = 0;
    const QJsonObject o = QJsonDocument::fromJson(json).object();
    for (const QJsonValue &e : o.value(QStringLiteral("events")).toArray())
        newest = std::max(newest, e.toObject().value(QStringLiteral("ts")).toDouble());
    return newest;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption tabOpt(QStringLiteral("tab"), QStringLiteral("Tab."), QStringLiteral("name"),
                                    QStringLiteral("dashboard"));
    const QCommandLineOption secondsOpt(QStringLiteral("seconds"), QStringLiteral("Simulated seconds."),
                                        QStringLiteral("s"), QStringLiteral("2"));
    const QCommandLineOption warmupOpt(QStringLiteral("warmup"), QStringLiteral("Simulated warm-up seconds."),
                                       QStringLiteral("s"), QStringLiteral("3"));
    const QCommandLineOption dataOpt(QStringLiteral("data"), QStringLiteral("Agent replies."), QStringLiteral("file"),
                                     QStringLiteral(TSAV_BUSY_SAMPLE));
    parser.addOptions({tabOpt, secondsOpt, warmupOpt, dataOpt});
    parser.addHelpOption();
    parser.process(app);
    const auto tab = tsav::tabFromRawValue(parser.value(tabOpt));
    if (!tab) {
        std::fprintf(stderr, "unknown tab\n");
        return 2;
    }
    QFile data(parser.value(dataOpt));
    if (!data.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(data.fileName()));
        return 2;
    }
    const QByteArray json = data.readAll();
    const double t0 = newestEvent(json) + 30;
    tsav::FrameClock::freeze(t0);
    tsav::FrameClock::instance().setManual(true);
    tsav::applyDarkStyle(app);

    tsav::RecordingServices quiet;
    tsav::SoundPlayer player(&quiet.sounds, &quiet.haptics, &quiet.preferences);
    tsav::SoundPlayer::installShared(&player);
    const QString base = qEnvironmentVariable("TSAV_BENCH_DIR", QDir::homePath() + QStringLiteral("/.cache/tessaly-bench"));
    QDir().mkpath(base);
    const QString socketPath = base + QStringLiteral("/steps-%1.sock").arg(QCoreApplication::applicationPid());
    tsav::ScriptedPeer peer(socketPath);
    peer.loadDataObject(json);
    tsav::AgentClient client(socketPath);
    QCoro::waitFor(client.refresh());

    tsav::MainWindow window(tsav::ScreenContext{&client, nullptr, &player});
    window.setTab(*tab, false);
    window.show();
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 500)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);

    const int warm = int(parser.value(warmupOpt).toDouble() * 60);
    const int frames = int(parser.value(secondsOpt).toDouble() * 60);
    stepFrame(t0);
    for (int i = 1; i <= warm; ++i)
        stepFrame(t0 + i / 60.0);
    tsav::bench::PaintCensus census;
    app.installEventFilter(&census);
    QElapsedTimer wall;
    wall.start();
    stepFrames(t0 + warm / 60.0, frames);
    const double ms = wall.nsecsElapsed() / 1e6;
    app.removeEventFilter(&census);
    const auto counted = census.take();

    const double seconds = frames / 60.0;
    std::printf("%s at %d x %d, %d frames (%.1f simulated s), %.1f ms wall\n", qPrintable(parser.value(tabOpt)),
                window.width(), window.height(), frames, seconds, ms);
    std::printf("  repaint passes (update requests): %.1f per s\n", counted.repaints / seconds);
    for (const auto &[type, t] : counted.byType)
        std::printf("  %-40s %7.1f paints/s %10.0f px/s\n", type.constData(), t.events / seconds, t.pixels / seconds);
    std::printf("  painted pixels: %.0f per s\n", counted.pixels / seconds);
    tsav::SoundPlayer::installShared(nullptr);
    return 0;
}
