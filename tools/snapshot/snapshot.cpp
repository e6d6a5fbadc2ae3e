#include <QLayout>
// tessaly-snapshot: renders the console offscreen to a PNG, from the replies an agent
// would give, at a fixed size and clock time.
//
//   tessaly-snapshot [--data FILE] (--tab NAME | --panel) [--size WxH] [--time SECONDS]
//                    --out FILE.png
//
// FILE holds {"summary": <data>, "threats": <data>, ...}: for each request path, the
// "data" member of the agent's reply. Without --data no agent answers (the console's
// disconnected state).

#include "agentlink/agentclient.h"
#include "agentlink/scriptedpeer.h"
#include "alerts/soundplayer.h"
#include "app/darkstyle.h"
#include "app/mainwindow.h"
#include "app/menubarstatusview.h"
#include "app/tab.h"
#include "kit/frameclock.h"
#include "platform/fakes.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDateTime>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>

#include <QCoroTask>

#include <cstdio>
#include <memory>

namespace {

int fail(const QString &message)
{
    std::fprintf(stderr, "tessaly-snapshot: %s\n", qPrintable(message));
    return 2;
}

// Lets layouts settle and posted work run without letting the clock matter.
void settle(int ms)
{
    QElapsedTimer t;
    t.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    } while (t.elapsed() < ms);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tessaly-snapshot"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Renders the console offscreen to a PNG."));
    parser.addHelpOption();
    const QCommandLineOption dataOpt(QStringLiteral("data"), QStringLiteral("Agent replies (JSON)."),
                                     QStringLiteral("file"));
    const QCommandLineOption tabOpt(QStringLiteral("tab"), QStringLiteral("Tab to show."),
                                    QStringLiteral("name"), QStringLiteral("dashboard"));
    const QCommandLineOption panelOpt(QStringLiteral("panel"), QStringLiteral("Render the tray panel."));
    const QCommandLineOption sizeOpt(QStringLiteral("size"), QStringLiteral("Window size."),
                                     QStringLiteral("WxH"), QStringLiteral("980x660"));
    const QCommandLineOption timeOpt(QStringLiteral("time"),
                                     QStringLiteral("Clock time, seconds since the Unix epoch."),
                                     QStringLiteral("seconds"));
    const QCommandLineOption outOpt(QStringLiteral("out"), QStringLiteral("PNG file to write."),
                                    QStringLiteral("file"));
    parser.addOptions({dataOpt, tabOpt, panelOpt, sizeOpt, timeOpt, outOpt});
    parser.process(app);

    if (!parser.isSet(outOpt))
        return fail(QStringLiteral("--out is required"));
    const auto tab = tsav::tabFromRawValue(parser.value(tabOpt));
    if (!parser.isSet(panelOpt) && !tab)
        return fail(QStringLiteral("unknown tab \"%1\"").arg(parser.value(tabOpt)));
    const auto sizeMatch =
        QRegularExpression(QStringLiteral("^(\\d{1,5})x(\\d{1,5})$")).match(parser.value(sizeOpt));
    if (!sizeMatch.hasMatch())
        return fail(QStringLiteral("--size must be WIDTHxHEIGHT"));
    const QSize size(sizeMatch.captured(1).toInt(), sizeMatch.captured(2).toInt());
    if (parser.isSet(timeOpt)) {
        bool ok = false;
        const double t = parser.value(timeOpt).toDouble(&ok);
        if (!ok)
            return fail(QStringLiteral("--time must be a number of seconds"));
        tsav::FrameClock::freeze(t);
    } else {
        tsav::FrameClock::freeze(tsav::FrameClock::now());
    }

    tsav::applyDarkStyle(app);

    // Quiet feedback: nothing here should make a sound, but nothing can either.
    tsav::RecordingServices quiet;
    tsav::SoundPlayer player(&quiet.sounds, &quiet.haptics, &quiet.preferences);
    tsav::SoundPlayer::installShared(&player);

    // The scripted agent's socket lives in the user's cache, not in the shared /tmp.
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    QDir().mkpath(cache);
    QTemporaryDir dir(cache + QStringLiteral("/tessaly-snapshot-XXXXXX"));
    if (!dir.isValid())
        return fail(QStringLiteral("cannot make a temporary directory"));
    const QString socketPath = dir.filePath(QStringLiteral("agent.sock"));
    std::unique_ptr<tsav::ScriptedPeer> peer;
    if (parser.isSet(dataOpt)) {
        peer = std::make_unique<tsav::ScriptedPeer>(socketPath);
        if (!peer->isListening())
            return fail(QStringLiteral("cannot listen: ") + peer->errorString());
        QString error;
        if (!peer->loadDataFile(parser.value(dataOpt), &error))
            return fail(parser.value(dataOpt) + QStringLiteral(": ") + error);
    }

    tsav::AgentClient client(socketPath);
    client.setClock([] { return QDateTime::fromMSecsSinceEpoch(qint64(tsav::FrameClock::now() * 1000)); });
    QCoro::waitFor(client.refresh());
    const tsav::ScreenContext ctx{&client, nullptr, &player};

    QWidget *view = nullptr;
    std::unique_ptr<QWidget> owner;
    if (parser.isSet(panelOpt)) {
        owner = std::make_unique<tsav::MenuBarStatusView>(ctx, [] {});
        owner->adjustSize();
    } else {
        auto window = std::make_unique<tsav::MainWindow>(ctx);
        window->resize(size.expandedTo(QSize(tsav::MainWindow::minimumWidth,
                                             tsav::MainWindow::minimumHeight)));
        window->setTab(*tab, false);
        owner = std::move(window);
    }
    view = owner.get();
    view->show();
    settle(150);
    // Layouts invalidated by the replies (panels that appear once metrics exist) must be
    // applied before the grab: activate them and deliver their pending requests.
    for (int pass = 0; pass < 3; ++pass) {
        for (QWidget *w : view->findChildren<QWidget *>())
            if (w->layout())
                w->layout()->activate();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        settle(20);
    }
    const QImage image = view->grab().toImage();
    if (!image.save(parser.value(outOpt), "PNG"))
        return fail(QStringLiteral("cannot write ") + parser.value(outOpt));
    QTextStream(stdout) << parser.value(outOpt) << " " << image.width() << "x" << image.height() << "\n";
    owner.reset();
    tsav::SoundPlayer::installShared(nullptr);
    return 0;
}
