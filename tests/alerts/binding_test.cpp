// The notifier bound to a real client polling a scripted agent on a real socket.
#include "agentlink/agentclient.h"
#include "agentlink/scriptedpeer.h"
#include "alerts/soundplayer.h"
#include "alerts/threatnotifier.h"
#include "platform/fakes.h"

#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include "../testbase.h"

#include <memory>

using namespace tsav;
using namespace std::chrono_literals;

namespace {

QByteArray threatJson(qint64 id, const char *severity)
{
    return QStringLiteral(R"({"id": %1, "ts": 1767261600.0, "kind": "yara", "severity": "%2",
                              "path": "/home/ana/Downloads/f%1.bin", "status": "detected"})")
        .arg(id)
        .arg(QLatin1String(severity))
        .toUtf8();
}

QByteArray summaryJson(qint64 active)
{
    return QStringLiteral(R"({"threats_total": 9, "threats_active": %1, "quarantined": 0,
                              "threats_last_24h": 2, "events_last_24h": 5})")
        .arg(active)
        .toUtf8();
}

bool waitFor(const std::function<bool()> &done) { return QTest::qWaitFor(done, 20000); }

class BindingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        peer = std::make_unique<ScriptedPeer>(dir.filePath("agent.sock"));
        ASSERT_TRUE(peer->isListening()) << peer->errorString().toStdString();
        peer->setData("summary", summaryJson(2));
        peer->setData("threats", "[" + threatJson(12, "critical") + "," + threatJson(11, "low") + "]");
        client = std::make_unique<AgentClient>(peer->socketPath());
        client->setPollInterval(30ms);
    }
    void TearDown() override
    {
        client->stop();
        QTest::qWait(100); // let a cycle in flight finish before the peer goes
    }
    // Waits until the client has completed `n` more cycles.
    bool cycles(int n)
    {
        int seen = 0;
        auto c = QObject::connect(client.get(), &AgentClient::cycleFinished, [&] { ++seen; });
        const bool ok = waitFor([&] { return seen >= n; });
        QObject::disconnect(c);
        return ok;
    }
    QStringList identifiers() const
    {
        QStringList out;
        for (const auto &r : fake.notifications.posted)
            out << r.identifier;
        return out;
    }

    QTemporaryDir dir{test::testDirTemplate(QStringLiteral("alerts"))};
    std::unique_ptr<ScriptedPeer> peer;
    std::unique_ptr<AgentClient> client;
    RecordingServices fake;
    SoundPlayer player{&fake.sounds, &fake.haptics, &fake.preferences};
};

} // namespace

TEST_F(BindingTest, TheFirstAnswerPrimesWithOneSummaryAndLaterThreatsAlertOnce)
{
    ThreatNotifier notifier(fake.services(), player);
    notifier.bind(*client); // before the first poll: nothing to know yet
    EXPECT_FALSE(notifier.primed());
    EXPECT_EQ(fake.notifications.authorizationRequests, 1);
    EXPECT_EQ(fake.badge.labels, QStringList{""}); // no summary yet: no badge

    // A threats reply that cannot be read leaves an empty list for want of an answer:
    // that primes nothing (else every threat would look new once it can be read).
    const QByteArray good = "[" + threatJson(12, "critical") + "," + threatJson(11, "low") + "]";
    peer->setData("threats", "[{\"id\": 1}]");
    client->start();
    ASSERT_TRUE(cycles(2));
    EXPECT_FALSE(notifier.primed());
    peer->setData("threats", good);

    ASSERT_TRUE(waitFor([&] { return notifier.primed(); }));
    ASSERT_TRUE(cycles(2));
    EXPECT_EQ(identifiers(), QStringList{ThreatNotifier::activeIdentifier});
    EXPECT_EQ(fake.notifications.posted[0].title, "Tessaly — 2 amenințări active");
    ASSERT_TRUE(waitFor([&] { return fake.badge.label() == "2"; }));

    notifier.bind(*client); // again: current list is all seen, nothing doubles
    peer->setData("threats", "[" + threatJson(13, "high") + "," + threatJson(12, "critical") + "]");
    peer->setData("summary", summaryJson(0));
    ASSERT_TRUE(waitFor([&] { return fake.notifications.posted.size() == 2; }));
    ASSERT_TRUE(cycles(3));
    EXPECT_EQ(identifiers(), (QStringList{ThreatNotifier::activeIdentifier, "tsav.threat.13"}));
    EXPECT_EQ(fake.badge.label(), "");
    // (What the notification's buttons ask of the agent is driven over a real bus.)
}

TEST_F(BindingTest, LateBindPrimesWithTheCurrentListAndADeadNotifierHearsNothing)
{
    client->start();
    ASSERT_TRUE(waitFor([&] { return client->threats().size() == 2; }));

    auto notifier = std::make_unique<ThreatNotifier>(fake.services(), player);
    notifier->bind(*client);
    ASSERT_TRUE(cycles(2));
    // What was there at binding is not new: one reminder of the two still active, no more.
    EXPECT_EQ(identifiers(), QStringList{ThreatNotifier::activeIdentifier});

    notifier.reset();
    fake.sounds.plays.clear();
    peer->setData("threats", "[" + threatJson(20, "critical") + "]");
    ASSERT_TRUE(waitFor([&] { return client->threats().size() == 1; }));
    ASSERT_TRUE(cycles(2));
    EXPECT_EQ(fake.notifications.posted.size(), 1);
    EXPECT_TRUE(fake.sounds.plays.isEmpty());
}
