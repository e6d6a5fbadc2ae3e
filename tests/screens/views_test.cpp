// The screens rendered offscreen with empty and busy data, and their behaviour against a
// real client talking to a scripted agent on a Unix socket.

#include "screenfixtures.h"

#include "agentlink/agentclient.h"
#include "agentlink/scriptedpeer.h"
#include "alerts/soundplayer.h"
#include "kit/frameclock.h"
#include "kit/instruments/gaugeview.h"
#include "kit/palette.h"
#include "kit/tspillbutton.h"
#include "kit/typography.h"
#include "platform/fakes.h"
#include "screens/eventslogic.h"
#include "screens/eventsview.h"
#include "screens/networkview.h"
#include "screens/processesview.h"
#include "screens/quarantineview.h"
#include "screens/scanview.h"
#include "screens/screenparts.h"
#include "screens/threatsview.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLinearGradient>
#include <QListView>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>

#include <QCoroTask>

#include <gtest/gtest.h>

#include "../testbase.h"
#include "../widgetsupport.h"

using namespace tsav;
using test::waitFor;

namespace {

constexpr double kNow = 1767262000.0; // shortly after the scripted agent's latest stamps

// Renders `w` over the window's background gradient and keeps the picture.
QImage snapshot(QWidget *w, const QString &name, QSize size = {1100, 820})
{
    w->resize(size);
    w->show();
    QApplication::processEvents();
    QImage img(size, QImage::Format_ARGB32_Premultiplied);
    {
        QPainter p(&img);
        QLinearGradient g(0, 0, 0, size.height());
        g.setColorAt(0, palette::backgroundTop);
        g.setColorAt(1, palette::backgroundBottom);
        p.fillRect(img.rect(), g);
    }
    w->render(&img, QPoint(), QRegion(), QWidget::DrawChildren);
    const QString dir = QStringLiteral(TSAV_SNAPSHOT_DIR);
    QDir().mkpath(dir);
    img.save(dir + QLatin1Char('/') + name + QStringLiteral(".png"));
    return img;
}

// A scripted agent on a real socket and a client polling it by hand.
struct Agent {
    QTemporaryDir dir{test::testDirTemplate(QStringLiteral("screens"))};
    ScriptedPeer peer{dir.path() + QStringLiteral("/agent.sock")};
    AgentClient client{dir.path() + QStringLiteral("/agent.sock")};

    Agent()
    {
        peer.loadDataObject(ScriptedPeer::sampleDataObject());
        QCoro::waitFor(client.refresh());
    }
};

// Sounds and haptics recorded instead of played.
struct RecordedFeedback {
    RecordingServices rec;
    SoundPlayer player{&rec.sounds, &rec.haptics, &rec.preferences};
};

} // namespace

// --- threats ----------------------------------------------------------------------------

TEST(ThreatsScreen, EmptyThenBusyListFilterAndTimeline)
{
    ThreatsView v(ScreenContext{});
    EXPECT_EQ(v.headerText(), "0 total · 0 active");
    EXPECT_FALSE(v.timelineShowsBars());
    EXPECT_TRUE(v.listShowsEmptyState());
    EXPECT_TRUE(test::hasInk(snapshot(&v, "threats-empty")));
    const auto list = fixtures::threats(200, kNow);
    v.setThreats(list, kNow);
    EXPECT_EQ(v.headerText(), QStringLiteral("200 total · %1 active").arg(threats::activeCount(list)));
    EXPECT_TRUE(v.timelineShowsBars());
    EXPECT_EQ(v.listModel().rowCount(), 200);
    snapshot(&v, "threats-busy");

    // "High" and "high" both pass the high filter.
    v.setFilter(threats::Severity::high);
    EXPECT_EQ(v.listModel().rowCount(), threats::filtered(list, threats::Severity::high).size());
    for (const Threat &t : v.listModel().rows())
        EXPECT_EQ(t.severity.toLower(), "high");
    // A poll keeps the filter.
    v.setThreats(list.mid(0, 50), kNow);
    EXPECT_EQ(v.filter(), threats::Severity::high);
    EXPECT_EQ(v.listModel().rowCount(), threats::filtered(list.mid(0, 50), threats::Severity::high).size());

    // Only old threats: donut yes, timeline empty state.
    QList<Threat> old = fixtures::threats(3, kNow - 3 * 86400);
    for (Threat &t : old)
        t.ts = kNow - 3 * 86400;
    v.setFilter(threats::Severity::all);
    v.setThreats(old, kNow);
    EXPECT_FALSE(v.timelineShowsBars());
    EXPECT_FALSE(v.listShowsEmptyState());
}

// --- network ----------------------------------------------------------------------------

TEST(NetworkScreen, EmptyThenBusyConnectionsChartAndRates)
{
    NetworkView v(ScreenContext{});
    EXPECT_EQ(v.downText(), "DOWN  0 KB/s");
    EXPECT_FALSE(v.chartShown());
    snapshot(&v, "network-empty");
    const auto rows = fixtures::connections(10000);
    v.setConnections(rows);
    EXPECT_EQ(v.listModel().rowCount(), 10000);
    LiveMetrics m;
    m.system.net_bytes_recv_per_sec = 1536.9;
    v.setRates(m);
    EXPECT_EQ(v.downText(), "DOWN  1.5 KB/s");
    // Download samples only: the chart shows.
    v.setHistory(fixtures::history(60, kNow, 3e6, 0), {});
    EXPECT_TRUE(v.chartShown());
    v.setHistory(fixtures::history(60, kNow, 3e6, 0), fixtures::history(60, kNow, 8e5, 9));
    snapshot(&v, "network-busy");
}

// --- processes --------------------------------------------------------------------------

TEST(ProcessesScreen, EmptyAndBusy)
{
    ProcessesView v(ScreenContext{});
    EXPECT_EQ(v.headerText(), "0 procese · sortate după cpu");
    EXPECT_TRUE(v.treemap()->tiles().isEmpty());
    snapshot(&v, "processes-empty");

    v.setProcesses(fixtures::processes(150));
    snapshot(&v, "processes-busy");
    EXPECT_EQ(v.tableModel().rowCount(), 80);
    EXPECT_EQ(v.treemap()->tiles().size(), 20);
    const auto &rows = v.tableModel().rows();
    for (int i = 1; i < rows.size(); ++i)
        EXPECT_GE(rows[i - 1].cpu, rows[i].cpu);

    v.setSortBy(processes::Metric::score);
    EXPECT_EQ(v.headerText(), "150 procese · sortate după ai score");
    EXPECT_GE(v.tableModel().rowAt(0).score, v.tableModel().rowAt(79).score);
    snapshot(&v, "processes-score");
}

// --- events -----------------------------------------------------------------------------

TEST(EventsScreen, PickerFilterAndVanishedSource)
{
    EventsView v(ScreenContext{});
    EXPECT_EQ(v.headerText(), "0 evenimente recente");
    EXPECT_EQ(v.picker()->count(), 1);
    snapshot(&v, "events-empty");

    const auto list = fixtures::events(200, kNow);
    v.setEvents(list);
    QStringList offered;
    for (int i = 0; i < v.picker()->count(); ++i)
        offered.append(v.picker()->itemText(i));
    EXPECT_EQ(offered, (QStringList{"all", "FS", "Net", "fs", "process", "quarantine", "yara"}));
    snapshot(&v, "events-busy");

    v.picker()->setCurrentIndex(3);
    emit v.picker()->activated(3);
    EXPECT_EQ(v.source(), "fs");
    EXPECT_EQ(v.headerText(), "200 evenimente recente");
    for (const EventRow &e : v.listModel().rows())
        EXPECT_EQ(e.source, "fs");
    EXPECT_EQ(v.listModel().rowCount(), events::filtered(list, "fs").size());

    // The fs events leave: the selection stays, the list is empty, the picker drops it.
    QList<EventRow> noFs;
    for (const EventRow &e : list)
        if (e.source != "fs")
            noFs.append(e);
    v.setEvents(noFs);
    EXPECT_EQ(v.source(), "fs");
    EXPECT_EQ(v.listModel().rowCount(), 0);
    EXPECT_EQ(v.picker()->currentIndex(), -1);
}

TEST(EventsScreen, ActionWrapsInItsColumnInsteadOfBeingCut)
{
    const QFont font = fonts::mono(11);
    // A short action stays one line, untouched.
    EXPECT_EQ(eventActionLines("scan started", font, 140), QStringList{"scan started"});

    // The agent's usual long actions wrap at word boundaries and lose nothing.
    const QString action = "security audit run: 4/10 passing, score 39";
    const QStringList lines = eventActionLines(action, font, 140);
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines.join(' '), action);
    const QFontMetricsF fm(font);
    for (const QString &l : lines)
        EXPECT_LE(fm.horizontalAdvance(l), 140.5) << l.toStdString();

    // A hostile action without spaces is broken anywhere and capped, ending in an ellipsis.
    const QStringList capped = eventActionLines(QString(5000, u'A'), font, 140);
    EXPECT_EQ(capped.size(), 6);
    EXPECT_TRUE(capped.last().endsWith(u'\u2026'));

    // In the list, the row of a long action is taller than the row of a short one.
    EventsView v(ScreenContext{});
    QList<EventRow> list(2);
    list[0].id = 2, list[0].ts = kNow, list[0].source = "api", list[0].action = action;
    list[1].id = 1, list[1].ts = kNow, list[1].source = "scan", list[1].action = "scan started";
    v.setEvents(list);
    v.resize(1000, 600);
    v.show();
    QApplication::processEvents();
    const int tall = v.listView()->visualRect(v.listView()->model()->index(0, 0)).height();
    const int plain = v.listView()->visualRect(v.listView()->model()->index(1, 0)).height();
    EXPECT_GE(tall, plain + int(fm.height()) - 1);
    snapshot(&v, "events-wrapped");
}

// --- quarantine -------------------------------------------------------------------------

TEST(QuarantineScreen, EmptyStateAndRows)
{
    QuarantineView v(ScreenContext{});
    EXPECT_EQ(v.headerText(), "0 fișiere izolate · XOR-obfuscate în vault");
    EXPECT_TRUE(v.showsEmptyState());
    snapshot(&v, "quarantine-empty");

    QuarantineEntry q;
    q.id = 7;
    q.original_path = "/home/ana/Downloads/invoice.pdf.exe";
    q.size = 1536;
    q.reason = "Win_Trojan_Agent";
    QuarantineEntry dir = q;
    dir.id = 8;
    dir.original_path = "/tmp/folder/";
    v.setEntries({q, dir});
    EXPECT_FALSE(v.showsEmptyState());
    ASSERT_EQ(v.rows().size(), 2);
    EXPECT_EQ(quarantineFileName(q.original_path), "invoice.pdf.exe");
    EXPECT_EQ(quarantineFileName(dir.original_path), "");
    snapshot(&v, "quarantine-busy");

    // An unchanged entry keeps its row widget across a poll.
    QuarantineRow *kept = v.rows()[0];
    v.setEntries({q});
    EXPECT_EQ(v.rows().value(0), kept);
}

// --- scan -------------------------------------------------------------------------------

namespace {

ScanStatus scanStatus(bool running, qint64 scanned, std::optional<double> finished = {})
{
    ScanStatus s;
    s.id = 3;
    s.kind = "quick";
    s.started = kNow - 40;
    s.finished = finished;
    s.scanned = scanned;
    s.running = running;
    s.current = running ? QStringLiteral("/home/ana/Downloads/archive/very/deep/folder/file.tar.gz") : QString();
    return s;
}

LiveMetrics scanMetrics()
{
    LiveMetrics m;
    m.files_per_second = 312.4;
    m.agent.cpu = 47.5;
    m.agent.rss = 300 * 1048576LL;
    m.active_scan_dirs.insert("/home/ana/Downloads", {1200, 2, kNow - 40, std::nullopt, 40});
    m.active_scan_dirs.insert("/tmp", {300, 0, kNow - 40, kNow - 20, 20});
    return m;
}

} // namespace

TEST(ScanScreen, RunningScanShowsLiveBlocksAndGauges)
{
    RecordedFeedback fb;
    ScanView v(ScreenContext{nullptr, nullptr, &fb.player});
    QList<Threat> threats = fixtures::threats(3, kNow);
    for (Threat &t : threats)
        t.ts = kNow - 10;
    v.setState(scanStatus(true, 1500), scanMetrics(), threats);
    ASSERT_TRUE(v.showsLiveBlocks());
    ASSERT_EQ(v.gauges().size(), 4);
    EXPECT_DOUBLE_EQ(v.gauges()[1]->spec().value, 3);
    EXPECT_DOUBLE_EQ(v.gauges()[1]->spec().max, 10);
    EXPECT_NEAR(v.gauges()[3]->spec().value, 300, 1e-9);
    snapshot(&v, "scan-running", {1100, 1200});

    QList<Threat> many = fixtures::threats(25, kNow);
    for (Threat &t : many)
        t.ts = kNow - 5;
    v.setState(scanStatus(true, 1600), std::nullopt, many);
    EXPECT_DOUBLE_EQ(v.gauges()[1]->spec().max, 25);
    EXPECT_DOUBLE_EQ(v.gauges()[0]->spec().value, 0); // no metrics
}

TEST(ScanScreen, CleanResultGivesFeedbackEachTimeItAppears)
{
    RecordedFeedback fb;
    ScanView v(ScreenContext{nullptr, nullptr, &fb.player});
    EXPECT_FALSE(v.showsLiveBlocks()); // no scan yet: the cards only
    EXPECT_FALSE(v.showsResults());
    snapshot(&v, "scan-empty");
    v.setState(scanStatus(false, 0, kNow), std::nullopt, {});
    EXPECT_FALSE(v.showsResults()); // nothing scanned

    v.setState(scanStatus(false, 18234, kNow - 10), std::nullopt, {});
    ASSERT_TRUE(v.showsResults());
    EXPECT_TRUE(v.resultsShowClean());
    EXPECT_EQ(v.resultsLineText(), "30.0s · 18234 fișiere · 608 f/s · 0 amenințări");
    EXPECT_EQ(v.cleanAppearances(), 1);
    EXPECT_EQ(fb.rec.sounds.count(SoundKind::glass), 1);
    EXPECT_TRUE(fb.rec.haptics.patterns().contains(HapticPattern::levelChange));
    snapshot(&v, "scan-clean");

    // Another poll with the same result: no second chime.
    v.setState(scanStatus(false, 18234, kNow - 10), std::nullopt, {});
    EXPECT_EQ(fb.rec.sounds.count(SoundKind::glass), 1);

    // A new scan runs and finishes clean again: the line appears again.
    v.setState(scanStatus(true, 5), std::nullopt, {});
    EXPECT_FALSE(v.showsResults());
    v.setState(scanStatus(false, 20, kNow), std::nullopt, {});
    EXPECT_EQ(v.cleanAppearances(), 2);
    EXPECT_EQ(fb.rec.sounds.count(SoundKind::glass), 2);

    // A scan that found threats (one from before it started does not count) is not clean.
    QList<Threat> threats = fixtures::threats(4, kNow);
    threats[0].ts = kNow - 100;
    for (int i = 1; i < 4; ++i)
        threats[i].ts = kNow - 30;
    v.setState(scanStatus(false, 100, kNow - 20), std::nullopt, threats);
    EXPECT_FALSE(v.resultsShowClean());
    EXPECT_EQ(v.resultsLineText(), "20.0s · 100 fișiere · 5 f/s · 3 amenințări");
    EXPECT_EQ(fb.rec.sounds.count(SoundKind::glass), 2);
    snapshot(&v, "scan-threats");
}

TEST(ScanScreen, AFailedScanIsNeverCleanAndEveryScanSaysWhatItLeftAlone)
{
    RecordedFeedback fb;
    ScanView v(ScreenContext{nullptr, nullptr, &fb.player});
    ScanStatus failed = scanStatus(false, 0, kNow);
    failed.outcome = "failed";
    failed.error = "no location could be opened";
    v.setState(failed, std::nullopt, {});
    ASSERT_TRUE(v.showsResults()); // nothing scanned, but the user must hear why
    EXPECT_FALSE(v.resultsShowClean());
    EXPECT_EQ(fb.rec.sounds.count(SoundKind::glass), 0);
    auto *note = v.findChild<NoticeBar *>("scan.outcome");
    ASSERT_NE(note, nullptr);
    EXPECT_EQ(note->text(), "Scanul a eșuat: no location could be opened");

    ScanStatus partial = scanStatus(false, 500, kNow);
    partial.outcome = "stopped";
    partial.skipped_foreign = 3;
    partial.unreadable = 12;
    v.setState(partial, std::nullopt, {});
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); // the failed scan's panel
    note = v.findChild<NoticeBar *>("scan.outcome");
    ASSERT_NE(note, nullptr);
    EXPECT_EQ(note->text(), "Scan oprit înainte de final · 3 fișiere ale altor utilizatori lăsate deoparte · "
                            "12 nu au putut fi citite");
    EXPECT_TRUE(v.resultsShowClean());
    snapshot(&v, "scan-stopped");
}

TEST(ScanScreen, LaunchCardGivesMorseThenStartsTheScan)
{
    Agent agent;
    RecordedFeedback fb;
    ScanView v(ScreenContext{&agent.client, nullptr, &fb.player});
    EXPECT_TRUE(v.showsResults()); // the scripted agent reports a finished clean scan
    agent.peer.clearRequests();
    v.fullCard()->click();
    EXPECT_EQ(fb.rec.sounds.count(SoundKind::morse), 1);
    EXPECT_TRUE(waitFor([&] { return agent.peer.requestCount("scan.start") == 1; }));
    EXPECT_EQ(test::requestsFor(agent.peer, "scan.start").value(0).value("kind"), "full");
}

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    fonts::ensureLoaded();
    FrameClock::freeze(kNow);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
