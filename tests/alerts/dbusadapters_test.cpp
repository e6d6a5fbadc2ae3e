// The notification and launcher-badge adapters against a private session bus, with a
// small notification server and a signal watcher living in the test.
#include "agentlink/agentclient.h"
#include "agentlink/scriptedpeer.h"
#include "alerts/soundplayer.h"
#include "alerts/threatnotifier.h"
#include "platform/desktopnotifications.h"
#include "platform/fakes.h"
#include "platform/unitylauncherbadge.h"
#include "privatebus.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QTest>

#include <gtest/gtest.h>

#include "../agentlink/testsupport.h"

using namespace tsav;

namespace {

test::PrivateBus *bus = nullptr;

class BusEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        bus = new test::PrivateBus;
        const QString address = bus->start();
        ASSERT_FALSE(address.isEmpty()) << bus->errorString().toStdString();
        // Set before the first use of QDBusConnection::sessionBus(), which the adapters take.
        qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
    }
    void TearDown() override
    {
        delete bus;
        bus = nullptr;
    }
};

bool waitFor(const std::function<bool()> &done) { return QTest::qWaitFor(done, 10000); }

} // namespace

class FakeNotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Call {
        QString app;
        uint replaces = 0;
        QString icon, summary, body;
        QStringList actions;
        QVariantMap hints;
        int timeout = 0;
    };

    explicit FakeNotificationServer(QStringList caps = {"body"})
        : m_caps(std::move(caps)),
          m_conn(QDBusConnection::connectToBus(bus->address(), QStringLiteral("server")))
    {
    }
    ~FakeNotificationServer() override
    {
        m_conn.unregisterService(DesktopNotifications::serviceName);
        m_conn.unregisterObject(DesktopNotifications::objectPath);
        QDBusConnection::disconnectFromBus(QStringLiteral("server"));
    }
    bool registerOnBus()
    {
        return m_conn.registerObject(DesktopNotifications::objectPath, this,
                                     QDBusConnection::ExportAllSlots |
                                         QDBusConnection::ExportAllSignals) &&
               m_conn.registerService(DesktopNotifications::serviceName);
    }

    QList<Call> calls;
    int capabilityCalls = 0;

public Q_SLOTS:
    QStringList GetCapabilities()
    {
        ++capabilityCalls;
        return m_caps;
    }
    uint Notify(const QString &app, uint replaces, const QString &icon, const QString &summary,
                const QString &body, const QStringList &actions, const QVariantMap &hints,
                int timeout)
    {
        calls.append({app, replaces, icon, summary, body, actions, hints, timeout});
        return replaces != 0 ? replaces : m_nextId++;
    }
    void CloseNotification(uint id) { Q_EMIT NotificationClosed(id, 3); }

public:
    // What the server does when the user clicks a notification's button.
    void invoke(uint id, const QString &key) { Q_EMIT ActionInvoked(id, key); }

Q_SIGNALS:
    void NotificationClosed(uint id, uint reason);
    void ActionInvoked(uint id, const QString &actionKey);

private:
    QStringList m_caps;
    QDBusConnection m_conn;
    uint m_nextId = 41;
};

class LauncherWatcher : public QObject {
    Q_OBJECT
public:
    LauncherWatcher() : m_conn(QDBusConnection::connectToBus(bus->address(), QStringLiteral("watcher")))
    {
        m_conn.connect(QString(), QString(), UnityLauncherBadge::interfaceName,
                       QStringLiteral("Update"), this, SLOT(onUpdate(QDBusMessage)));
    }
    ~LauncherWatcher() override { QDBusConnection::disconnectFromBus(QStringLiteral("watcher")); }

    struct Update {
        QString signature, uri;
        QVariantMap props;
    };
    QList<Update> updates;

public Q_SLOTS:
    void onUpdate(const QDBusMessage &msg)
    {
        Update u;
        u.signature = msg.signature();
        const QList<QVariant> args = msg.arguments();
        if (args.size() == 2) {
            u.uri = args[0].toString();
            args[1].value<QDBusArgument>() >> u.props;
        }
        updates.append(u);
    }

private:
    QDBusConnection m_conn;
};

namespace {

NotificationRequest request(qint64 threatId, NotificationLevel level)
{
    NotificationRequest r;
    r.identifier = QStringLiteral("tsav.threat.%1").arg(threatId);
    r.title = QStringLiteral("Tessaly — HIGH");
    r.body = QStringLiteral("EICAR\nx.dmg");
    r.level = level;
    r.userInfo.insert(QStringLiteral("threat_id"), threatId);
    return r;
}

} // namespace

TEST(DesktopNotifications, AuthorisesAndReusesServerIdsPerIdentifierUntilClosed)
{
    FakeNotificationServer server;
    ASSERT_TRUE(server.registerOnBus());
    DesktopNotifications notes;
    notes.requestAuthorization();
    ASSERT_TRUE(waitFor([&] { return notes.server() == DesktopNotifications::Server::available; }));
    EXPECT_EQ(server.capabilityCalls, 1);

    notes.post(request(42, NotificationLevel::critical));
    ASSERT_TRUE(waitFor([&] { return notes.serverId("tsav.threat.42") != 0; }));
    notes.post(request(42, NotificationLevel::normal));
    notes.post(request(43, NotificationLevel::normal));
    ASSERT_TRUE(waitFor([&] { return server.calls.size() == 3; }));

    EXPECT_EQ(server.calls[0].replaces, 0u);
    EXPECT_EQ(server.calls[1].replaces, 41u); // the id the server gave tsav.threat.42
    EXPECT_EQ(server.calls[2].replaces, 0u);
    EXPECT_EQ(server.calls[0].summary, "Tessaly — HIGH");
    EXPECT_EQ(server.calls[0].body, "EICAR\nx.dmg");

    // The hints' D-Bus types matter to the servers: a byte for urgency, a 64-bit id.
    const QVariantMap &critical = server.calls[0].hints;
    EXPECT_EQ(critical.value("urgency").typeId(), QMetaType::UChar);
    EXPECT_EQ(critical.value("urgency").toInt(), 2);
    EXPECT_TRUE(critical.contains("sound-name"));
    EXPECT_EQ(critical.value("x-tsav-threat-id").typeId(), QMetaType::LongLong);
    EXPECT_EQ(critical.value("x-tsav-threat-id").toLongLong(), 42);

    const QVariantMap &normal = server.calls[2].hints;
    EXPECT_EQ(normal.value("urgency").toInt(), 1);
    EXPECT_FALSE(normal.contains("sound-name"));
    EXPECT_EQ(normal.value("x-tsav-threat-id").toLongLong(), 43);

    // One the user closed is not replaced later: the next post makes a new one.
    server.CloseNotification(notes.serverId("tsav.threat.43"));
    ASSERT_TRUE(waitFor([&] { return notes.serverId("tsav.threat.43") == 0; }));
    notes.post(request(43, NotificationLevel::normal));
    ASSERT_TRUE(waitFor([&] { return server.calls.size() == 4; }));
    EXPECT_EQ(server.calls[3].replaces, 0u);
}

TEST(DesktopNotifications, NoServerSkipsSilentlyUntilOneAppears)
{
    DesktopNotifications notes;
    notes.requestAuthorization();
    ASSERT_TRUE(waitFor([&] { return notes.server() == DesktopNotifications::Server::unavailable; }));
    notes.post(request(1, NotificationLevel::critical)); // dropped, no error

    FakeNotificationServer server;
    ASSERT_TRUE(server.registerOnBus());
    ASSERT_TRUE(waitFor([&] { return notes.server() == DesktopNotifications::Server::available; }));
    notes.post(request(2, NotificationLevel::normal));
    ASSERT_TRUE(waitFor([&] { return server.calls.size() == 1; }));
    QTest::qWait(100);
    ASSERT_EQ(server.calls.size(), 1);
    EXPECT_EQ(server.calls[0].hints.value("x-tsav-threat-id").toLongLong(), 2);
}

TEST(DesktopNotifications, HostileTextsArriveCutAndEscaped)
{
    FakeNotificationServer server({"body", "body-markup"});
    ASSERT_TRUE(server.registerOnBus());
    DesktopNotifications notes;
    notes.requestAuthorization();
    ASSERT_TRUE(waitFor([&] { return notes.capabilities().contains("body-markup"); }));

    NotificationRequest r = request(9, NotificationLevel::normal);
    r.title = QString(QChar(u'\0')) + QStringLiteral("T") + QString(100000, QLatin1Char('x'));
    r.body = QStringLiteral("<a href='x'>evil</a> & \xd800 lone") + QString(QChar(u'\0')) +
             QStringLiteral("end");
    notes.post(r);
    ASSERT_TRUE(waitFor([&] { return server.calls.size() == 1; }));
    EXPECT_EQ(server.calls[0].summary.size(), DesktopNotifications::maxTextLength - 1);
    EXPECT_TRUE(server.calls[0].summary.startsWith("Txxx"));
    EXPECT_TRUE(server.calls[0].body.startsWith("&lt;a href='x'&gt;evil&lt;/a&gt; &amp; "))
        << server.calls[0].body.toStdString();
    EXPECT_TRUE(server.calls[0].body.endsWith("lone" "end"));
}

TEST(UnityLauncherBadge, UpdateSignalCarriesTypedCount)
{
    LauncherWatcher watcher;
    QTest::qWait(50); // let the watcher's match rule reach the bus
    UnityLauncherBadge badge;
    badge.setCount(5);
    badge.setCount(std::nullopt);
    badge.setCount(0);
    ASSERT_TRUE(waitFor([&] { return watcher.updates.size() == 3; }));

    for (const auto &u : watcher.updates) {
        EXPECT_EQ(u.signature, "sa{sv}");
        EXPECT_EQ(u.uri, "application://tessaly-antivirus.desktop");
        EXPECT_EQ(u.props.value("count").typeId(), QMetaType::LongLong);
        EXPECT_EQ(u.props.value("count-visible").typeId(), QMetaType::Bool);
    }
    EXPECT_EQ(watcher.updates[0].props.value("count").toLongLong(), 5);
    EXPECT_TRUE(watcher.updates[0].props.value("count-visible").toBool());
    EXPECT_FALSE(watcher.updates[1].props.value("count-visible").toBool());
    EXPECT_FALSE(watcher.updates[2].props.value("count-visible").toBool());
}

TEST(ThreatNotifierOnTheBus, NewThreatReachesTheDesktopAndItsButtonsReachTheAgent)
{
    test::ScratchDir scratch;
    ScriptedPeer peer(scratch.path());
    ASSERT_TRUE(peer.isListening());
    ASSERT_TRUE(peer.loadDataObject(ScriptedPeer::sampleDataObject()));
    AgentClient client(peer.socketPath());

    FakeNotificationServer server;
    ASSERT_TRUE(server.registerOnBus());
    LauncherWatcher watcher;
    QTest::qWait(50);

    DesktopNotifications notes;
    UnityLauncherBadge badge;
    RecordingServices fake;
    PlatformServices services = fake.services();
    services.notifications = &notes;
    services.badge = &badge;
    SoundPlayer player(&fake.sounds, &fake.haptics, &fake.preferences);
    ThreatNotifier notifier(services, player);
    int opened = 0;
    notifier.setOpenHandler([&] { ++opened; });
    notifier.bind(client);

    ASSERT_TRUE(waitFor([&] { return notes.server() == DesktopNotifications::Server::available; }));
    notifier.handleThreats({});
    Threat t;
    t.id = 42;
    t.kind = "yara";
    t.severity = "critical";
    t.status = "detected";
    t.signature = "Trojan.Mac";
    t.path = "/Users/ana/Downloads/x.dmg";
    notifier.handleThreats({t});
    Summary s;
    s.threats_active = 1;
    notifier.updateDockBadge(s);

    // Two badge updates: none at binding (no summary yet), then the count.
    ASSERT_TRUE(waitFor([&] { return server.calls.size() == 1 && watcher.updates.size() == 2; }));
    EXPECT_EQ(server.calls[0].summary, "Tessaly — CRITICAL");
    EXPECT_EQ(server.calls[0].body, "Trojan.Mac\nx.dmg");
    EXPECT_EQ(server.calls[0].hints.value("urgency").toInt(), 2);
    EXPECT_EQ(server.calls[0].hints.value("x-tsav-threat-id").toLongLong(), 42);
    EXPECT_EQ(watcher.updates[1].props.value("count").toLongLong(), 1);
    EXPECT_EQ(fake.sounds.count(SoundKind::basso), 1);
    EXPECT_EQ(server.calls[0].actions, (QStringList{"default", "Deschide", "quarantine", "Carantină"}));

    // The user's choices come back as ActionInvoked: only our notifications count.
    ASSERT_TRUE(waitFor([&] { return notes.serverId("tsav.threat.42") != 0; }));
    const uint id = notes.serverId("tsav.threat.42");
    server.invoke(id + 1000, "quarantine"); // someone else's notification
    server.invoke(id, "default");
    server.invoke(id, "quarantine");
    ASSERT_TRUE(waitFor([&] { return peer.requestCount("threat.quarantine") == 1; }));
    EXPECT_TRUE(peer.requests().contains("{\"id\":42,\"op\":\"threat.quarantine\"}"));
    EXPECT_EQ(opened, 1);
    QTest::qWait(200);
    EXPECT_EQ(peer.requestCount("threat.quarantine"), 1);
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new BusEnvironment);
    return RUN_ALL_TESTS();
}

#include "dbusadapters_test.moc"
