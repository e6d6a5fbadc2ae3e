// The console as a citizen of a Linux desktop, against scripted agents on real sockets:
// one console per session, a way out that leaves the agent running, states told as they
// are (an agent that refuses, stops or was restarted; switches it cannot apply), asking
// before a file is gone for good, and every screen whole in the smallest window.
#include "agentlink/agentclient.h"
#include "agentlink/scriptedpeer.h"
#include "agentlink/supervisor.h"
#include "alerts/soundplayer.h"
#include "alerts/threatnotifier.h"
#include "app/application.h"
#include "app/mainwindow.h"
#include "app/menubarstatusview.h"
#include "app/sidebar.h"
#include "app/singleinstance.h"
#include "app/trayicon.h"
#include "kit/frameclock.h"
#include "kit/palette.h"
#include "kit/tspillbutton.h"
#include "kit/tsstat.h"
#include "platform/fakes.h"
#include "platform/preferences.h"
#include "screens/dashboard.h"
#include "screens/networkview.h"
#include "screens/quarantineview.h"
#include "screens/settingsview.h"
#include "screens/threatslogic.h"
#include "screens/threatsview.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QLabel>
#include <QLayout>
#include <QListView>
#include <QLocalSocket>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <QCoroTask>

#include <gtest/gtest.h>

#include "../testbase.h"
#include "../widgetsupport.h"

#include <memory>
#include <thread>

using namespace tsav;
using namespace std::chrono_literals;
using test::waitFor;

namespace {

template <typename T>
T *findButton(QWidget *root, const QString &title)
{
    for (T *b : root->findChildren<T *>())
        if (b->text() == title && b->isVisibleTo(root))
            return b;
    return nullptr;
}

// Lets every layout that a change invalidated run, however deep (each level asks the next
// with an event of its own).
void settleLayouts(QWidget *root)
{
    for (int pass = 0; pass < 4; ++pass) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        QTest::qWait(10);
    }
}

// What is cut in a laid-out window: a widget that reaches past its parent (vertically
// only where the parent does not scroll), and a one-line label whose text needs more
// width than it got. Painted item views are one widget each.
QStringList cutParts(QWidget *root)
{
    QStringList cut;
    const auto describe = [](const QWidget *w) {
        QString name = QString::fromLatin1(w->metaObject()->className());
        if (!w->objectName().isEmpty())
            name += u'#' + w->objectName();
        if (auto *l = qobject_cast<const QLabel *>(w))
            name += QStringLiteral(" \"") + l->text().left(60) + u'"';
        return name;
    };
    for (QWidget *w : root->findChildren<QWidget *>()) {
        QWidget *parent = w->parentWidget();
        if (!parent || !w->isVisibleTo(root) || w->isWindow() || qobject_cast<QScrollBar *>(w))
            continue;
        bool insideItemView = false;
        for (QWidget *up = parent; up && up != root; up = up->parentWidget())
            insideItemView |= qobject_cast<QAbstractItemView *>(up) != nullptr;
        if (insideItemView)
            continue;
        auto *area = qobject_cast<QAbstractScrollArea *>(parent->parentWidget());
        const bool scrolledContent = area && area->viewport() == parent;
        const QRect g = w->geometry();
        if (g.width() <= 0 || g.height() <= 0)
            continue;
        const bool horizontal = g.left() < 0 || g.right() > parent->rect().right();
        const bool vertical = !scrolledContent && (g.top() < 0 || g.bottom() > parent->rect().bottom());
        if (horizontal || vertical)
            cut << describe(w) + QStringLiteral(" at %1,%2 %3x%4 leaves ").arg(g.x()).arg(g.y()).arg(g.width()).arg(g.height())
                       + describe(parent) + QStringLiteral(" of %1x%2").arg(parent->width()).arg(parent->height());
        if (auto *l = qobject_cast<QLabel *>(w); l && !l->wordWrap() && !l->text().isEmpty()
                                                 && l->minimumSizeHint().width() > l->width() + 1)
            cut << describe(w) + QStringLiteral(" is cut to %1 of %2 px").arg(l->width()).arg(l->minimumSizeHint().width());
    }
    return cut;
}

// The sample agent, busy: a scan running over two folders, 40 engines, a switch the agent
// cannot apply, and more connections than the console keeps.
QByteArray busyAgentData()
{
    QByteArray data = ScriptedPeer::sampleDataObject();
    data.replace(R"("scan.status": {"id": 7, "kind": "quick", "started": 1767261000.0, "finished": 1767261090.0, "scanned": 18234,
  "current": "", "running": false})",
                 R"("scan.status": {"id": 8, "kind": "full", "started": 1767261600.0, "scanned": 18234,
  "current": "/home/ana/Documents/proiecte/2026/raport-trimestrial-final-versiunea-a-doua.pdf", "running": true})");
    return data;
}

class DesktopTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(home.isValid());
        socketPath = agentSocketPath(home.path());
        SoundPlayer::installShared(&player);
    }
    void TearDown() override
    {
        SoundPlayer::installShared(nullptr);
        FrameClock::freeze(std::nullopt);
    }
    void startPeer(const QByteArray &data = ScriptedPeer::sampleDataObject())
    {
        peer = std::make_unique<ScriptedPeer>(socketPath);
        ASSERT_TRUE(peer->isListening()) << peer->errorString().toStdString();
        ASSERT_TRUE(peer->loadDataObject(data));
    }
    ScreenContext ctx(AgentClient *agent, AgentSupervisor *supervisor = nullptr)
    {
        return ScreenContext{agent, supervisor, &player};
    }
    std::unique_ptr<TessalyAntivirusApp> makeApp()
    {
        TessalyAntivirusApp::Parts parts;
        parts.agent = std::make_unique<AgentClient>(socketPath);
        parts.supervisor = std::make_unique<AgentSupervisor>(QString(), home.path());
        parts.sound = &player;
        parts.services = services.services();
        return std::make_unique<TessalyAntivirusApp>(std::move(parts));
    }

    QTemporaryDir home{test::testDirTemplate(QStringLiteral("desktop"))};
    QString socketPath;
    std::unique_ptr<ScriptedPeer> peer;
    RecordingServices services;
    SoundPlayer player{&services.sounds, &services.haptics, &services.preferences};
};

} // namespace

TEST_F(DesktopTest, ASecondConsoleHandsOverToTheFirstAndAStaleSocketIsNoObstacle)
{
    const QString dir = home.filePath("run/tessaly-antivirus");
    // A console that crashed left its socket file: the next one starts anyway.
    {
        SingleInstance crashed(dir);
        ASSERT_EQ(crashed.claim(), SingleInstance::Role::primary);
    }
    QDir().mkpath(dir);
    QFile stale(dir + "/console.sock");
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.close();

    SingleInstance first(dir);
    ASSERT_EQ(first.claim(), SingleInstance::Role::primary);
    EXPECT_TRUE(first.errorString().isEmpty()) << first.errorString().toStdString();
    QSignalSpy activations(&first, &SingleInstance::activationRequested);

    // The second one runs its hand-over while this thread's event loop serves the first.
    SingleInstance::Role role = SingleInstance::Role::primary;
    qint64 holder = 0;
    std::thread second([&] {
        SingleInstance other(dir);
        role = other.claim(5s);
        holder = other.holderPid();
    });
    ASSERT_TRUE(waitFor([&] { return activations.count() == 1; }));
    second.join();
    EXPECT_EQ(role, SingleInstance::Role::handedOver);
    EXPECT_EQ(holder, QCoreApplication::applicationPid());

    // A peer that sends anything else is dropped without an activation.
    QLocalSocket junk;
    junk.connectToServer(first.socketPath());
    ASSERT_TRUE(junk.waitForConnected(2000));
    junk.write(QByteArray(1000, 'x') + "\nshow\n");
    junk.flush();
    QTest::qWait(200);
    EXPECT_EQ(activations.count(), 1);

    // A line that arrives in pieces is still one request, answered.
    QLocalSocket slow;
    slow.connectToServer(first.socketPath());
    ASSERT_TRUE(slow.waitForConnected(2000));
    slow.write("sh");
    slow.flush();
    QTest::qWait(100);
    EXPECT_EQ(activations.count(), 1);
    slow.write("ow\n");
    slow.flush();
    ASSERT_TRUE(waitFor([&] { return activations.count() == 2; }));
    ASSERT_TRUE(waitFor([&] { return slow.bytesAvailable() > 0 || slow.waitForReadyRead(10); }));
    EXPECT_EQ(slow.readAll(), QByteArray("ok\n"));
}

TEST_F(DesktopTest, QuittingLeavesTheAgentRunningAndSaysSoOnlyTheFirstTime)
{
    startPeer();
    auto app = makeApp();
    app->showMainWindow();
    ASSERT_TRUE(waitFor([&] { return app->tray() && app->agent().connected(); }));
    QSignalSpy finished(app.get(), &TessalyAntivirusApp::finished);

    // The tray menu's "Scan rapid".
    for (QAction *a : app->tray()->menu()->actions())
        if (a->text() == "Scan rapid")
            a->trigger();
    ASSERT_TRUE(waitFor([&] { return peer->requestCount("scan.start") == 1; }));

    // Ctrl+Q from the window.
    QApplication::setActiveWindow(app->mainWindow());
    QTest::keyClick(app->mainWindow(), Qt::Key_Q, Qt::ControlModifier);
    EXPECT_TRUE(app->quitting());
    EXPECT_FALSE(app->mainWindow()->isVisible());
    ASSERT_TRUE(waitFor([&] { return finished.count() == 1; }));
    const auto quitNotices = [&] {
        QList<NotificationRequest> out;
        for (const NotificationRequest &r : services.notifications.posted)
            if (r.identifier == "tsav.quit")
                out << r;
        return out;
    };
    ASSERT_EQ(quitNotices().size(), 1);
    EXPECT_EQ(quitNotices()[0].title, TessalyAntivirusApp::quitNoticeTitle);
    EXPECT_EQ(services.preferences.boolValue(kQuitNoticeShownKey), true);
    EXPECT_FALSE(app->agent().isPolling());
    EXPECT_EQ(peer->requestCount("scan.stop"), 0); // nothing was asked of the agent

    // The next run: the panel's "Deschide Dashboard" raises the one window as it was left,
    // and its "Ieșire" quits without saying anything more.
    app.reset();
    auto again = makeApp();
    again->showMainWindow();
    ASSERT_TRUE(waitFor([&] { return again->tray() && again->agent().connected(); }));
    again->mainWindow()->setTab(Tab::audit, false);
    again->mainWindow()->hide();
    again->tray()->showPanel();
    TSPillButton *open = findButton<TSPillButton>(again->tray()->panel(), "Deschide Dashboard");
    ASSERT_NE(open, nullptr);
    QTest::mouseClick(open, Qt::LeftButton);
    EXPECT_TRUE(again->mainWindow()->isVisible());
    EXPECT_EQ(again->mainWindow()->tab(), Tab::audit);
    int windows = 0;
    for (QWidget *w : QApplication::topLevelWidgets())
        windows += qobject_cast<MainWindow *>(w) != nullptr;
    EXPECT_EQ(windows, 1);
    again->tray()->showPanel();
    TSPillButton *exit = findButton<TSPillButton>(again->tray()->panel(), "Ieșire");
    ASSERT_NE(exit, nullptr);
    QSignalSpy finishedAgain(again.get(), &TessalyAntivirusApp::finished);
    QTest::mouseClick(exit, Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return finishedAgain.count() == 1; }));
    EXPECT_EQ(quitNotices().size(), 1);
}

TEST_F(DesktopTest, TheSidebarQuotesARefusingAgentAndSaysWhenItWasRestarted)
{
    startPeer();
    AgentClient agent(socketPath);
    AgentSupervisor supervisor(QString(), home.path());
    MainWindow window(ctx(&agent, &supervisor));
    window.show();
    const QString words = QStringLiteral("baza de date a agentului este deteriorată — recuperată");
    peer->setReply("summary", "{\"ok\":false,\"data\":null,\"error\":\"" + words.toUtf8() + "\"}\n");
    QCoro::waitFor(agent.refresh());
    EXPECT_EQ(window.sidebar()->agentStateText(), "Agentul semnalează o eroare");
    // Its own words, cut to the footer's two lines.
    EXPECT_TRUE(window.sidebar()->errorLineText().startsWith("baza de date a agentului"))
        << window.sidebar()->errorLineText().toStdString();
    EXPECT_FALSE(window.sidebar()->errorLineText().contains("tsav"));

    EXPECT_FALSE(window.sidebar()->restartNoteVisible());
    Q_EMIT supervisor.relaunched();
    EXPECT_TRUE(window.sidebar()->restartNoteVisible());
    EXPECT_TRUE(test::shownTexts(window.sidebar()).contains("Agent repornit"));
}

TEST_F(DesktopTest, TheDashboardSaysHowOldItsFiguresAreAndNeverPairsAWarningWithGreen)
{
    startPeer();
    AgentClient agent(socketPath);
    MainWindow window(ctx(&agent));
    window.resize(980, 660);
    window.show();
    auto *dashboard = qobject_cast<DashboardView *>(window.currentScreen());
    ASSERT_NE(dashboard, nullptr);
    QCoro::waitFor(agent.refresh());
    dashboard->refreshNow();
    EXPECT_EQ(dashboard->stateTitle(), "PROTEJAT");
    EXPECT_TRUE(dashboard->staleBannerText().isEmpty());
    EXPECT_FALSE(dashboard->figuresDimmed());

    // The agent stops answering: the figures stay, say how old they are, and step back.
    const QString at = agent.lastAnswerAt()->toString("HH:mm");
    peer.reset();
    QCoro::waitFor(agent.refresh());
    dashboard->refreshNow();
    EXPECT_EQ(dashboard->staleBannerText(), "Agent inactiv — datele afișate sunt din " + at);
    EXPECT_EQ(dashboard->stateTitle(), "AGENT INACTIV");
    EXPECT_EQ(dashboard->stateSubtitle(), "Protecția nu poate fi verificată");
    EXPECT_TRUE(dashboard->figuresDimmed());
    EXPECT_EQ(dashboard->counters().first()->value(), "3"); // kept, not cleared

    // Back, with real-time protection on but not workable: a warning, and an amber badge.
    QByteArray data = ScriptedPeer::sampleDataObject();
    data.replace(R"("scheduled_scan_hours": 24})",
                 R"("scheduled_scan_hours": 24, "unavailable": {"realtime_enabled": "inotify lipsește"}})");
    startPeer(data);
    QCoro::waitFor(agent.refresh());
    dashboard->refreshNow();
    EXPECT_TRUE(dashboard->staleBannerText().isEmpty());
    EXPECT_FALSE(dashboard->figuresDimmed());
    EXPECT_EQ(dashboard->stateTitle(), "ATENȚIE");
    EXPECT_EQ(dashboard->stateSubtitle(), "Un motor de protecție nu poate funcționa: inotify lipsește");
    EXPECT_TRUE(dashboard->badges().first()->isUnavailable());
    EXPECT_EQ(dashboard->badges().first()->dotColor(), palette::accentAmber);
}

TEST_F(DesktopTest, SwitchesTheAgentCannotApplySaySoWithItsReason)
{
    QByteArray data = ScriptedPeer::sampleDataObject();
    data.replace(R"("kill_switch_isolate": false,)", R"("kill_switch_isolate": true,)");
    data.replace(R"("scheduled_scan_hours": 24})",
                 R"("scheduled_scan_hours": 24, "unavailable": {"kill_switch_isolate": "nft lipsește",
                    "network_monitor": "<b>fără</b>\u202e permisiune"}})");
    startPeer(data);
    AgentClient agent(socketPath);
    QCoro::waitFor(agent.refresh());
    SettingsView view(ctx(&agent));
    EXPECT_EQ(view.engineNote(6), "Pornit, dar fără efect: nft lipsește");
    EXPECT_TRUE(view.engineSwitch(6)->isChecked()); // what the agent holds, shown as is
    EXPECT_TRUE(view.engineNote(4).startsWith("Pornit, dar fără efect: <b>fără</b>"));
    EXPECT_FALSE(view.engineNote(4).contains(QChar(0x202e)));
    EXPECT_TRUE(view.engineNote(0).isEmpty());
}

TEST_F(DesktopTest, DeletingAsksFirstAndRestoringSaysWhereTheFileWent)
{
    startPeer();
    peer->setData("quarantine.restore", R"({"id": 3, "restored_to": "/home/ana/Downloads/setup.sh"})");
    AgentClient agent(socketPath);
    QCoro::waitFor(agent.refresh());
    QWidget window;
    auto *view = new QuarantineView(ctx(&agent), &window);
    window.resize(900, 600);
    view->resize(900, 600);
    window.show();
    ASSERT_FALSE(view->rows().isEmpty());
    QuarantineRow *row = view->rows().first();

    QTest::mouseClick(row->deleteButton(), Qt::LeftButton);
    auto *box = window.findChild<QMessageBox *>("quarantine.confirmDelete");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), kDeleteQuestion);
    findButton<QPushButton>(box, "Anulează")->click();
    QTest::qWait(100);
    EXPECT_EQ(peer->requestCount("quarantine.delete"), 0);

    QTest::mouseClick(row->deleteButton(), Qt::LeftButton);
    box = window.findChild<QMessageBox *>("quarantine.confirmDelete");
    ASSERT_NE(box, nullptr);
    findButton<QPushButton>(box, "Șterge")->click();
    ASSERT_TRUE(waitFor([&] { return peer->requestCount("quarantine.delete") == 1; }));
    ASSERT_TRUE(waitFor([&] { return view->noticeText() == "Fișierul a fost șters definitiv."; }));

    QTest::mouseClick(view->rows().first()->restoreButton(), Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return view->noticeText().startsWith("Fișierul a fost restaurat"); }));
    EXPECT_EQ(view->noticeText(), "Fișierul a fost restaurat în /home/ana/Downloads/setup.sh");

    peer->setReply("quarantine.restore", "{\"ok\":false,\"data\":null,\"error\":\"disk full\"}\n");
    QTest::mouseClick(view->rows().first()->restoreButton(), Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return view->noticeText() == "Restaurarea nu a reușit: disk full"; }));
}

TEST_F(DesktopTest, EveryScreenIsWholeInTheSmallestWindowAndTheLargest)
{
    QByteArray data = busyAgentData();
    ASSERT_TRUE(data.contains("\"running\": true"));
    startPeer(data);
    peer->setData("metrics.live", ScriptedPeer::metricsWithEnginesJson(40));
    AgentClient agent(socketPath);
    QCoro::waitFor(agent.refresh());
    ASSERT_TRUE(agent.connected());
    FrameClock::freeze(1767261700);
    MainWindow window(ctx(&agent));
    window.show();
    for (const QSize size : {QSize(980, 660), QSize(1920, 1080)}) {
        window.resize(size);
        for (Tab t : allTabs) {
            SCOPED_TRACE(QStringLiteral("%1 at %2x%3").arg(tabRawValue(t)).arg(size.width()).arg(size.height()).toStdString());
            window.setTab(t, false);
            settleLayouts(&window);
            QWidget *screen = window.currentScreen();
            EXPECT_LE(screen->minimumSizeHint().width(), screen->width());
            const QStringList cut = cutParts(&window);
            EXPECT_TRUE(cut.isEmpty()) << cut.join(u'\n').toStdString();
        }
    }
    // The engine table at 980 wide: its own rows, and the rest in one line.
    window.resize(980, 660);
    window.setTab(Tab::dashboard, false);
    settleLayouts(&window);
    auto *dashboard = qobject_cast<DashboardView *>(window.currentScreen());
    ASSERT_NE(dashboard, nullptr);
    EXPECT_TRUE(dashboard->protectionWrapped());
    EXPECT_EQ(dashboard->engineTableRows().size(), 32);
    EXPECT_EQ(dashboard->engineTableMore(), "… și încă 8");
    window.resize(1920, 1080);
    settleLayouts(&window);
    EXPECT_FALSE(dashboard->protectionWrapped());
}

TEST_F(DesktopTest, TheNetworkHeaderScrollsWithItsRowsAndTheDonutHasNoGap)
{
    QByteArray network = "[";
    for (int i = 0; i < 2100; ++i)
        network += QByteArray(i ? "," : "") + "{\"pid\":" + QByteArray::number(i)
                   + ",\"local\":\"10.0.0.2:5\",\"remote\":\"1.2.3.4:443\",\"status\":\"ESTABLISHED\",\"suspicious\":false}";
    startPeer();
    peer->setData("network", network + "]");
    AgentClient agent(socketPath);
    QCoro::waitFor(agent.refresh());
    NetworkView view(ctx(&agent));
    view.resize(760, 620);
    view.show();
    QTest::qWait(30);
    QScrollArea *area = view.tableScrollArea();
    ASSERT_NE(area, nullptr);
    QWidget *header = area->widget()->layout()->itemAt(0)->widget();
    const int before = header->mapTo(&view, QPoint()).y();
    area->verticalScrollBar()->setValue(200);
    QTest::qWait(30);
    EXPECT_EQ(header->mapTo(&view, QPoint()).y(), before - 200);
    EXPECT_EQ(view.listView()->verticalScrollBar()->maximum(), 0); // the list itself never scrolls
    EXPECT_EQ(view.moreText(), "… și încă 100");

    // Two threats of a severity outside the four: the circle belongs to the two plotted.
    QMap<QString, qint64> counts{{"critical", 1}, {"high", 1}, {"medium", 0}, {"low", 0}, {"info", 2}};
    const auto sectors = threats::donutSectors(counts);
    ASSERT_EQ(sectors.size(), 2);
    EXPECT_DOUBLE_EQ(sectors[0].degrees + sectors[1].degrees, 360.0);
    EXPECT_EQ(threats::total(counts), 4);
}
