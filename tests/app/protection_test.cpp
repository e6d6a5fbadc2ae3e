// What the user does about a threat and what the console says about its protection,
// against a scripted agent on a real socket: the actions of every threat row (with the
// questions asked first), an engine that is not working on the dashboard and in the tray
// panel, the allow-list in the settings, and where forwarded events go.
#include "agentlink/agentclient.h"
#include "agentlink/scriptedpeer.h"
#include "alerts/soundplayer.h"
#include "app/menubarstatusview.h"
#include "app/statusrules.h"
#include "kit/instruments/gaugeview.h"
#include "platform/fakes.h"
#include "screens/dashboard.h"
#include "screens/settingsview.h"
#include "screens/threatrow.h"
#include "screens/threatsview.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <QCoroTask>

#include <gtest/gtest.h>

#include "../testbase.h"

using namespace tsav;

namespace {

bool waitFor(const std::function<bool()> &done) { return QTest::qWaitFor(done, 20000); }

QStringList textsIn(const QWidget *root)
{
    QStringList out;
    for (const QLabel *l : root->findChildren<QLabel *>())
        if (l->isVisibleTo(root))
            out << l->text();
    return out;
}

// The dialog a screen opened (they are window-modal and answered later), and one of its buttons.
template <typename T = QMessageBox>
T *dialog(const QString &name)
{
    T *found = nullptr;
    waitFor([&] {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *d = qobject_cast<T *>(w); d && d->objectName() == name && d->isVisible())
                found = d;
        if (!found)
            for (QWidget *w : QApplication::topLevelWidgets())
                if (auto *d = w->findChild<T *>(name); d && d->isVisible())
                    found = d;
        return found != nullptr;
    });
    return found;
}

void press(QMessageBox *box, const QString &title)
{
    for (QAbstractButton *b : box->buttons())
        if (b->text() == title) {
            b->click();
            return;
        }
    ADD_FAILURE() << "no button " << title.toStdString();
}

QStringList buttonTitles(QMessageBox *box)
{
    QStringList out;
    for (QAbstractButton *b : box->buttons())
        out << b->text();
    return out;
}

QJsonObject lastRequest(const ScriptedPeer &peer, const QString &op)
{
    QJsonObject found;
    for (const QByteArray &r : peer.requests()) {
        const QJsonObject o = QJsonDocument::fromJson(r).object();
        if (o.value("op").toString() == op)
            found = o;
    }
    return found;
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
    void startPeer(const QByteArray &data = ScriptedPeer::sampleDataObject())
    {
        peer = std::make_unique<ScriptedPeer>(socketPath);
        ASSERT_TRUE(peer->isListening()) << peer->errorString().toStdString();
        ASSERT_TRUE(peer->loadDataObject(data));
    }
    ScreenContext ctx(AgentClient *agent) { return ScreenContext{agent, nullptr, &player}; }
    // A client that has had one cycle with the scripted agent.
    std::unique_ptr<AgentClient> answered()
    {
        auto agent = std::make_unique<AgentClient>(socketPath);
        QCoro::waitFor(agent->refresh());
        return agent;
    }

    QTemporaryDir home{test::testDirTemplate(QStringLiteral("protect"))};
    QString socketPath;
    std::unique_ptr<ScriptedPeer> peer;
    RecordingServices services;
    SoundPlayer player{&services.sounds, &services.haptics, &services.preferences};
};

} // namespace

TEST_F(ProtectionTest, EveryThreatRowOffersWhatItsThreatAllowsAndAsksBeforeWhatCannotBeUndone)
{
    startPeer();
    const auto client = answered();
    AgentClient &agent = *client;
    ThreatsView view(ctx(&agent));
    view.resize(1100, 900);
    view.show();
    QTest::qWait(20);
    // Rows: 12 an active file, 11 and 10 active processes, 9 a quarantined file.
    ASSERT_EQ(view.listModel().rowCount(), 4);
    EXPECT_EQ(view.actionButtonRects(0).size(), 2); // Carantină, Permite
    EXPECT_EQ(view.actionButtonRects(1).size(), 2); // Oprește procesul, Permite
    EXPECT_EQ(view.actionButtonRects(3).size(), 1); // Permite (its content, from the vault)
    QWidget *viewport = view.listView()->viewport();
    const auto click = [&](int row, int button) {
        const QList<QRect> rects = view.actionButtonRects(row);
        ASSERT_GT(rects.size(), button);
        QTest::mouseClick(viewport, Qt::LeftButton, {}, rects[button].center());
    };

    // Quarantine now: no question (the vault gives the file back), then a cycle.
    peer->clearRequests();
    click(0, 0);
    ASSERT_TRUE(waitFor([&] { return view.noticeText() == "Fișierul a fost mutat în carantină."; }));
    EXPECT_EQ(lastRequest(*peer, "threat.quarantine").value("id").toInteger(), 12);
    EXPECT_EQ(peer->requestCount("summary"), 1);

    // Ending a process asks first; cancelling sends nothing.
    click(1, 0);
    QMessageBox *box = dialog("threat.confirmKill");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), "Oprești procesul miner (PID 4242)?");
    press(box, "Anulează");
    QTest::qWait(50);
    EXPECT_EQ(peer->requestCount("threat.kill"), 0);
    click(1, 0);
    press(dialog("threat.confirmKill"), "Oprește procesul");
    ASSERT_TRUE(waitFor([&] { return view.noticeText() == "Procesul miner (PID 4242) a fost oprit."; }));
    EXPECT_EQ(lastRequest(*peer, "threat.kill").value("id").toInteger(), 11);

    // Allowing a process: its executable, as the live process list knows it.
    click(1, 1);
    box = dialog("threat.confirmAllow");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(buttonTitles(box), (QStringList{"Permite programul", "Anulează"}));
    press(box, "Permite programul");
    ASSERT_TRUE(waitFor([&] { return peer->requestCount("allowlist.add") == 1; }));
    EXPECT_EQ(lastRequest(*peer, "allowlist.add").value("value").toString(), "/tmp/.x/miner");
    EXPECT_EQ(lastRequest(*peer, "allowlist.add").value("kind").toString(), "process");

    // Allowing a quarantined file: its content or its path; it stays in the vault.
    click(3, 0);
    box = dialog("threat.confirmAllow");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(buttonTitles(box), (QStringList{"Permite conținutul (SHA-256)", "Permite calea", "Anulează"}));
    EXPECT_TRUE(box->informativeText().contains("rămâne în carantină"));
    press(box, "Permite conținutul (SHA-256)");
    ASSERT_TRUE(waitFor([&] { return peer->requestCount("allowlist.add") == 2; }));
    const QJsonObject sent = lastRequest(*peer, "allowlist.add");
    EXPECT_EQ(sent.value("kind").toString(), "sha256");
    EXPECT_EQ(sent.value("value").toString(), "275a021bbfb6489e54d471899f7db9d1663fc695ec2fe2a2c4538aabf651fd0f");
    EXPECT_EQ(sent.value("note").toString(), "Amenințarea #9: EICAR-Test-File");
    ASSERT_TRUE(waitFor([&] { return view.noticeText().contains("îl poți restaura din ecranul Carantină"); }));

    // The agent refuses: its words, in the notice.
    peer->setReply("threat.quarantine", "{\"ok\":false,\"data\":null,\"error\":\"not quarantined: disk full\"}\n");
    click(0, 0);
    ASSERT_TRUE(waitFor([&] { return view.noticeText() == "Carantina nu a reușit: not quarantined: disk full"; }));
}

TEST_F(ProtectionTest, ANameThatIsNotUtf8IsNeverAllowedByAGuessedPath)
{
    startPeer();
    // The agent shows bytes that are not UTF-8 as U+FFFD; nothing in the vault knows the content.
    peer->setData("threats", R"([{"id": 30, "ts": 1767261600.0, "kind": "yara", "severity": "high",
        "path": "/home/ana/Downloads/\ufffdevil.sh", "signature": "Reverse_Shell", "status": "detected"}])");
    peer->setData("quarantine.list", "[]");
    const auto client = answered();
    AgentClient &agent = *client;
    ThreatsView view(ctx(&agent));
    view.resize(1100, 700);
    view.show();
    QTest::qWait(20);
    const QList<QRect> rects = view.actionButtonRects(0);
    ASSERT_EQ(rects.size(), 2);
    QTest::mouseClick(view.listView()->viewport(), Qt::LeftButton, {}, rects[1].center());
    ASSERT_TRUE(waitFor([&] { return view.noticeText().contains("nu este UTF-8"); }));
    EXPECT_EQ(peer->requestCount("allowlist.add"), 0);
}

TEST_F(ProtectionTest, TheDashboardsRecentThreatsCarryTheSameActions)
{
    startPeer();
    const auto client = answered();
    AgentClient &agent = *client;
    DashboardView dashboard(ctx(&agent));
    dashboard.resize(1280, 900);
    dashboard.show();
    dashboard.refreshNow();
    QTest::qWait(20);
    const QList<ThreatRow *> rows = dashboard.visibleThreatRows();
    ASSERT_EQ(rows.size(), 4);
    ASSERT_EQ(rows[0]->actionRects().size(), 2);
    EXPECT_TRUE(rows[2]->actionRects().size() == 2); // the network threat's process
    peer->clearRequests();
    QTest::mouseClick(rows[0], Qt::LeftButton, {}, rows[0]->actionRects()[0].center().toPoint());
    ASSERT_TRUE(waitFor([&] { return peer->requestCount("threat.quarantine") == 1; }));
    ASSERT_TRUE(waitFor([&] { return textsIn(&dashboard).contains("Fișierul a fost mutat în carantină."); }));
}

TEST_F(ProtectionTest, AnEngineThatIsNotWorkingIsNeverShownAsProtected)
{
    QByteArray data = ScriptedPeer::sampleDataObject();
    data.replace(R"("signature": {"hits": 1, "last": 1767240000.0, "state": "ok"})",
                 R"("signature": {"hits": 1, "last": 1767240000.0, "state": "degraded", "reason": "clamd not running"},
                    "behavior": {"hits": 0, "last": 0, "state": "off", "reason": "switched off"})");
    data.replace(R"("threats_active": 3)", R"("threats_active": 0)");
    startPeer(data);
    const auto client = answered();
    AgentClient &agent = *client;
    DashboardView dashboard(ctx(&agent));
    dashboard.resize(1280, 900);
    dashboard.show();
    dashboard.refreshNow();
    EXPECT_EQ(dashboard.stateTitle(), "ATENȚIE");
    EXPECT_EQ(dashboard.stateSubtitle(), "Motorul Signature e degradat: clamd not running");
    const QList<QStringList> rows = dashboard.engineTableRows();
    const QList<QStringList> states = dashboard.engineTableStates();
    ASSERT_EQ(rows.size(), 3); // behavior, signature, yara
    EXPECT_EQ(rows[1][0], "Signature");
    EXPECT_EQ(states[1], (QStringList{"DEGRADAT", "clamd not running"}));
    EXPECT_EQ(states[0], (QStringList{"OPRIT", ""})); // switched off by its user: no alarm
    EXPECT_EQ(states[2], (QStringList{"OK", ""}));
    EXPECT_LT(dashboard.gauges()[0]->spec().value, 85); // out of the green zone

    MenuBarStatusView panel(ctx(&agent), [] {});
    panel.show();
    EXPECT_TRUE(textsIn(&panel).contains("PROTECȚIE DEGRADATĂ"));
    EXPECT_TRUE(textsIn(&panel).contains("Motorul Signature e degradat: clamd not running"));
    EXPECT_FALSE(textsIn(&panel).contains("PROTEJAT"));
    EXPECT_EQ(trayLabel(true, agent.summary(), !currentEngineProblems(agent).isEmpty()).icon,
              "exclamationmark.shield.fill");

    // Healthy again: the same screens say so.
    peer->loadDataObject(data.replace(R"("state": "degraded", "reason": "clamd not running")", R"("state": "ok")"));
    QCoro::waitFor(agent.refresh());
    dashboard.refreshNow();
    EXPECT_EQ(dashboard.stateTitle(), "PROTEJAT");
    EXPECT_TRUE(textsIn(&panel).contains("PROTEJAT"));
    EXPECT_FALSE(textsIn(&panel).contains("Motorul Signature e degradat: clamd not running"));
}

TEST_F(ProtectionTest, SettingsListTheAllowListRemoveAfterAskingAndAddAFolder)
{
    startPeer();
    const auto client = answered();
    AgentClient &agent = *client;
    QWidget window;
    auto *view = new SettingsView(ctx(&agent), &window);
    window.resize(1000, 800);
    view->resize(1000, 800);
    window.show();
    ASSERT_TRUE(waitFor([&] { return view->allowRowValues().size() == 2; })); // read when shown
    EXPECT_EQ(view->allowRowValues().first(), "/home/ana/proiecte/build");

    // Removing asks; cancelling keeps the entry.
    view->allowRemoveButtons().first()->click();
    press(dialog("settings.confirmRemove"), "Anulează");
    QTest::qWait(50);
    EXPECT_EQ(peer->requestCount("allowlist.remove"), 0);
    view->allowRemoveButtons().first()->click();
    press(dialog("settings.confirmRemove"), "Elimină");
    ASSERT_TRUE(waitFor([&] { return peer->requestCount("allowlist.remove") == 1; }));
    EXPECT_EQ(lastRequest(*peer, "allowlist.remove").value("id").toInteger(), 2);
    ASSERT_TRUE(waitFor([&] { return view->allowNoticeText().startsWith("Excepția a fost eliminată"); }));

    // A folder from the desktop's folder dialog.
    const QString folder = home.filePath("proiecte");
    ASSERT_TRUE(QDir().mkpath(folder));
    view->addFolderButton()->click();
    auto *chooser = dialog<QFileDialog>("settings.folderDialog");
    ASSERT_NE(chooser, nullptr);
    chooser->setDirectory(home.path());
    chooser->selectFile(folder);
    QMetaObject::invokeMethod(chooser, "accept"); // as its own button does
    ASSERT_TRUE(waitFor([&] { return peer->requestCount("allowlist.add") == 1; }));
    EXPECT_EQ(lastRequest(*peer, "allowlist.add").value("value").toString(), QDir::cleanPath(folder));
    EXPECT_EQ(lastRequest(*peer, "allowlist.add").value("kind").toString(), "path");
    ASSERT_TRUE(waitFor([&] { return view->allowNoticeText().contains("a fost adăugat la excepții"); }));

    // A hostile list stays a short screen; an agent that does not know the list says so.
    QByteArray many = "[";
    for (int i = 0; i < 10000; ++i)
        many += QByteArray(i ? "," : "") + R"({"id":)" + QByteArray::number(10000 - i)
                + R"(,"kind":"path","value":"/x/)" + QByteArray::number(i) + R"(","note":"","ts":1})";
    peer->setData("allowlist.list", many + "]");
    QCoro::waitFor(agent.refreshAllowList());
    EXPECT_EQ(view->allowRowValues().size(), 50);
    EXPECT_EQ(view->allowMoreText(), "… și încă 9950");
    peer->clearReply("allowlist.list");
    QCoro::waitFor(agent.refreshAllowList());
    EXPECT_EQ(view->allowNoticeText(), "Lista de excepții nu poate fi citită: unknown op");
    EXPECT_TRUE(view->allowRowValues().isEmpty());
}

TEST_F(ProtectionTest, TheTelemetryRowNamesWhereEventsGo)
{
    startPeer();
    const auto client = answered();
    AgentClient &agent = *client;
    SettingsView view(ctx(&agent));
    EXPECT_EQ(view.forwardNote(), ""); // telemetry off in the sample
    peer->setData("settings.get", R"({"cloud_telemetry": true,
        "forward_to": {"host": "siem.example", "port": 6514, "protocol": "tls"}})");
    QCoro::waitFor(agent.refreshSettings());
    EXPECT_EQ(view.forwardNote(), "Trimite evenimente la siem.example:6514 (syslog, TLS)");
    peer->setData("settings.get", R"({"cloud_telemetry": true, "forward_to": {"host": "::1", "port": 514, "protocol": "tcp"}})");
    QCoro::waitFor(agent.refreshSettings());
    EXPECT_EQ(view.forwardNote(), "Trimite evenimente la [::1]:514 (syslog)");
    peer->setData("settings.get", R"({"cloud_telemetry": true, "forward_to": {"host": "", "port": 0, "protocol": "local"}})");
    QCoro::waitFor(agent.refreshSettings());
    EXPECT_EQ(view.forwardNote(), "Trimite evenimente la syslog-ul local (/dev/log)");
}
