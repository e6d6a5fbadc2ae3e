// The tray label and the panel's status rules, taken in their order, and the figures.
#include "app/statusrules.h"

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

// The disconnected and active-threat rules, and the figures, are driven end to end by the
// panel's test in shell_test.cpp.
TEST(PanelStatus, RealtimeSettingDecidesTheRest)
{
    EXPECT_EQ(panelStatus(true, summaryWith(0), realtimeOn).text, QStringLiteral("PROTEJAT"));
    // Settings not received yet, or realtime off.
    for (const auto &settings : {QHash<QString, bool>{}, realtimeOff})
        EXPECT_EQ(panelStatus(true, std::nullopt, settings).text, QStringLiteral("PROTECȚIE INACTIVĂ"));
    // A negative count is not a threat.
    EXPECT_EQ(panelStatus(true, summaryWith(-1), realtimeOn).text, QStringLiteral("PROTEJAT"));
}

TEST(PanelStatus, AnEngineNotWorkingComesBeforeProtectedAndIsNamedEverywhere)
{
    const QList<EngineProblem> down{{"signature", "degraded", "no signature database"}, {"yara", "off", ""}};
    const auto degraded = panelStatus(true, summaryWith(0), realtimeOn, down);
    EXPECT_EQ(degraded.text, QStringLiteral("PROTECȚIE DEGRADATĂ"));
    EXPECT_EQ(degraded.detail, QStringLiteral("Motorul Signature e degradat: no signature database (și încă 1)"));
    // Threats still come first, and the engine is still named under them.
    EXPECT_EQ(panelStatus(true, summaryWith(2), realtimeOn, down).detail, degraded.detail);
    EXPECT_EQ(panelStatus(false, summaryWith(0), realtimeOn, down).detail, QString()); // nothing fresh to say
    EXPECT_TRUE(trayToolTip(true, summaryWith(0), realtimeOn, down).endsWith(degraded.detail));
}

TEST(TrayLabel, AlertShieldUnlessConnectedAndCleanAndACountOnlyAboveZero)
{
    const QString calm = trayLabel(true, summaryWith(0)).icon;
    EXPECT_EQ(trayLabel(true, std::nullopt).icon, calm);
    EXPECT_NE(trayLabel(true, summaryWith(1)).icon, calm);
    EXPECT_NE(trayLabel(false, std::nullopt).icon, calm);
    EXPECT_EQ(trayLabel(true, summaryWith(0)).count, QString());
    EXPECT_EQ(trayLabel(true, std::nullopt).count, QString());
    EXPECT_EQ(trayLabel(true, summaryWith(12)).count, QStringLiteral("12"));
    // Disconnected with an old summary: its count still shows.
    EXPECT_EQ(trayLabel(false, summaryWith(2)).count, QStringLiteral("2"));
    EXPECT_TRUE(trayToolTip(false, std::nullopt, {}).endsWith(QStringLiteral("AGENT INACTIV")));
}
