#include "alerts/soundplayer.h"
#include "alerts/threatnotifier.h"
#include "platform/fakes.h"

#include <QCoreApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <tuple>

using namespace tsav;

namespace {

Threat threat(qint64 id, QString severity = QStringLiteral("medium"))
{
    Threat t;
    t.id = id;
    t.ts = 1700000000;
    t.kind = QStringLiteral("signature");
    t.severity = std::move(severity);
    t.status = QStringLiteral("detected");
    return t;
}

QStringList identifiers(const QList<NotificationRequest> &posted)
{
    QStringList out;
    for (const auto &r : posted)
        out << r.identifier;
    return out;
}

class ThreatNotifierTest : public ::testing::Test {
protected:
    RecordingServices fake;
    SoundPlayer player{&fake.sounds, &fake.haptics, &fake.preferences};
    ThreatNotifier notifier{fake.services(), player};

    void primeWith(const QList<Threat> &list = {}) { notifier.handleThreats(list); }
    // Lets delayed sounds and haptics fire (generous: only an upper bound on waiting).
    void settle() { QTest::qWait(400); }
};

} // namespace

TEST_F(ThreatNotifierTest, FirstAnswerSaysOnlyHowManyAreStillActive)
{
    auto with = [](Threat t, const char *status) { t.status = status; return t; };
    primeWith({threat(1, "critical"), with(threat(2, "high"), "quarantined"), with(threat(3, "low"), "restored"),
               with(threat(4, "low"), "resolved"), with(threat(5, "medium"), "allowed"),
               with(threat(6, "critical"), "killed"), threat(7, "low")});
    settle();
    EXPECT_TRUE(notifier.primed());
    EXPECT_EQ(notifier.seen(), (QSet<qint64>{1, 2, 3, 4, 5, 6, 7}));
    ASSERT_EQ(fake.notifications.posted.size(), 1);
    const NotificationRequest &r = fake.notifications.posted[0];
    EXPECT_EQ(r.identifier, ThreatNotifier::activeIdentifier);
    EXPECT_EQ(r.title, "Tessaly — 2 amenințări active");
    EXPECT_EQ(r.level, NotificationLevel::normal); // known before: it goes away by itself
    EXPECT_EQ(fake.sounds.kinds(), QList<SoundKind>{SoundKind::sosumi}); // one, not a storm
    EXPECT_TRUE(fake.speech.spoken.isEmpty());

    // The same list again, and the agent's own count when it has one.
    notifier.handleThreats({threat(1, "critical"), threat(7, "low")});
    EXPECT_EQ(fake.notifications.posted.size(), 1);
    ThreatNotifier other(fake.services(), player);
    other.handleThreats({threat(1)}, 21);
    EXPECT_EQ(fake.notifications.posted.last().title, "Tessaly — 21 de amenințări active");
    ThreatNotifier calm(fake.services(), player);
    calm.handleThreats({with(threat(8), "quarantined")}, 0);
    EXPECT_EQ(fake.notifications.posted.size(), 2); // nothing active: nothing said
}

TEST_F(ThreatNotifierTest, NewIdsAlertOnceInListOrderThreeAtMostThenOneForTheRest)
{
    primeWith(); // an agent with nothing yet
    EXPECT_TRUE(fake.notifications.posted.isEmpty());
    notifier.handleThreats({threat(7), threat(3), threat(5)});
    EXPECT_EQ(identifiers(fake.notifications.posted),
              (QStringList{"tsav.threat.7", "tsav.threat.3", "tsav.threat.5"}));

    // 3 disappears, 9 is new, then 3 comes back: only 9 alerts.
    notifier.handleThreats({threat(7), threat(9), threat(5)});
    notifier.handleThreats({threat(3), threat(7), threat(9), threat(5)});
    notifier.handleThreats({});
    notifier.handleThreats({threat(3)});
    EXPECT_EQ(identifiers(fake.notifications.posted),
              (QStringList{"tsav.threat.7", "tsav.threat.3", "tsav.threat.5", "tsav.threat.9"}));

    // An id repeated within one list alerts once; one the user settled does not alert.
    Threat allowed = threat(12);
    allowed.status = QStringLiteral("allowed");
    notifier.handleThreats({threat(11), threat(11), allowed});
    EXPECT_EQ(fake.notifications.posted.size(), 5);

    // Six new in one cycle: three of their own, one for the other three, one sound.
    settle();
    fake.notifications.posted.clear();
    fake.sounds.plays.clear();
    notifier.handleThreats({threat(20), threat(21, "low"), threat(22), threat(23), threat(24, "critical"), threat(25)});
    EXPECT_EQ(identifiers(fake.notifications.posted),
              (QStringList{"tsav.threat.20", "tsav.threat.21", "tsav.threat.22", ThreatNotifier::moreIdentifier}));
    EXPECT_EQ(fake.notifications.posted.last().title, "Tessaly — și încă 3 amenințări noi");
    EXPECT_EQ(fake.notifications.posted.last().level, NotificationLevel::critical); // 24 is critical
    settle();
    EXPECT_EQ(fake.sounds.kinds(), (QList<SoundKind>{SoundKind::basso, SoundKind::basso}));
    EXPECT_TRUE(fake.speech.spoken.isEmpty()); // the voice is off unless switched on
}

TEST_F(ThreatNotifierTest, AFloodIsLookedAtTwoHundredAtATime)
{
    primeWith();
    QList<Threat> flood;
    for (qint64 id = 100000; id > 0; --id)
        flood.append(threat(id));
    notifier.handleThreats(flood);
    EXPECT_EQ(notifier.seen().size(), ThreatNotifier::maxConsidered);
    ASSERT_EQ(fake.notifications.posted.size(), 4);
    EXPECT_EQ(fake.notifications.posted.last().title, "Tessaly — și încă 197 de amenințări noi");
    notifier.handleThreats(flood); // the next cycle takes the same first 200: all seen
    EXPECT_EQ(fake.notifications.posted.size(), 4);
}

TEST_F(ThreatNotifierTest, ActionsOpenTheConsoleOrAskForQuarantine)
{
    Threat file = threat(5);
    file.path = QStringLiteral("/home/ana/Downloads/x.bin");
    Threat process = threat(6);
    process.kind = QStringLiteral("behavior");
    process.path = QStringLiteral("/usr/bin/curl");
    Threat quarantined = file;
    quarantined.id = 7;
    quarantined.status = QStringLiteral("quarantined");
    // (A file's two buttons are checked as the desktop receives them, over the bus.)
    const QList<NotificationAction> open{{"default", "Deschide"}};
    EXPECT_EQ(ThreatNotifier::requestFor(process).actions, open);
    EXPECT_EQ(ThreatNotifier::requestFor(quarantined).actions, open);
    // What the buttons do is driven over a real bus in dbusadapters_test.cpp; here only
    // that a quarantine asked with no client bound, or for a name not ours, is harmless.
    fake.notifications.invoke("tsav.threat.5", "quarantine");
    fake.notifications.invoke("tsav.threat.x", "quarantine");
}

TEST_F(ThreatNotifierTest, NotificationTextsAndFallbacks)
{
    using Text = std::optional<QString>;
    auto make = [](qint64 id, const char *severity, Text signature, Text description, Text path, Text process) {
        Threat t = threat(id, severity);
        t.signature = signature, t.description = description, t.path = path, t.process_name = process;
        return t;
    };
    const std::nullopt_t none = std::nullopt;
    const QList<std::tuple<Threat, QString, QString>> cases = {
        {make(1, "critical", "EICAR-Test", "ignored", "/Users/ana/Downloads/x.dmg", "ignored"), "Tessaly — CRITICAL",
         "EICAR-Test\nx.dmg"},
        {make(2, "low", none, "Beaconing", none, "curl"), "Tessaly — LOW", "Beaconing\ncurl"},
        {make(3, "Medium", none, none, none, none), "Tessaly — MEDIUM", "Threat"},
        {make(4, "info", none, none, "x.dmg", none), "Tessaly — INFO", "Threat\nx.dmg"},  // a file in no folder
        {make(5, "high", none, none, "/opt/bad/", none), "Tessaly — HIGH", "Threat\nbad"}, // a trailing slash
        {make(6, "low", none, none, "", "curl"), "Tessaly — LOW", "Threat"}, // an empty path wins over the process
    };
    for (const auto &[t, title, body] : cases) {
        const NotificationRequest r = ThreatNotifier::requestFor(t);
        EXPECT_EQ(r.title, title) << t.id;
        EXPECT_EQ(r.body, body) << t.id;
        EXPECT_EQ(r.identifier, QStringLiteral("tsav.threat.%1").arg(t.id));
        EXPECT_EQ(r.userInfo, (QVariantMap{{"threat_id", qlonglong(t.id)}}));
    }
}

TEST_F(ThreatNotifierTest, ACycleSoundsOnceAsLoudAsItsWorstThreat)
{
    fake.preferences.setBool(kVoiceEnabledKey, true);
    primeWith();
    notifier.handleThreats({threat(1, "medium"), threat(2, "low"), threat(3, "severe")});
    settle();
    EXPECT_EQ(fake.sounds.kinds(), QList<SoundKind>{SoundKind::sosumi});
    EXPECT_EQ(fake.haptics.pulses.size(), 2);
    EXPECT_TRUE(fake.speech.spoken.isEmpty());
    for (const auto &r : fake.notifications.posted)
        EXPECT_EQ(r.level, NotificationLevel::normal);

    // "high" in any capitalisation is as loud as critical.
    notifier.handleThreats({threat(4, "low"), threat(5, "HiGh")});
    EXPECT_EQ(fake.notifications.posted.last().level, NotificationLevel::critical);
    EXPECT_EQ(fake.notifications.posted.last().title, "Tessaly — HIGH");
    ASSERT_TRUE(QTest::qWaitFor([&] { return fake.sounds.count(SoundKind::basso) == 2; }, 5000));
    // Now and 0.18 s later, once: timers never fire early (allowing a millisecond of rounding).
    EXPECT_GE(fake.sounds.plays.last().atMs - fake.sounds.plays[fake.sounds.plays.size() - 2].atMs, 179);
    settle();
    EXPECT_EQ(fake.sounds.count(SoundKind::basso), 2);
    ASSERT_EQ(fake.speech.spoken.size(), 1);
    EXPECT_EQ(fake.speech.spoken[0], (Utterance{"Tessaly alert. high threat detected.", 0.5, 1.0}));
}

TEST_F(ThreatNotifierTest, SoundSwitchOffSilencesOnlySounds)
{
    fake.preferences.setBool(kSoundsEnabledKey, false);
    fake.preferences.setBool(kVoiceEnabledKey, true);
    primeWith();
    notifier.handleThreats({threat(1, "critical")});
    settle();
    EXPECT_TRUE(fake.sounds.plays.isEmpty());
    EXPECT_EQ(fake.haptics.pulses.size(), 2);
    EXPECT_EQ(fake.notifications.posted.size(), 1);
    EXPECT_EQ(fake.speech.spoken.size(), 1);
}

// (A count, and none at zero, are shown through a real client in binding_test.cpp.)
TEST_F(ThreatNotifierTest, BadgeShowsNothingWithoutASummaryOrForANegativeCount)
{
    Summary s;
    s.threats_active = -2;
    notifier.updateDockBadge(std::nullopt);
    notifier.updateDockBadge(s);
    EXPECT_EQ(fake.badge.labels, (QStringList{"", ""}));
}

TEST_F(ThreatNotifierTest, RandomListSequencesAnnounceEachIdOnceInFirstSeenOrder)
{
    std::mt19937 rng(20240601);
    for (int round = 0; round < 50; ++round) {
        RecordingServices f;
        SoundPlayer p(&f.sounds, &f.haptics, &f.preferences);
        ThreatNotifier n(f.services(), p);
        QSet<qint64> known;
        QStringList expected;
        const int lists = 1 + int(rng() % 12);
        for (int l = 0; l < lists; ++l) {
            QList<Threat> list;
            QList<qint64> fresh;
            const int size = int(rng() % 20);
            for (int i = 0; i < size; ++i) {
                // Ids across the whole range, negative and huge ones included.
                const qint64 id = (rng() % 8 == 0) ? qint64(rng()) * 977 - (qint64(1) << 40)
                                                   : qint64(rng() % 40);
                list.append(threat(id));
                if (!known.contains(id)) {
                    known.insert(id);
                    fresh.append(id);
                }
            }
            if (l == 0) {
                if (!list.isEmpty())
                    expected << ThreatNotifier::activeIdentifier;
            } else {
                for (qsizetype i = 0; i < fresh.size() && i < ThreatNotifier::maxSingleNotifications; ++i)
                    expected << QStringLiteral("tsav.threat.%1").arg(fresh[i]);
                if (fresh.size() > ThreatNotifier::maxSingleNotifications)
                    expected << ThreatNotifier::moreIdentifier;
            }
            n.handleThreats(list);
        }
        ASSERT_EQ(identifiers(f.notifications.posted), expected) << "round " << round;
    }
}
