// What the user does about a threat and what the console says about its protection,
// against a scripted agent on a real socket, for what the real agent cannot be made to do
// on demand (a process to end, an engine that recovers, a refusal, thousands of entries);
// tests/e2e drives the same screens against the real agent.
#include "agentlink/agentclient.h"
#include "agentlink/scriptedpeer.h"
#include "alerts/soundplayer.h"
#include "kit/instruments/gaugeview.h"
#include "platform/fakes.h"
#include "screens/dashboard.h"
#include "screens/settingsview.h"
#include "screens/threatrow.h"
#include "screens/threatsview.h"

#include <QDir>
#include <QFileDialog>
#include <QListView>
#include <QTemporaryDir>

#include <QCoroTask>

#include "../testbase.h"
#include "../widgetsupport.h"

using namespace tsav;
using namespace tsav::test;

namespace {

QJsonObject lastRequest(const ScriptedPeer &peer, const QString &op)
{
    const QList<QJsonObject> all = requestsFor(peer, op);
    return all.isEmpty() ? QJsonObject() : all.last();
}

class ProtectionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(home.isValid());
        socketPath = agentSocketPath(home.path());
        SoundPlayer::installShared(&player);
    }
    void TearDown() override { SoundPlayer::installShared(nullptr); }
    // The scripted agent with `data`, and a client that has had one cycle with it.
    AgentClient &answering(const QByteArray &data = ScriptedPeer::sampleDataObject())
    {
        peer = std::make_unique<ScriptedPeer>(socketPath);
        EXPECT_TRUE(peer->isListening() && peer->loadDataObject(data)) << peer->errorString().toStdString();
        client = std::make_unique<AgentClient>(socketPath);
        QCoro::waitFor(client->refresh());
        return *client;
    }
    ScreenContext ctx() { return ScreenContext{client.get(), nullptr, &player}; }

    QTemporaryDir home{testDirTemplate(QStringLiteral("protect"))};
    QString socketPath;
    std::unique_ptr<ScriptedPeer> peer;
    std::unique_ptr<AgentClient> client;
    RecordingServices services;
    SoundPlayer player{&services.sounds, &services.haptics, &services.preferences};
};

} // namespace

TEST_F(ProtectionTest, AProcessIsEndedOnlyAfterTheQuestionAndAllowedByItsProgram)
{
    answering();
    ThreatsView view(ctx());
    view.resize(1100, 900);
    view.show();
    QTest::qWait(20);
    // Rows: 12 an active file, 11 and 10 active processes, 9 a quarantined file.
    ASSERT_EQ(view.listModel().rowCount(), 4);
    EXPECT_EQ(view.actionButtonRects(3).size(), 1); // a quarantined file: only "Permite"
    const auto click = [&](int row, int button) {
        const QList<QRect> rects = view.actionButtonRects(row);
        ASSERT_GT(rects.size(), button);
        QTest::mouseClick(view.listView()->viewport(), Qt::LeftButton, {}, rects[button].center());
    };

    click(1, 0);
    QMessageBox *box = shownDialog("threat.confirmKill");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), "Oprești procesul miner (PID 4242)?");
    press(box, "Anulează");
    QTest::qWait(50);
    EXPECT_EQ(peer->requestCount("threat.kill"), 0);
    click(1, 0);
    press(shownDialog("threat.confirmKill"), "Oprește procesul");
    ASSERT_TRUE(waitFor([&] { return view.noticeText() == "Procesul miner (PID 4242) a fost oprit."; }));
    EXPECT_EQ(lastRequest(*peer, "threat.kill").value("id").toInteger(), 11);
    EXPECT_EQ(peer->requestCount("summary"), 2); // a cycle after the command

    // Its executable, as the live process list knows it.
    click(1, 1);
    box = shownDialog("threat.confirmAllow");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(buttonTitles(box), (QStringList{"Permite programul", "Anulează"}));
    press(box, "Permite programul");
    ASSERT_TRUE(waitFor([&] { return peer->requestCount("allowlist.add") == 1; }));
    EXPECT_EQ(lastRequest(*peer, "allowlist.add").value("value").toString(), "/tmp/.x/miner");
    ASSERT_TRUE(waitFor([&] { return view.noticeText().startsWith("Adăugat la excepții: /tmp/.x/miner."); }));

    // A refusal, in the agent's words.
    peer->setReply("threat.quarantine", "{\"ok\":false,\"data\":null,\"error\":\"not quarantined: disk full\"}\n");
    click(0, 0);
    ASSERT_TRUE(waitFor([&] { return view.noticeText() == "Carantina nu a reușit: not quarantined: disk full"; }));

    // A name shown with U+FFFD and no content known: nothing to allow, nothing guessed.
    peer->setData("threats", R"([{"id": 30, "ts": 1767261600.0, "kind": "yara", "severity": "high",
        "path": "/home/ana/Downloads/\ufffdevil.sh", "signature": "Reverse_Shell", "status": "detected"}])");
    QCoro::waitFor(client->refresh());
    click(0, 1);
    ASSERT_TRUE(waitFor([&] { return view.noticeText().contains("nu este UTF-8"); }));
    EXPECT_EQ(peer->requestCount("allowlist.add"), 1);
}

TEST_F(ProtectionTest, TheDashboardsRecentThreatsCarryTheSameActions)
{
    answering();
    DashboardView dashboard(ctx());
    dashboard.resize(1280, 900);
    dashboard.show();
    dashboard.refreshNow();
    QTest::qWait(20);
    const QList<ThreatRow *> rows = dashboard.visibleThreatRows();
    ASSERT_EQ(rows.size(), 4);
    ASSERT_EQ(rows[0]->actionRects().size(), 2);
    QTest::mouseClick(rows[0], Qt::LeftButton, {}, rows[0]->actionRects()[0].center().toPoint());
    ASSERT_TRUE(waitFor([&] { return shownTexts(&dashboard).contains("Fișierul a fost mutat în carantină."); }));
    EXPECT_EQ(lastRequest(*peer, "threat.quarantine").value("id").toInteger(), 12);
}

TEST_F(ProtectionTest, AnEngineThatIsNotWorkingLeavesGreenUntilItRecovers)
{
    QByteArray data = ScriptedPeer::sampleDataObject();
    data.replace(R"("signature": {"hits": 1, "last": 1767240000.0, "state": "ok"})",
                 R"("signature": {"hits": 1, "last": 1767240000.0, "state": "degraded", "reason": "clamd not running"},
                    "behavior": {"hits": 0, "last": 0, "state": "off", "reason": "switched off"})");
    data.replace(R"("threats_active": 3)", R"("threats_active": 0)");
    answering(data);
    DashboardView dashboard(ctx());
    dashboard.resize(1280, 900);
    dashboard.show();
    dashboard.refreshNow();
    EXPECT_EQ(dashboard.stateSubtitle(), "Motorul Signature e degradat: clamd not running");
    const QList<QStringList> states = dashboard.engineTableStates(); // behavior, signature, yara
    ASSERT_EQ(states.size(), 3);
    EXPECT_EQ(states[0], (QStringList{"OPRIT", ""})); // switched off by its user: no alarm
    EXPECT_EQ(states[1], (QStringList{"DEGRADAT", "clamd not running"}));
    EXPECT_LT(dashboard.gauges()[0]->spec().value, 85); // out of the green zone

    peer->loadDataObject(data.replace(R"("state": "degraded", "reason": "clamd not running")", R"("state": "ok")"));
    QCoro::waitFor(client->refresh());
    dashboard.refreshNow();
    EXPECT_EQ(dashboard.stateTitle(), "PROTEJAT");
    EXPECT_EQ(dashboard.engineTableStates()[1], (QStringList{"OK", ""}));
}

TEST_F(ProtectionTest, SettingsAddAFolderAndStayShortAndHonestAboutTheAllowList)
{
    answering();
    QWidget window;
    auto *view = new SettingsView(ctx(), &window);
    window.resize(1000, 800);
    view->resize(1000, 800);
    window.show();
    ASSERT_TRUE(waitFor([&] { return view->allowRowValues().size() == 2; })); // read when shown

    // A folder from the desktop's folder dialog.
    const QString folder = home.filePath("proiecte");
    ASSERT_TRUE(QDir().mkpath(folder));
    view->addFolderButton()->click();
    auto *chooser = shownDialog<QFileDialog>("settings.folderDialog");
    ASSERT_NE(chooser, nullptr);
    chooser->setDirectory(home.path());
    chooser->selectFile(folder);
    QMetaObject::invokeMethod(chooser, "accept"); // as its own button does
    ASSERT_TRUE(waitFor([&] { return peer->requestCount("allowlist.add") == 1; }));
    EXPECT_EQ(lastRequest(*peer, "allowlist.add").value("value").toString(), QDir::cleanPath(folder));
    ASSERT_TRUE(waitFor([&] { return view->allowNoticeText().contains("a fost adăugat la excepții"); }));

    // A hostile list stays a short screen; an agent that does not know the list says so.
    QByteArray many = "[";
    for (int i = 0; i < 10000; ++i)
        many += QByteArray(i ? "," : "") + R"({"id":)" + QByteArray::number(10000 - i)
                + R"(,"kind":"path","value":"/x/)" + QByteArray::number(i) + R"(","note":"","ts":1})";
    peer->setData("allowlist.list", many + "]");
    QCoro::waitFor(client->refreshAllowList());
    EXPECT_EQ(view->allowRowValues().size(), 50);
    EXPECT_EQ(view->allowMoreText(), "… și încă 9950");
    peer->clearReply("allowlist.list");
    QCoro::waitFor(client->refreshAllowList());
    EXPECT_EQ(view->allowNoticeText(), "Lista de excepții nu poate fi citită: unknown op");
    EXPECT_TRUE(view->allowRowValues().isEmpty());
}

TEST_F(ProtectionTest, TheTelemetryRowNamesWhereEventsGo)
{
    answering();
    SettingsView view(ctx());
    EXPECT_EQ(view.forwardNote(), ""); // telemetry off in the sample
    const QList<std::pair<QByteArray, QString>> cases{
        {R"({"host": "siem.example", "port": 6514, "protocol": "tls"})", "Trimite evenimente la siem.example:6514 (syslog, TLS)"},
        {R"({"host": "::1", "port": 514, "protocol": "tcp"})", "Trimite evenimente la [::1]:514 (syslog)"},
        {R"({"host": "", "port": 0, "protocol": "local"})", "Trimite evenimente la syslog-ul local (/dev/log)"},
    };
    for (const auto &[target, line] : cases) {
        peer->setData("settings.get", R"({"cloud_telemetry": true, "forward_to": )" + target + "}");
        QCoro::waitFor(client->refreshSettings());
        EXPECT_EQ(view.forwardNote(), line);
    }
}
