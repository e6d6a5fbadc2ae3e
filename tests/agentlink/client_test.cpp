// The client's poll cycle and its commands against a scripted peer on a real socket.

#include "agentlink/agentclient.h"
#include "agentlink/scriptedpeer.h"
#include "testsupport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>

using namespace std::chrono_literals;
using tsav::AgentClient;
using tsav::ScriptedPeer;
using tsav::test::requestsFor;
using tsav::test::runTask;
using tsav::test::waitUntil;

namespace {

class Client : public ::testing::Test {
protected:
    void SetUp() override { tsav::test::app(); }
    void startPeer()
    {
        peer = std::make_unique<ScriptedPeer>(socket);
        ASSERT_TRUE(peer->isListening());
        ASSERT_TRUE(peer->loadDataObject(ScriptedPeer::sampleDataObject()));
    }
    tsav::test::ScratchDir scratch;
    QString socket = scratch.path();
    std::unique_ptr<ScriptedPeer> peer;
    AgentClient client{socket};
};

TEST_F(Client, AnAgentDownAtStartChangesNothingButTheConnectionAndOneComingUpFillsEverything)
{
    QSignalSpy finished(&client, &AgentClient::cycleFinished);
    QSignalSpy connectedSpy(&client, &AgentClient::connectedChanged);
    runTask(client.refresh());
    EXPECT_FALSE(client.connected());
    ASSERT_TRUE(client.lastError());
    EXPECT_TRUE(client.lastError()->contains("connect(" + socket + ")")) << client.lastError()->toStdString();
    EXPECT_FALSE(client.summary() || client.metrics() || client.scan());
    EXPECT_TRUE(client.threats().isEmpty() && client.processes().isEmpty() && client.settings().isEmpty());
    EXPECT_TRUE(client.filesPerSecHistory().isEmpty() && client.threatsHistory().isEmpty());
    EXPECT_EQ(finished.count(), 1);
    EXPECT_EQ(connectedSpy.count(), 1); // assigned (false again), so observers hear it

    startPeer();
    runTask(client.refresh());
    EXPECT_TRUE(client.connected());
    EXPECT_FALSE(client.lastError());
    ASSERT_TRUE(client.summary());
    EXPECT_EQ(client.summary()->threats_active, 3);
    EXPECT_EQ(client.threats().size(), 4);
    EXPECT_EQ(client.quarantine().size(), 1);
    EXPECT_EQ(client.network().size(), 3);
    EXPECT_EQ(client.events().size(), 4);
    ASSERT_TRUE(client.scan());
    ASSERT_TRUE(client.metrics());
    EXPECT_EQ(client.settings().size(), 7);
    EXPECT_TRUE(client.setting(tsav::SettingKey::realtime_enabled));
    EXPECT_EQ(client.scheduledScanHours(), 24);

    for (const tsav::History *h : {&client.filesPerSecHistory(), &client.agentCpuHistory(), &client.systemCpuHistory(),
                                   &client.ramHistory(), &client.threatsHistory(), &client.netSentHistory(),
                                   &client.netRecvHistory()})
        EXPECT_EQ(h->size(), 1);
    EXPECT_EQ(client.threatsHistory()[0].value, 3.0);

    // The seven list and record requests carry the table's payloads.
    EXPECT_EQ(requestsFor(*peer, "threats").value(0), (QJsonObject{{"op", "threats"}, {"limit", 200}}));
    EXPECT_EQ(requestsFor(*peer, "events").value(0), (QJsonObject{{"op", "events"}, {"limit", 200}}));
    EXPECT_TRUE(peer->requests().contains("{\"op\":\"processes\"}"));
    EXPECT_TRUE(peer->requests().contains("{\"op\":\"summary\"}"));

    // Going down again keeps the last data but marks the client disconnected.
    peer.reset();
    runTask(client.refresh());
    EXPECT_FALSE(client.connected());
    EXPECT_TRUE(client.lastError());
    EXPECT_EQ(client.threats().size(), 4);
    EXPECT_EQ(client.filesPerSecHistory().size(), 1);
}

TEST_F(Client, OneMalformedReplySpoilsOnlyItsOwnPart)
{
    startPeer();
    runTask(client.refresh());
    ASSERT_EQ(client.threats().size(), 4);
    peer->setData("threats", R"([{"id":1,"ts":2,"kind":"yara","severity":"high","status":"detected"},
                                 {"id":2,"ts":2,"kind":"yara","severity":"high"}])");
    runTask(client.refresh());
    EXPECT_TRUE(client.threats().isEmpty());
    EXPECT_TRUE(client.connected());
    EXPECT_FALSE(client.lastError());
    EXPECT_EQ(client.events().size(), 4);
    EXPECT_EQ(client.processes().size(), 3);

    // Metrics that close without a reply: still connected, and no sample taken.
    ASSERT_EQ(client.ramHistory().size(), 2);
    peer->setReply("metrics.live", QByteArray());
    runTask(client.refresh());
    EXPECT_TRUE(client.connected());
    EXPECT_FALSE(client.metrics());
    EXPECT_EQ(client.ramHistory().size(), 2);
    EXPECT_EQ(client.threatsHistory().size(), 2);
}

TEST_F(Client, SettingsKeepOnlyBooleansAndFailuresChangeNothing)
{
    startPeer();
    peer->setData("settings.get", R"({"realtime_enabled":true,"scheduled_scan_hours":6,"cloud_telemetry":"on"})");
    runTask(client.refreshSettings());
    EXPECT_EQ(client.settings(), (QHash<QString, bool>{{"realtime_enabled", true}}));
    EXPECT_EQ(client.scheduledScanHours(), 6);

    peer->setData("settings.get", R"({"network_monitor":false,"scheduled_scan_hours":"x"})");
    runTask(client.refreshSettings());
    EXPECT_EQ(client.settings(), (QHash<QString, bool>{{"network_monitor", false}}));
    EXPECT_EQ(client.scheduledScanHours(), 6);

    peer->setData("settings.get", "[1]");
    runTask(client.refreshSettings());
    EXPECT_EQ(client.settings().size(), 1);
    peer->setReply("settings.get", "not json\n");
    runTask(client.refreshSettings());
    EXPECT_EQ(client.settings().size(), 1);
    EXPECT_FALSE(client.lastError());
}

TEST_F(Client, SixtyFirstSampleDropsTheOldestAndSamplesAreDatedByTheGivenClock)
{
    startPeer();
    // A render at a fixed time dates its samples by that time, not by the wall clock.
    const QDateTime fixed = QDateTime::fromSecsSinceEpoch(1767261700);
    client.setClock([&] { return fixed; });
    runTask(client.refresh());
    EXPECT_EQ(client.netRecvHistory()[0].date, fixed);
    EXPECT_EQ(client.filesPerSecHistory()[0].date, fixed);
    runTask(client.refresh());
    const QUuid second = client.ramHistory()[1].id;
    EXPECT_NE(client.ramHistory()[0].id, second);
    for (int i = 2; i < 60; ++i)
        runTask(client.refresh());
    ASSERT_EQ(client.ramHistory().size(), 60);
    QJsonObject metrics =
        QJsonDocument::fromJson(ScriptedPeer::sampleDataObject()).object().value("metrics.live").toObject();
    QJsonObject system = metrics.value("system").toObject();
    system.insert("ram_percent", 99.0);
    metrics.insert("system", system);
    peer->setData("metrics.live", QJsonDocument(metrics).toJson(QJsonDocument::Compact));
    runTask(client.refresh());
    ASSERT_EQ(client.ramHistory().size(), 60);
    EXPECT_EQ(client.ramHistory().front().id, second);
    EXPECT_EQ(client.ramHistory().back().value, 99.0);
    EXPECT_EQ(client.netSentHistory().size(), 60);
}

TEST_F(Client, ProcessesSortStablyByScore)
{
    startPeer();
    const char *row = R"({"pid":%1,"name":"p","user":"u","exe":"e","cpu":0,"rss":0,"connections":0,"open_files":0,"threads":1,"score":%2})";
    QStringList rows;
    for (auto [pid, score] : {std::pair{1, "0.2"}, {2, "0.9"}, {3, "0.5"}, {4, "0.9"}, {5, "0.2"}})
        rows << QString::fromLatin1(row).arg(pid).arg(score);
    peer->setData("processes", ("[" + rows.join(",") + "]").toUtf8());
    runTask(client.refresh());
    QList<qint64> pids;
    for (const auto &p : client.processes())
        pids << p.pid;
    EXPECT_EQ(pids, (QList<qint64>{2, 4, 3, 1, 5}));
}

TEST_F(Client, PollLoopKeepsTheEventLoopLiveAndRestartsCleanly)
{
    startPeer();
    ScriptedPeer::Behaviour slow;
    slow.bytes = "{\"ok\":true,\"data\":{\"threats_total\":1,\"threats_active\":0,\"quarantined\":0,"
                 "\"threats_last_24h\":0,\"events_last_24h\":0}}\n";
    slow.delay = 300ms;
    peer->setBehaviour("summary", slow);

    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);

    client.setPollInterval(1h); // only a restart can start another cycle soon
    QSignalSpy finished(&client, &AgentClient::cycleFinished);
    client.start();
    EXPECT_TRUE(client.isPolling());
    ASSERT_TRUE(waitUntil([&] { return finished.count() == 1; }));
    EXPECT_GT(ticks, 5); // the GUI thread kept running while the summary was delayed

    client.start(); // cuts the hour-long pause short and starts one fresh loop
    ASSERT_TRUE(waitUntil([&] { return finished.count() == 2; }));
    waitUntil([] { return false; }, 500ms);
    EXPECT_EQ(finished.count(), 2); // the old loop did not run another cycle
    EXPECT_EQ(peer->requestCount("summary"), 2);

    // A short interval repeats the cycle; stopping ends it (one in progress may finish).
    peer->loadDataObject(ScriptedPeer::sampleDataObject());
    client.setPollInterval(20ms);
    client.start();
    ASSERT_TRUE(waitUntil([&] { return finished.count() >= 5; }));
    client.stop();
    EXPECT_FALSE(client.isPolling());
    const int afterStop = finished.count();
    waitUntil([] { return false; }, 300ms);
    EXPECT_LE(finished.count(), afterStop + 1);
}

TEST(ClientLifetime, DestroyedWhilePollingOrMidCycleIsSafe)
{
    tsav::test::ScratchDir scratch;
    ScriptedPeer peer(scratch.path());
    peer.loadDataObject(ScriptedPeer::sampleDataObject());
    ScriptedPeer::Behaviour slow;
    slow.bytes = "{\"ok\":true,\"data\":[]}\n";
    slow.delay = 200ms;
    peer.setBehaviour("threats", slow);
    {
        auto *client = new AgentClient(scratch.path());
        client->setPollInterval(1h);
        client->start();
        // Destroyed while the seven requests are in flight.
        ASSERT_TRUE(waitUntil([&] { return peer.requestCount("threats") == 1; }));
        delete client;
        waitUntil([] { return false; }, 400ms); // the pending results arrive and find no client
    }
    {
        auto *client = new AgentClient(scratch.path());
        client->setPollInterval(1h);
        QSignalSpy finished(client, &AgentClient::cycleFinished);
        client->start();
        ASSERT_TRUE(waitUntil([&] { return finished.count() == 1; }));
        delete client; // while the loop sleeps
        waitUntil([] { return false; }, 100ms);
    }
    SUCCEED();
}

// --- commands -------------------------------------------------------------------------

TEST_F(Client, CommandWithAgentDownRaisesNothingAndItsRefreshRecordsTheError)
{
    runTask(client.startScan("quick"));
    EXPECT_FALSE(client.connected());
    ASSERT_TRUE(client.lastError());
    EXPECT_TRUE(client.lastError()->contains("connect("));
    EXPECT_FALSE(runTask(client.runAudit()));
    runTask(client.setSetting(tsav::SettingKey::auto_quarantine, true));
    runTask(client.setScheduledScanHours(3));
    EXPECT_EQ(client.scheduledScanHours(), 0);
    const tsav::CommandResult unreachable = runTask(client.quarantineThreat(4));
    EXPECT_FALSE(unreachable.ok);
    EXPECT_TRUE(unreachable.error.contains("connect(")) << unreachable.error.toStdString();
}

TEST_F(Client, CommandPayloadsAsThePeerReceivesThem)
{
    startPeer();
    runTask(client.startScan("full"));
    EXPECT_EQ(requestsFor(*peer, "scan.start").value(0), (QJsonObject{{"op", "scan.start"}, {"kind", "full"}}));
    EXPECT_EQ(peer->requestCount("summary"), 1); // the follow-up refresh
    EXPECT_EQ(peer->requestCount("settings.get"), 1);

    runTask(client.stopScan());
    EXPECT_TRUE(peer->requests().contains("{\"op\":\"scan.stop\"}"));
    EXPECT_EQ(peer->requestCount("summary"), 2);

    runTask(client.deleteQuarantine(7));
    EXPECT_TRUE(peer->requests().contains("{\"id\":7,\"op\":\"quarantine.delete\"}"));
    runTask(client.restoreQuarantine(9007199254740993LL));
    EXPECT_TRUE(peer->requests().contains("{\"id\":9007199254740993,\"op\":\"quarantine.restore\"}"));
    EXPECT_EQ(peer->requestCount("summary"), 4);

    // (What follows a settings command is driven from the settings screen's tests.)
}

TEST_F(Client, CommandsIgnoreRejectionsAndLeaveConnectionStateAlone)
{
    startPeer();
    runTask(client.refresh());
    QSignalSpy lastError(&client, &AgentClient::lastErrorChanged);
    peer->setReply("settings.set", "{\"ok\":false,\"error\":\"denied\"}\n");
    runTask(client.setScheduledScanHours(5));
    peer->setReply("settings.set", QByteArray());
    runTask(client.setSetting(tsav::SettingKey::network_monitor, true));
    EXPECT_EQ(lastError.count(), 0);
    EXPECT_TRUE(client.connected());
}

TEST_F(Client, CallPutsThePathOverAnyOpInThePayload)
{
    startPeer();
    auto r = runTask(client.call("summary", {{"op", "evil"}, {"n", 3}, {"s", "ă"}}));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(peer->requests().value(0), "{\"n\":3,\"op\":\"summary\",\"s\":\"ă\"}");
}

} // namespace

// --- a hostile or broken agent ---------------------------------------------------------

namespace {

ScriptedPeer::Behaviour trickled(const QByteArray &bytes)
{
    ScriptedPeer::Behaviour b;
    b.bytes = bytes;
    b.trickleChunk = 1;
    b.trickleDelay = 100ms;
    return b;
}

} // namespace

TEST_F(Client, ATrickledReplyEndsItsCycleAtTheDeadlineAsAFailureAndPollingGoesOn)
{
    startPeer();
    client.setCycleDeadline(2s);
    const QByteArray summary = "{\"ok\":true,\"data\":{\"threats_total\":1,\"threats_active\":1,\"quarantined\":0,"
                               "\"threats_last_24h\":1,\"events_last_24h\":1}}\n";
    peer->setBehaviour("summary", trickled(summary));
    runTask(client.refresh(), 20s);
    EXPECT_FALSE(client.connected());
    EXPECT_FALSE(client.agentRefused());
    EXPECT_EQ(client.lastError().value_or(""), "agentul nu a răspuns complet în 2 s");

    // One of the seven trickles: what arrived is shown, but the cycle still failed.
    peer->loadDataObject(ScriptedPeer::sampleDataObject());
    peer->setBehaviour("events", trickled("{\"ok\":true,\"data\":[]}\n"));
    runTask(client.refresh(), 20s);
    EXPECT_EQ(client.threats().size(), 4);
    EXPECT_TRUE(client.metrics());
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(client.lastError().value_or(""), "agentul nu a răspuns complet în 2 s");
    EXPECT_EQ(peer->requestCount("settings.get"), 0); // the cycle ended there

    // The loop keeps its rhythm: one deadline-long cycle, a pause, the next one.
    QSignalSpy finished(&client, &AgentClient::cycleFinished);
    client.setPollInterval(50ms);
    client.start();
    EXPECT_TRUE(waitUntil([&] { return finished.count() >= 3; }, 30s));
    client.stop();
    peer->loadDataObject(ScriptedPeer::sampleDataObject());
    runTask(client.refresh());
    EXPECT_TRUE(client.connected());
}

TEST_F(Client, HugeRepliesKeepOnlyWhatTheScreensCanShowAndCountTheRest)
{
    startPeer();
    peer->setData("threats", ScriptedPeer::manyThreatsJson(100000));
    QByteArray network = "[";
    for (int i = 0; i < 2500; ++i)
        network += QByteArray(i ? "," : "") + "{\"pid\":" + QByteArray::number(i)
                   + ",\"local\":\"10.0.0.2:5\",\"remote\":\"1.2.3.4:443\",\"status\":\"ESTABLISHED\",\"suspicious\":false}";
    peer->setData("network", network + "]");
    peer->setData("metrics.live", ScriptedPeer::metricsWithEnginesJson(20000));
    runTask(client.refresh(), 60s);
    ASSERT_TRUE(client.connected());
    EXPECT_EQ(client.threats().size(), AgentClient::maxRequestedRows);
    EXPECT_EQ(client.threats().first().id, 100000); // the agent's order: newest first
    EXPECT_EQ(client.threatsOmitted(), 100000 - AgentClient::maxRequestedRows);
    EXPECT_TRUE(client.threatsReceived());
    EXPECT_EQ(client.network().size(), AgentClient::maxConnections);
    EXPECT_EQ(client.networkOmitted(), 500);
    ASSERT_TRUE(client.metrics());
    EXPECT_EQ(client.metrics()->engines.size(), tsav::LiveMetrics::maxMapEntries);
    EXPECT_EQ(client.metrics()->engineNamesSent, 20000);

    // An honest reply again: nothing is counted as left out.
    peer->loadDataObject(ScriptedPeer::sampleDataObject());
    runTask(client.refresh());
    EXPECT_EQ(client.threatsOmitted(), 0);
    EXPECT_EQ(client.networkOmitted(), 0);
}
