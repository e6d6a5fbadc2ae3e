#include "agentlink/agentclient.h"
#include "agentlink/scriptedpeer.h"
#include "alerts/soundplayer.h"
#include "busyagent.h"
#include "kit/frameclock.h"
#include "kit/instruments/gaugeview.h"
#include "kit/instruments/lineargauge.h"
#include "kit/instruments/radarview.h"
#include "kit/palette.h"
#include "kit/tspillbutton.h"
#include "kit/tsstat.h"
#include "platform/fakes.h"
#include "screens/dashboard.h"
#include "screens/heatmap.h"
#include "screens/livecharts.h"
#include "screens/scancards.h"
#include "screens/scanview.h"
#include "screens/threatrow.h"
#include "screens/ticker.h"

#include <QJsonObject>
#include <QEventLoop>
#include <QScreen>
#include <QPainter>
#include <QTemporaryDir>
#include <QTimer>
#include <QVBoxLayout>
#include <gtest/gtest.h>

#include "../testbase.h"
#include "../widgetsupport.h"

using namespace tsav;
namespace pal = tsav::palette;
using test::waitFor;

namespace {

struct Rig {
    QTemporaryDir dir{test::testDirTemplate(QStringLiteral("dash"))};
    QString socketPath = dir.filePath(QStringLiteral("agent.sock"));
    RecordingServices rec;
    SoundPlayer player{&rec.sounds, &rec.haptics, &rec.preferences};
    AgentClient client{socketPath};
    Rig() { SoundPlayer::installShared(&player); }
    ~Rig() { SoundPlayer::installShared(nullptr); }
    ScreenContext context() { return ScreenContext{&client, nullptr, &player}; }

    // `cycles` poll cycles in a row, waited for with a watchdog.
    void poll(int cycles)
    {
        QEventLoop loop;
        int finished = 0;
        bool done = false;
        auto c = QObject::connect(&client, &AgentClient::cycleFinished, &loop, [&] {
            if (++finished < cycles)
                return;
            done = true;
            loop.quit();
        });
        client.setPollInterval(std::chrono::milliseconds(20));
        client.start();
        QTimer::singleShot(std::chrono::seconds(60), &loop, &QEventLoop::quit);
        if (!done)
            loop.exec();
        QObject::disconnect(c);
        client.stop();
        ASSERT_TRUE(done) << "poll cycles did not finish";
        // The dashboard's coalesced refresh, then the rows it added being shown.
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }
};

// The labels and names shown, and what the figures and threat rows paint themselves.
QStringList visibleTexts(QWidget *root)
{
    QStringList out = test::shownTexts(root);
    for (TSStat *s : root->findChildren<TSStat *>())
        out << s->value();
    for (ThreatRow *r : root->findChildren<ThreatRow *>())
        if (r->isVisibleTo(root))
            out << r->title() << r->subtitle() << r->status();
    return out;
}

// The whole scroll content, top to bottom, over the window background.
QImage snapshot(DashboardView &view, const QString &name)
{
    QWidget *content = view.widget();
    content->resize(view.viewport()->width(), content->sizeHint().height());
    QImage img(content->size(), QImage::Format_ARGB32_Premultiplied);
    {
        QPainter p(&img);
        QLinearGradient g(0, 0, 0, img.height());
        g.setColorAt(0, pal::backgroundTop);
        g.setColorAt(1, pal::backgroundBottom);
        p.fillRect(img.rect(), g);
    }
    content->render(&img, QPoint(), QRegion(), QWidget::DrawChildren);
    img.save(QStringLiteral(TSAV_RENDER_DIR "/") + name);
    return img;
}

struct Frozen {
    explicit Frozen(double t) { FrameClock::freeze(t); }
    ~Frozen() { FrameClock::freeze(std::nullopt); }
};

using Stepped = test::SteppedClock;

} // namespace

TEST(Dashboard, BeforeAnyReplyShowsZerosAndAttention)
{
    Rig rig;
    Frozen clock(QDateTime::currentMSecsSinceEpoch() / 1000.0);
    DashboardView view(rig.context());
    view.resize(1280, 900);
    view.show();

    const QStringList texts = visibleTexts(&view);
    for (const char *t : {"AGENT INACTIV", "Protecția nu poate fi verificată",
                          "Nicio amenințare detectată — sistem curat.", "0 total", "ultimele 0 tickuri (2s fiecare)"})
        EXPECT_TRUE(texts.contains(QString::fromUtf8(t))) << t;
    EXPECT_FALSE(texts.contains("PROTEJAT"));

    for (TSStat *c : view.counters())
        EXPECT_EQ(c->value(), "0");
    for (GaugeView *g : view.gauges().mid(1))
        EXPECT_DOUBLE_EQ(g->spec().value, 0);
    EXPECT_FALSE(view.barGaugesShown());
    EXPECT_TRUE(view.engineTableRows().isEmpty());
    EXPECT_TRUE(view.visibleThreatRows().isEmpty());
    EXPECT_FALSE(view.radar()->isActive());

    snapshot(view, QStringLiteral("dashboard-empty.png"));
}

TEST(Dashboard, BusyAgentFillsEveryBlock)
{
    Rig rig;
    ScriptedPeer peer(rig.socketPath);
    ASSERT_TRUE(peer.isListening());
    const double now = QDateTime::currentMSecsSinceEpoch() / 1000.0;
    ASSERT_TRUE(peer.loadDataObject(test::busyAgentData(now)));
    // Frozen from the start, as for a snapshot: every value set shows its end state.
    Frozen clock(now + 0.5);
    DashboardView view(rig.context());
    view.resize(1280, 900);
    view.show();
    rig.poll(8);
    ASSERT_TRUE(rig.client.connected());

    const QStringList texts = visibleTexts(&view);
    for (const char *t : {"PROTEJAT", "Toate motoarele rulează", "Uptime 24:00:00  ·  92811 fișiere scanate  ·  ClamAV 870 MB",
                          "180 total", "ultimele 8 tickuri (2s fiecare)", "Trojan.Generic.0",
                          "/home/ana/Downloads/payload-0.bin"})
        EXPECT_TRUE(texts.contains(QString::fromUtf8(t))) << t;
    EXPECT_FALSE(texts.contains(QString::fromUtf8("Nicio amenințare detectată — sistem curat.")));
    // Six recent threats, and how many more the threats screen holds (the agent counts them all).
    EXPECT_EQ(view.recentThreatsMore(), "… și încă 6"); // 10 sent, 6 shown, 12 in all

    QStringList counted;
    for (TSStat *c : view.counters())
        counted << c->value();
    EXPECT_EQ(counted, (QStringList{"3", "4", "5", "148"}));

    // Cloud telemetry is off in the sample: 100 - 5 - min(5 × 3, 25).
    const auto gauges = view.gauges();
    EXPECT_DOUBLE_EQ(gauges[0]->spec().value, 80);
    EXPECT_EQ(gauges[1]->readoutText(), "300.0");
    EXPECT_TRUE(view.barGaugesShown());
    EXPECT_EQ(view.barGauges()[0]->readoutText(), "70 MB");
    EXPECT_EQ(view.barGauges()[1]->readoutText(), "9");
    // Settled: each instrument shows what one made with its final inputs shows.
    for (GaugeView *g : gauges) {
        GaugeView fresh(g->spec());
        fresh.resize(g->size());
        EXPECT_EQ(g->frameKey(now + 0.5), fresh.frameKey(now + 0.5)) << g->spec().title.toStdString();
    }
    for (LinearGauge *b : view.barGauges()) {
        LinearGauge fresh(b->spec());
        fresh.resize(b->size());
        EXPECT_EQ(b->frameKey(now + 0.5), fresh.frameKey(now + 0.5)) << b->spec().title.toStdString();
    }

    EXPECT_EQ(view.radar()->threatCount(), 3);
    EXPECT_TRUE(view.radar()->isActive());

    // Engines: union of names ascending; colours by count.
    const auto rows = view.engineTableRows();
    ASSERT_EQ(rows.size(), 3);
    EXPECT_EQ(rows[0], (QStringList{"Behavior", "0", "3", "9", "2h ago"}));
    EXPECT_EQ(rows[1], (QStringList{"Signature", "0", "0", "0", QString::fromUtf8("—")}));
    EXPECT_EQ(rows[2][0], "Yara");
    EXPECT_EQ(rows[2][1], "2");
    EXPECT_EQ(rows[2][4], "2m ago");

    // Ten threats, six rows; untitled ones fall back.
    const auto threatRows = view.visibleThreatRows();
    ASSERT_EQ(threatRows.size(), 6);
    EXPECT_EQ(threatRows[1]->title(), "Threat");
    EXPECT_EQ(threatRows[2]->subtitle(), QString::fromUtf8("—"));

    snapshot(view, QStringLiteral("dashboard-busy.png"));
}

TEST(Dashboard, ScanButtonsSendScanStart)
{
    Rig rig;
    ScriptedPeer peer(rig.socketPath);
    ASSERT_TRUE(peer.loadDataObject(test::busyAgentData()));
    peer.setData("scan.start", "{}");
    DashboardView view(rig.context());
    view.quickScanButton()->click();
    ASSERT_TRUE(waitFor([&] { return peer.requestCount("scan.start") >= 1; }));
    view.fullScanButton()->click();
    ASSERT_TRUE(waitFor([&] { return peer.requestCount("scan.start") >= 2; }));
    const QList<QJsonObject> starts = test::requestsFor(peer, "scan.start");
    EXPECT_EQ(starts.value(0).value("kind"), "quick");
    EXPECT_EQ(starts.value(1).value("kind"), "full");
    // Let the follow-up poll cycles finish before the client goes away.
    waitFor([&] { return peer.requestCount("metrics.live") >= 2; }, std::chrono::seconds(20));
}

TEST(Dashboard, AMinimisedWindowOrAHiddenDashboardStopsTheFrameClock)
{
    Rig rig;
    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    auto *view = new DashboardView(rig.context(), &window);
    layout->addWidget(view);
    window.resize(1280, 900);
    window.show();
    QCoreApplication::processEvents();
    ASSERT_GT(FrameClock::instance().activeSubscribers(), 0);
    EXPECT_TRUE(FrameClock::instance().isTicking());

    window.showMinimized();
    ASSERT_TRUE(waitFor([&] { return !FrameClock::instance().isTicking(); }));
    EXPECT_TRUE(window.windowState() & Qt::WindowMinimized);
    EXPECT_EQ(FrameClock::instance().activeSubscribers(), 0);
    // Nothing in it repaints either, whether or not the window system stops showing it.
    EXPECT_TRUE(waitFor([&] { return !view->updatesEnabled(); }));

    window.showNormal();
    EXPECT_TRUE(waitFor([&] { return FrameClock::instance().isTicking(); }));
    EXPECT_GT(FrameClock::instance().activeSubscribers(), 0);
    EXPECT_TRUE(waitFor([&] { return view->updatesEnabled(); }));

    // A hidden dashboard (another tab chosen) does not animate either.
    view->hide();
    QCoreApplication::processEvents();
    EXPECT_EQ(FrameClock::instance().activeSubscribers(), 0);
}

// Ages, the engine table's "Last hit" and the heatmap's days come from the frame clock,
// not the wall clock: a render at a fixed time a month back shows that time's picture.
TEST(Dashboard, EveryAgeReadsTheFrameClock)
{
    Rig rig;
    ScriptedPeer peer(rig.socketPath);
    const double then = QDateTime::currentMSecsSinceEpoch() / 1000.0 - 30 * 86400.0;
    ASSERT_TRUE(peer.loadDataObject(test::busyAgentData(then)));
    Frozen clock(then + 0.5);
    DashboardView view(rig.context());
    rig.poll(1);
    ASSERT_TRUE(rig.client.connected());

    EXPECT_EQ(view.engineTableRows().value(0).value(4), "2h ago");
    const QStringList items = view.findChild<EventTickerView *>()->strip()->itemTexts();
    ASSERT_GE(items.size(), 2);
    EXPECT_TRUE(items[1].endsWith(" 47s")) << items[1].toStdString();
    const HeatGrid &grid = view.findChild<ActivityHeatmap *>()->grid();
    qint64 counted = 0;
    for (qint64 c : grid.counts)
        counted += c;
    EXPECT_GT(counted, 60); // the last hours' events, and the week's
}

namespace {

// Pixels of a window shown at 1180 x 780 that differ from a fresh window's, never shown
// and so painting everything from scratch, after ten seconds of frames stepped at the
// radar's rate (every subscriber is due at every step) with a poll half way that moves
// the agent's figures.
int framesAgainstFreshPaint(Rig &rig, ScriptedPeer &peer, double now, const QByteArray &later,
                            const std::function<QWidget *(QWidget *)> &makeView,
                            const std::function<void(QWidget &)> &inspectShown = {})
{
    Stepped stepped;
    auto makeWindow = [&](QWidget &window) {
        auto *layout = new QVBoxLayout(&window);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(makeView(&window));
        window.resize(1180, 780);
    };
    QWidget window;
    makeWindow(window);
    window.show();
    rig.poll(2);
    Stepped::to(now);
    for (int i = 1; i <= 300; ++i) {
        Stepped::to(now + i / 30.0);
        if (i == 150) {
            EXPECT_TRUE(peer.loadDataObject(later));
            rig.poll(1);
        }
    }
    // A dial whose ticks turn is painted when they step, the scan-line band where it then
    // is: end on such a frame, where everything shown is of that moment.
    const auto dials = window.findChildren<GaugeView *>();
    auto dialsStepped = [&](double before, double after) {
        for (const GaugeView *d : dials)
            if (d->isVisible() && d->frameKey(before) != d->frameKey(after))
                return true;
        return false;
    };
    for (int i = 300; !dials.isEmpty() && !dialsStepped(now + (i - 1) / 30.0, now + i / 30.0);) {
        if (++i == 330) {
            ADD_FAILURE() << "the dials' ticks never stepped";
            break;
        }
        Stepped::to(now + i / 30.0);
    }
    const QImage byFrames = window.screen()->grabWindow(window.winId()).toImage();
    if (inspectShown)
        inspectShown(window);

    QWidget fresh;
    fresh.setAttribute(Qt::WA_DontShowOnScreen);
    makeWindow(fresh);
    fresh.show();
    // Its layouts settle as the shown window's did.
    for (int pass = 0; pass < 3; ++pass) {
        for (QWidget *w : fresh.findChildren<QWidget *>())
            if (w->layout())
                w->layout()->activate();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        QCoreApplication::processEvents();
    }
    QImage whole(byFrames.size(), byFrames.format());
    fresh.render(&whole);
    return test::differingPixels(byFrames, whole);
}

// The busy agent in the middle of a full scan.
QByteArray scanningAgentData(double now, int variant)
{
    QJsonObject o = QJsonDocument::fromJson(test::busyAgentData(now, variant)).object();
    o.insert(QStringLiteral("scan.status"),
             QJsonObject{{"id", 8}, {"kind", "full"}, {"started", now - 75}, {"finished", QJsonValue()},
                         {"scanned", 48213 + 400 * variant},
                         {"current", QStringLiteral("/home/ana/Documente/raport_%1.xlsx").arg(variant)},
                         {"running", true}});
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

} // namespace

// Instruments repaint only the part of themselves that moves, and a panel's ring is put
// back over a copy of what lay under it: frames painted that way leave the window as a
// fresh paint would.
TEST(Dashboard, FramesPaintedPieceByPieceMatchAFreshPaint)
{
    Rig rig;
    ScriptedPeer peer(rig.socketPath);
    const double now = QDateTime::currentMSecsSinceEpoch() / 1000.0;
    ASSERT_TRUE(peer.loadDataObject(test::busyAgentData(now)));
    Frozen clock(now);
    EXPECT_EQ(framesAgainstFreshPaint(rig, peer, now, test::busyAgentData(now, 1),
                                      [&](QWidget *parent) { return new DashboardView(rig.context(), parent); }),
              0);
}

// The scan screen's live header paints its frames over a copy of its panel, and its
// particles over it: the same holds there.
TEST(Dashboard, ARunningScansFramesMatchAFreshPaint)
{
    Rig rig;
    ScriptedPeer peer(rig.socketPath);
    const double now = QDateTime::currentMSecsSinceEpoch() / 1000.0;
    ASSERT_TRUE(peer.loadDataObject(scanningAgentData(now, 0)));
    Frozen clock(now);
    auto inspect = [](QWidget &window) {
        const auto heroes = window.findChildren<LiveScanHero *>();
        ASSERT_EQ(heroes.size(), 1);
        EXPECT_TRUE(heroes[0]->isVisible());
        EXPECT_TRUE(heroes[0]->testAttribute(Qt::WA_OpaquePaintEvent));
    };
    EXPECT_EQ(framesAgainstFreshPaint(
                  rig, peer, now, scanningAgentData(now, 1),
                  [&](QWidget *parent) { return new ScanView(rig.context(), parent); }, inspect),
              0);
}
