// The tray label and the panel's status rules, taken in their order, and the figures.
#include "app/statusrules.h"
#include "app/tab.h"
#include "kit/palette.h"

#include <gtest/gtest.h>

using namespace tsav;

namespace {
Summary summaryWith(qint64 active, qint64 quarantined = 0)
{
    Summary s;
    s.threats_active = active;
    s.quarantined = quarantined;
    return s;
}
const QHash<QString, bool> realtimeOn{{"realtime_enabled", true}};
const QHash<QString, bool> realtimeOff{{"realtime_enabled", false}};
} // namespace

TEST(PanelStatus, DisconnectedComesFirstEvenWithOldThreats)
{
    const auto s = panelStatus(false, summaryWith(4), realtimeOn);
    EXPECT_EQ(s.text, QStringLiteral("AGENT INACTIV"));
    EXPECT_EQ(s.color, palette::accentRed);
    EXPECT_EQ(s.icon, QStringLiteral("exclamationmark.shield"));
    // The figures still show the old summary.
    EXPECT_EQ(panelFigures(summaryWith(4), std::nullopt).threatsActive, QStringLiteral("4"));
}

TEST(PanelStatus, ActiveThreatsBeforeProtection)
{
    const auto s = panelStatus(true, summaryWith(3), realtimeOn);
    EXPECT_EQ(s.text, QStringLiteral("3 AMENINȚĂRI ACTIVE"));
    EXPECT_EQ(s.color, palette::accentRed);
    EXPECT_EQ(s.icon, QStringLiteral("shield.lefthalf.filled"));
}

TEST(PanelStatus, RealtimeSettingDecidesTheRest)
{
    const auto on = panelStatus(true, summaryWith(0), realtimeOn);
    EXPECT_EQ(on.text, QStringLiteral("PROTEJAT"));
    EXPECT_EQ(on.color, palette::accentGreen);
    // Settings not received yet, or realtime off: amber.
    for (const auto &settings : {QHash<QString, bool>{}, realtimeOff}) {
        const auto off = panelStatus(true, std::nullopt, settings);
        EXPECT_EQ(off.text, QStringLiteral("PROTECȚIE INACTIVĂ"));
        EXPECT_EQ(off.color, palette::accentAmber);
    }
    // A negative count is not a threat.
    EXPECT_EQ(panelStatus(true, summaryWith(-1), realtimeOn).text, QStringLiteral("PROTEJAT"));
}

TEST(PanelStatus, AnEngineNotWorkingComesBeforeProtectedAndIsNamedEverywhere)
{
    const QList<EngineProblem> down{{"signature", "degraded", "no signature database"}, {"yara", "off", ""}};
    const auto degraded = panelStatus(true, summaryWith(0), realtimeOn, down);
    EXPECT_EQ(degraded.text, QStringLiteral("PROTECȚIE DEGRADATĂ"));
    EXPECT_EQ(degraded.color, palette::accentAmber);
    EXPECT_EQ(degraded.detail, QStringLiteral("Motorul Signature e degradat: no signature database (și încă 1)"));
    // Threats still come first, and the engine is still named under them.
    EXPECT_EQ(panelStatus(true, summaryWith(2), realtimeOn, down).detail, degraded.detail);
    EXPECT_EQ(panelStatus(false, summaryWith(0), realtimeOn, down).detail, QString()); // nothing fresh to say
    EXPECT_TRUE(trayToolTip(true, summaryWith(0), realtimeOn, down).endsWith(degraded.detail));
}

TEST(TrayLabel, ShieldOnlyWhenConnectedWithoutActiveThreats)
{
    EXPECT_EQ(trayLabel(true, std::nullopt).icon, QStringLiteral("shield.lefthalf.filled"));
    EXPECT_EQ(trayLabel(true, summaryWith(0)).icon, QStringLiteral("shield.lefthalf.filled"));
    EXPECT_EQ(trayLabel(true, summaryWith(1)).icon, QStringLiteral("exclamationmark.shield.fill"));
    EXPECT_EQ(trayLabel(false, std::nullopt).icon, QStringLiteral("exclamationmark.shield.fill"));
    // Disconnected with an old summary: its count still shows.
    const auto stale = trayLabel(false, summaryWith(2));
    EXPECT_EQ(stale.icon, QStringLiteral("exclamationmark.shield.fill"));
    EXPECT_EQ(stale.count, QStringLiteral("2"));
}

TEST(TrayLabel, NoCountForZeroOrNoSummary)
{
    EXPECT_EQ(trayLabel(true, summaryWith(0)).count, QString());
    EXPECT_EQ(trayLabel(true, std::nullopt).count, QString());
    EXPECT_EQ(trayLabel(true, summaryWith(12)).count, QStringLiteral("12"));
    EXPECT_TRUE(trayToolTip(false, std::nullopt, {}).endsWith(QStringLiteral("AGENT INACTIV")));
}

TEST(PanelFigures, FormatsAndColours)
{
    const auto none = panelFigures(std::nullopt, std::nullopt);
    EXPECT_EQ(none.threatsActive, QStringLiteral("0"));
    EXPECT_EQ(none.threatsColor, palette::accentGreen);
    EXPECT_EQ(none.quarantined, QStringLiteral("0"));
    EXPECT_EQ(none.filesPerSecond, QStringLiteral("0.0"));
    EXPECT_EQ(none.agentCpu, QStringLiteral("0.0%"));

    LiveMetrics m;
    m.files_per_second = 412.46;
    m.agent.cpu = 3.55;
    const auto f = panelFigures(summaryWith(1, 7), m);
    EXPECT_EQ(f.threatsColor, palette::accentRed);
    EXPECT_EQ(f.quarantined, QStringLiteral("7"));
    EXPECT_EQ(f.filesPerSecond, QStringLiteral("412.5"));
    EXPECT_EQ(f.agentCpu.left(3), QStringLiteral("3.5").left(3)); // printf rounding of 3.55
    EXPECT_TRUE(f.agentCpu.endsWith('%'));
}

TEST(Tabs, RawValuesRoundTripAndUnknownDecodesToNothing)
{
    for (Tab t : allTabs)
        EXPECT_EQ(tabFromRawValue(tabRawValue(t)), t);
    EXPECT_EQ(tabFromRawValue("Dashboard"), std::nullopt);
    EXPECT_EQ(tabFromRawValue(""), std::nullopt);
    EXPECT_EQ(tabLabel(Tab::quarantine), QStringLiteral("Carantină"));
    EXPECT_EQ(tabLabel(Tab::settings), QStringLiteral("Setări"));
    EXPECT_EQ(tabIndex(Tab::settings), 8);
}
