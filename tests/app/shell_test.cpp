// The shell against a scripted agent on a real socket: the sidebar's behaviour, the
// start-up order, offscreen renders of every tab with no agent and with a busy one, and
// the tray panel.
#include "agentlink/agentclient.h"
#include "agentlink/scriptedpeer.h"
#include "agentlink/supervisor.h"
#include "alerts/soundplayer.h"
#include "alerts/threatnotifier.h"
#include "app/application.h"
#include "app/mainwindow.h"
#include "app/menubarstatusview.h"
#include "app/sidebar.h"
#include "app/trayicon.h"
#include "kit/frameclock.h"
#include "kit/tspillbutton.h"
#include "platform/fakes.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QTest>

#include <QCoroTask>

#include <gtest/gtest.h>

#include "../testbase.h"
#include "../widgetsupport.h"

#include <memory>

using namespace tsav;
using namespace std::chrono_literals;
using test::waitFor;

namespace {

class ShellTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(home.isValid());
        socketPath = home.path() + "/Library/Application Support/TessalyAntivirus/agent.sock";
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

    ScreenContext ctx(AgentClient *agent) { return ScreenContext{agent, nullptr, &player}; }

    QTemporaryDir home{test::testDirTemplate(QStringLiteral("shell"))};
    QString socketPath;
    std::unique_ptr<ScriptedPeer> peer;
    RecordingServices services;
    SoundPlayer player{&services.sounds, &services.haptics, &services.preferences};
};

} // namespace

TEST_F(ShellTest, SelectedRowIgnoresClicksAndOtherRowsGiveOneAlignmentHaptic)
{
    AgentClient agent(socketPath);
    MainWindow window(ctx(&agent));
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    int chosen = 0;
    QObject::connect(window.sidebar(), &Sidebar::tabChosen, [&] { ++chosen; });
    QWidget *dashboard = window.currentScreen();

    QTest::mouseClick(window.sidebar()->row(Tab::dashboard), Qt::LeftButton);
    EXPECT_TRUE(services.haptics.pulses.isEmpty());
    EXPECT_EQ(chosen, 0);
    EXPECT_EQ(window.currentScreen(), dashboard);

    QTest::mouseClick(window.sidebar()->row(Tab::scan), Qt::LeftButton);
    EXPECT_EQ(services.haptics.patterns(), QList<HapticPattern>{HapticPattern::alignment});
    EXPECT_EQ(window.tab(), Tab::scan);
    EXPECT_TRUE(window.sidebar()->row(Tab::scan)->selected());
    EXPECT_FALSE(window.sidebar()->row(Tab::dashboard)->selected());
    EXPECT_NE(window.currentScreen(), dashboard); // a fresh screen, not the old one updated
    EXPECT_TRUE(services.sounds.plays.isEmpty()); // tab changes make no sound
}

// The sidebar's frames repaint only the band its highlight crosses and the bouncing
// icons: frame by frame it is left as a fresh paint of the same moment would leave it,
// also when a choice comes in the middle of a slide.
TEST_F(ShellTest, TheSidebarsFramesMatchAFreshPaint)
{
    AgentClient agent(socketPath);
    MainWindow window(ctx(&agent));
    test::SteppedClock stepped;
    double t = 1767261700;
    auto step = [&](double to) { test::SteppedClock::to(t = to); };
    window.setTab(Tab::quarantine, false); // a light screen: frames are quick to compare
    step(t);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    step(t);
    Sidebar *sidebar = window.sidebar();
    auto differing = [&] {
        const QImage shown = window.screen()->grabWindow(window.winId()).toImage();
        const qreal dpr = window.devicePixelRatio();
        QImage fresh(shown.size(), shown.format());
        fresh.setDevicePixelRatio(dpr);
        window.render(&fresh);
        const QPoint at = sidebar->mapTo(&window, QPoint());
        // (At a fractional scale the offscreen platform's grab holds the window's size in
        // device pixels: the part of the sidebar within it is compared.)
        const QRect area = QRect(QPoint(int(at.x() * dpr), int(at.y() * dpr)), sidebar->size() * dpr)
                               .intersected(shown.rect());
        return test::differingPixels(shown, fresh, area);
    };
    sidebar->choose(Tab::settings); // a long slide, five rows down
    for (int i = 1; i <= 20; ++i) {
        step(t + 1.0 / 60);
        if (i % 5 == 0) {
            EXPECT_EQ(differing(), 0) << "frame " << i;
        }
    }
    sidebar->choose(Tab::threats); // mid-slide
    for (int i = 1; i <= 70; ++i) {
        step(t + 1.0 / 60);
        if (i % 7 == 0) {
            EXPECT_EQ(differing(), 0) << "frame " << i << " after the second choice";
        }
    }
}

TEST_F(ShellTest, CtrlDigitsAndTheSpaceBarChooseTabsAndMoveTheKeyboardFocus)
{
    AgentClient agent(socketPath);
    MainWindow window(ctx(&agent));
    window.show();
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(&window, Qt::Key_3, Qt::ControlModifier);
    EXPECT_EQ(window.tab(), Tab::threats);
    QTest::keyClick(&window, Qt::Key_9, Qt::ControlModifier);
    EXPECT_EQ(window.tab(), Tab::settings);
    QTest::keyClick(&window, Qt::Key_9, Qt::ControlModifier); // already there: nothing
    EXPECT_EQ(services.haptics.pulses.size(), 2);
    // Keyboard focus on the sidebar follows the tab chosen by shortcut.
    window.sidebar()->row(Tab::dashboard)->setFocus(Qt::TabFocusReason);
    QTest::keyClick(&window, Qt::Key_4, Qt::ControlModifier);
    EXPECT_EQ(window.tab(), Tab::quarantine);
    EXPECT_TRUE(window.sidebar()->row(Tab::quarantine)->hasFocus());
    EXPECT_FALSE(window.sidebar()->row(Tab::dashboard)->hasFocus());
    // A focused row is pressed with the space bar.
    window.sidebar()->row(Tab::network)->setFocus(Qt::TabFocusReason);
    QTest::keyClick(window.sidebar()->row(Tab::network), Qt::Key_Space);
    EXPECT_EQ(window.tab(), Tab::network);
}

TEST_F(ShellTest, StartupRunsSupervisorThenPollingThenNotifierOnEveryShow)
{
    startPeer();
    // Records the others' state at the moment each step becomes visible.
    struct OrderNotifications : NotificationService {
        std::function<void()> onAuthorization;
        void requestAuthorization() override { onAuthorization(); }
        void post(const NotificationRequest &) override {}
    } notifications;
    PlatformServices platform = services.services();
    platform.notifications = &notifications;

    TessalyAntivirusApp::Parts parts;
    parts.agent = std::make_unique<AgentClient>(socketPath);
    parts.supervisor = std::make_unique<AgentSupervisor>(QString(), home.path());
    parts.notifier = std::make_unique<ThreatNotifier>(platform, player);
    parts.sound = &player;
    AgentClient *agent = parts.agent.get();
    AgentSupervisor *supervisor = parts.supervisor.get();
    QStringList steps;
    QObject::connect(supervisor, &AgentSupervisor::runningChanged, [&] {
        steps << QStringLiteral("supervisor running=%1 polling=%2").arg(supervisor->running()).arg(agent->isPolling());
    });
    notifications.onAuthorization = [&] {
        steps << QStringLiteral("notifier running=%1 polling=%2").arg(supervisor->running()).arg(agent->isPolling());
    };

    TessalyAntivirusApp app(std::move(parts));
    EXPECT_TRUE(steps.isEmpty()); // nothing starts before the window is shown
    EXPECT_TRUE(app.mainWindow()->windowIcon().isNull());
    app.showMainWindow();
    // The services start, and the window gets its icon, once its first frame is painted.
    ASSERT_TRUE(waitFor([&] { return steps.size() >= 2; }));
    EXPECT_EQ(steps, (QStringList{"supervisor running=1 polling=0", "notifier running=1 polling=1"}));
    EXPECT_EQ(app.mainWindow()->windowIcon().availableSizes(), (QList<QSize>{QSize(64, 64), QSize(128, 128)}));
    ASSERT_TRUE(waitFor([&] { return agent->connected(); }));

    // Shown again (closed, then opened): the step runs again.
    app.mainWindow()->hide();
    app.showMainWindow();
    ASSERT_TRUE(waitFor([&] { return steps.size() >= 4; }));
    ASSERT_EQ(steps.size(), 4);
    EXPECT_TRUE(steps[2].startsWith(QStringLiteral("supervisor running=1")));
    EXPECT_EQ(steps[3], QStringLiteral("notifier running=1 polling=1"));
    agent->stop();
}

TEST_F(ShellTest, RendersEveryTabWithoutAnAgentThenWithABusyOneAndHidesTheErrorWhileConnected)
{
    AgentClient agent(socketPath); // nothing listens yet
    QCoro::waitFor(agent.refresh());
    ASSERT_FALSE(agent.connected());
    ASSERT_TRUE(agent.lastError().has_value());
    FrameClock::freeze(1767261700);
    MainWindow window(ctx(&agent));
    window.resize(980, 660);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const auto everyTabDraws = [&](const QString &agentState) {
        for (Tab t : allTabs) {
            SCOPED_TRACE(tabRawValue(t).toStdString());
            window.setTab(t, false);
            QTest::qWait(20);
            const QImage img = window.grab().toImage();
            ASSERT_EQ(img.size(), QSize(980, 660) * img.devicePixelRatio());
            EXPECT_TRUE(test::hasInk(img));
            EXPECT_TRUE(test::shownTexts(&window).contains(agentState));
        }
    };
    everyTabDraws("Agent inactiv");
    EXPECT_TRUE(window.sidebar()->errorLineVisible());

    startPeer();
    QCoro::waitFor(agent.refresh());
    ASSERT_TRUE(agent.connected());
    EXPECT_FALSE(window.sidebar()->errorLineVisible());
    everyTabDraws("Agent activ");
}

TEST_F(ShellTest, TheWindowKeepsItsMinimumSizeAndAnimatedChangesSettle)
{
    AgentClient agent(socketPath);
    MainWindow window(ctx(&agent));
    window.show();
    window.resize(500, 300);
    EXPECT_GE(window.width(), 980);
    EXPECT_GE(window.height(), 660);

    // An animated tab change ends with the screen in place and fully opaque.
    window.chooseTab(Tab::audit);
    QWidget *screen = window.currentScreen();
    ASSERT_TRUE(waitFor([&] { return screen->graphicsEffect() == nullptr; }));
    EXPECT_EQ(screen->geometry(), window.currentScreen()->parentWidget()->rect().adjusted(20, 20, -20, -20));
}

TEST_F(ShellTest, PanelShowsTheStatusAndFiguresOfTheAgentAndStartsAQuickScan)
{
    startPeer();
    AgentClient agent(socketPath);
    QCoro::waitFor(agent.refresh());
    ASSERT_TRUE(agent.connected());
    MenuBarStatusView panel(ctx(&agent), [] {});
    panel.show();
    const QStringList texts = test::shownTexts(&panel);
    EXPECT_TRUE(texts.contains(QStringLiteral("3 AMENINȚĂRI ACTIVE")));
    for (const char *t : {"3", "4", "412.5", "3.5%"}) // active, quarantined, files a second, agent CPU
        EXPECT_TRUE(texts.contains(QString::fromUtf8(t))) << t;

    // Its quick scan: the primary kind's feedback first, then the command.
    TSPillButton *quick = nullptr;
    for (auto *b : panel.findChildren<TSPillButton *>())
        if (b->title() == QStringLiteral("Quick Scan"))
            quick = b;
    ASSERT_NE(quick, nullptr);
    QTest::mouseClick(quick, Qt::LeftButton);
    EXPECT_EQ(services.haptics.patterns().value(0), HapticPattern::levelChange);
    EXPECT_EQ(services.sounds.kinds().value(0), SoundKind::glass);
    ASSERT_TRUE(waitFor([&] { return peer->requestCount("scan.start") == 1; }));
    EXPECT_EQ(test::requestsFor(*peer, "scan.start").value(0).value("kind"), "quick");

    // The agent goes away: the disconnected rule wins, the old figures stay.
    peer.reset();
    QCoro::waitFor(agent.refresh());
    EXPECT_TRUE(test::shownTexts(&panel).contains(QStringLiteral("AGENT INACTIV")));
    EXPECT_TRUE(test::shownTexts(&panel).contains(QStringLiteral("3")));
}

TEST(TrayIconImage, CountIsDrawnOnlyWhenThereIsOne)
{
    const QImage plain = trayIconImage({"exclamationmark.shield.fill", ""}, 32);
    const QImage counted = trayIconImage({"exclamationmark.shield.fill", "7"}, 32);
    EXPECT_NE(plain, counted);
    EXPECT_EQ(trayIconImage({"exclamationmark.shield.fill", "12345"}, 16).size(), QSize(16, 16));
}
