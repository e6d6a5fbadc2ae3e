// The settings screen against a scripted agent on a real socket, with recording sound,
// haptic and preference fakes.

#include "kit/tspillbutton.h"
#include "screens/settingsview.h"
#include "support.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QJsonObject>
#include <QWheelEvent>

#include <memory>

namespace tsav {
namespace {

using test::ScreenRig;
using test::waitFor;

const QString kSet = QStringLiteral("settings.set");
const QString kGet = QStringLiteral("settings.get");

QJsonObject valuesOf(const QJsonObject &request)
{
    return request.value(QStringLiteral("values")).toObject();
}

class SettingsViewTest : public ::testing::Test {
protected:
    void agentReports(const QByteArray &settingsJson)
    {
        rig.peer.setData(kGet, settingsJson);
        rig.peer.setData(kSet, "null");
    }
    // Loads the agent's settings into the client, or runs a whole poll cycle.
    void reload(bool wholeCycle = false)
    {
        bool done = false;
        [](AgentClient *c, bool whole, bool *flag) -> QCoro::Task<> {
            if (whole)
                co_await c->refresh();
            else
                co_await c->refreshSettings();
            *flag = true;
        }(&rig.client, wholeCycle, &done);
        ASSERT_TRUE(waitFor([&] { return done; }));
    }
    std::unique_ptr<SettingsView> open()
    {
        auto view = std::make_unique<SettingsView>(rig.context());
        view->resize(900, 1000);
        return view;
    }
    TSPillButton *testButton(SettingsView &view, const QString &title)
    {
        for (auto *b : view.findChildren<TSPillButton *>())
            if (b->title() == title)
                return b;
        return nullptr;
    }
    void waitForSets(int n)
    {
        ASSERT_TRUE(waitFor([&] { return rig.requests(kSet).size() >= n; }));
    }

    ScreenRig rig;
};

TEST_F(SettingsViewTest, NoSettingsYetShowsEverythingOffAndStillSends)
{
    agentReports("{\"auto_quarantine\":true}");
    auto view = open();
    for (int i = 0; i < 7; ++i) {
        EXPECT_FALSE(view->engineSwitch(i)->isChecked()) << i;
        EXPECT_TRUE(view->engineSwitch(i)->isEnabled()) << i;
    }
    view->engineSwitch(2)->click(); // auto_quarantine
    waitForSets(1);
    ASSERT_TRUE(waitFor([&] { return rig.peer.requestCount(kGet) >= 1; }));
    QTest::qWait(100);
    EXPECT_TRUE(view->engineSwitch(2)->isChecked());
    EXPECT_FALSE(view->engineSwitch(3)->isChecked());
    const auto sets = rig.requests(kSet);
    ASSERT_EQ(sets.size(), 1);
    EXPECT_EQ(valuesOf(sets[0]), (QJsonObject{{QStringLiteral("auto_quarantine"), true}}));
}

TEST_F(SettingsViewTest, ToggleSendsOneKeyAndFollowsWhatTheAgentReports)
{
    agentReports("{\"realtime_enabled\":true,\"network_monitor\":true,\"scheduled_scan_hours\":4}");
    reload();
    auto view = open();
    EXPECT_TRUE(view->engineSwitch(0)->isChecked());
    EXPECT_TRUE(view->engineSwitch(4)->isChecked());
    EXPECT_FALSE(view->engineSwitch(5)->isChecked());

    rig.clearFeedback();
    // The agent will report network_monitor off. (Set before the click: a fast agent may
    // answer the whole exchange before click() returns.)
    agentReports("{\"realtime_enabled\":true,\"network_monitor\":false,\"scheduled_scan_hours\":4}");
    view->engineSwitch(4)->click();
    waitForSets(1);
    const QJsonObject request = rig.requests(kSet).first();
    EXPECT_EQ(request.value(QStringLiteral("op")).toString(), kSet);
    EXPECT_EQ(valuesOf(request), (QJsonObject{{QStringLiteral("network_monitor"), false}}));
    ASSERT_TRUE(waitFor([&] { return rig.peer.requestCount(kGet) >= 2; }));
    QTest::qWait(100);
    EXPECT_FALSE(view->engineSwitch(4)->isChecked());
    EXPECT_TRUE(view->engineSwitch(0)->isChecked());

    EXPECT_EQ(rig.rec.sounds.kinds(), QList<SoundKind>{SoundKind::pop});
    EXPECT_EQ(rig.rec.haptics.patterns(), QList<HapticPattern>{HapticPattern::alignment});
}

TEST_F(SettingsViewTest, ARefusedSettingFallsBackAndSaysWhyUntilOneIsSaved)
{
    agentReports("{\"kill_switch_isolate\":false}");
    rig.peer.setReply(kSet, "{\"ok\":false,\"error\":\"settings not saved: disk full\"}\n");
    reload();
    auto view = open();
    view->engineSwitch(6)->click();
    waitForSets(1);
    ASSERT_TRUE(waitFor([&] { return rig.peer.requestCount(kGet) >= 2; }));
    ASSERT_TRUE(waitFor([&] { return !view->engineSwitch(6)->isChecked(); }));
    ASSERT_TRUE(waitFor([&] { return !view->settingsNoticeText().isEmpty(); }));
    EXPECT_EQ(view->settingsNoticeText(), QStringLiteral("Setarea nu a fost salvată: settings not saved: disk full"));

    // The schedule says so the same way; once a setting is saved, the notice goes.
    view->schedulePicker()->setCurrentIndex(2);
    Q_EMIT view->schedulePicker()->activated(2);
    waitForSets(2);
    rig.peer.setData(kSet, "null");
    view->engineSwitch(0)->click();
    waitForSets(3);
    ASSERT_TRUE(waitFor([&] { return view->settingsNoticeText().isEmpty(); }));
}

TEST_F(SettingsViewTest, ToggleWithTheAgentGoneFallsBackToOff)
{
    AgentClient nowhere(rig.dir.filePath(QStringLiteral("missing.sock")));
    SettingsView view(ScreenContext{&nowhere, nullptr, &rig.player});
    view.engineSwitch(0)->click();
    ASSERT_TRUE(waitFor([&] { return !view.engineSwitch(0)->isChecked(); }));
}

TEST_F(SettingsViewTest, SchedulePickerSendsHoursAsIntegersAndShowsWhatTheNextCycleReports)
{
    rig.peer.loadDataObject(ScriptedPeer::sampleDataObject());
    agentReports("{\"scheduled_scan_hours\":4}");
    reload();
    auto view = open();
    QComboBox *picker = view->schedulePicker();
    EXPECT_EQ(picker->currentText(), QStringLiteral("4h"));

    rig.clearFeedback();
    picker->setCurrentIndex(0);
    Q_EMIT picker->activated(0); // "Oprit"
    waitForSets(1);
    picker->setCurrentIndex(5);
    Q_EMIT picker->activated(5); // "Săptămânal"
    waitForSets(2);

    const auto sets = rig.requests(kSet);
    const QJsonObject off = valuesOf(sets[0]);
    const QJsonObject weekly = valuesOf(sets[1]);
    EXPECT_EQ(off, (QJsonObject{{QStringLiteral("scheduled_scan_hours"), 0}}));
    EXPECT_EQ(weekly, (QJsonObject{{QStringLiteral("scheduled_scan_hours"), 168}}));
    // Integers on the wire, not "168" or 168.0.
    QByteArray weeklyRaw;
    for (const QByteArray &raw : rig.peer.requests())
        if (raw.contains("168"))
            weeklyRaw = raw;
    EXPECT_TRUE(weeklyRaw.contains("\"scheduled_scan_hours\":168}")) << weeklyRaw.toStdString();
    // No settings reload follows this command: the choice shows until a cycle says otherwise.
    EXPECT_EQ(rig.peer.requestCount(kGet), 1);
    EXPECT_EQ(picker->currentText(), QStringLiteral("Săptămânal"));
    reload(true);
    EXPECT_EQ(picker->currentText(), QStringLiteral("4h"));
}

TEST_F(SettingsViewTest, WheelOverAnUnfocusedPickerSendsNothing)
{
    agentReports("{\"scheduled_scan_hours\":4}");
    reload();
    auto view = open();
    view->show();
    QComboBox *picker = view->schedulePicker();
    const QPoint centre = picker->rect().center();
    QWheelEvent wheel(centre, picker->mapToGlobal(centre), QPoint(), QPoint(0, -120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(picker, &wheel);
    QTest::qWait(100);
    EXPECT_EQ(picker->currentText(), QStringLiteral("4h"));
    EXPECT_EQ(rig.peer.requestCount(kSet), 0);
}

TEST_F(SettingsViewTest, SoundAndVoiceSwitchesWriteThePreferenceAtOnce)
{
    auto view = open();
    QAbstractButton *sound = view->soundSwitch();
    EXPECT_TRUE(sound->isChecked()); // absent means on

    sound->click(); // off: only the alignment haptic, the pop is silenced
    EXPECT_EQ(rig.rec.preferences.values.value(kSoundsEnabledKey), QVariant(false));
    EXPECT_FALSE(sound->isChecked());
    EXPECT_TRUE(rig.rec.sounds.plays.isEmpty());
    EXPECT_EQ(rig.rec.haptics.patterns(), QList<HapticPattern>{HapticPattern::alignment});

    rig.clearFeedback();
    sound->click(); // on: level change and glass
    EXPECT_EQ(rig.rec.preferences.values.value(kSoundsEnabledKey), QVariant(true));
    EXPECT_EQ(rig.rec.sounds.kinds(), QList<SoundKind>{SoundKind::glass});
    EXPECT_EQ(rig.rec.haptics.patterns(), QList<HapticPattern>{HapticPattern::levelChange});

    // The voice: a stored value that is not a boolean reads as off; a press writes true.
    rig.rec.preferences.setRaw(kVoiceEnabledKey, QStringLiteral("yes"));
    auto fresh = open();
    EXPECT_FALSE(fresh->voiceSwitch()->isChecked());
    rig.clearFeedback();
    fresh->voiceSwitch()->click();
    EXPECT_EQ(rig.rec.preferences.values.value(kVoiceEnabledKey), QVariant(true));
    EXPECT_EQ(rig.rec.sounds.kinds(), QList<SoundKind>{SoundKind::pop});
}

TEST_F(SettingsViewTest, TestButtonsGiveThePressThenTheirOwnFeedback)
{
    using HP = HapticPattern;
    using SK = SoundKind;
    struct Case {
        QString title;
        QList<SK> sounds;
        QList<HP> haptics;
    };
    auto view = open();
    for (const Case &c : {
             Case{QStringLiteral("Test sunet"), {SK::tink, SK::glass}, {HP::levelChange, HP::levelChange}},
             Case{QStringLiteral("Test alertă"), {SK::tink, SK::sosumi}, {HP::levelChange, HP::generic, HP::generic}},
             Case{QStringLiteral("Test critic"), {SK::funk, SK::basso, SK::basso}, {HP::levelChange, HP::generic, HP::generic}},
         }) {
        SCOPED_TRACE(c.title.toStdString());
        rig.clearFeedback();
        TSPillButton *b = testButton(*view, c.title);
        ASSERT_NE(b, nullptr);
        b->click();
        EXPECT_TRUE(waitFor([&] {
            return rig.rec.sounds.plays.size() >= c.sounds.size() &&
                   rig.rec.haptics.pulses.size() >= c.haptics.size();
        }));
        QTest::qWait(250);
        EXPECT_EQ(rig.rec.sounds.kinds(), c.sounds);
        EXPECT_EQ(rig.rec.haptics.patterns(), c.haptics);
    }
    // The critical test's second basso is scheduled 0.18 s after the first: never earlier
    // (a loaded machine may be later).
    const auto &plays = rig.rec.sounds.plays;
    EXPECT_GE(plays[2].atMs - plays[1].atMs, 170);
}

TEST_F(SettingsViewTest, ClosingTheScreenWithACommandInFlightIsHarmless)
{
    agentReports("{}");
    ScriptedPeer::Behaviour slow;
    slow.bytes = "{\"ok\":true,\"data\":null}\n";
    slow.delay = std::chrono::milliseconds(300);
    rig.peer.setBehaviour(kSet, slow);
    auto view = open();
    view->engineSwitch(1)->click();
    Q_EMIT view->schedulePicker()->activated(5);
    ASSERT_TRUE(waitFor([&] { return rig.peer.requestCount(kSet) == 2; }));
    view.reset();
    ASSERT_TRUE(waitFor([&] { return rig.peer.requestCount(kGet) >= 1; }));
    QTest::qWait(200);
}

} // namespace
} // namespace tsav
