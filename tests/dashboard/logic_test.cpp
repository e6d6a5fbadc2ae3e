#include "kit/palette.h"
#include "screens/dashboardlogic.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace tsav;
namespace pal = tsav::palette;

namespace {
QHash<QString, bool> allOn()
{
    return {{"realtime_enabled", true}, {"ai_engine_enabled", true}, {"auto_quarantine", true},
            {"network_monitor", true}, {"cloud_telemetry", true}};
}
Summary active(qint64 n)
{
    Summary s;
    s.threats_active = n;
    return s;
}
} // namespace

TEST(ProtectionScore, DeductionsAndFloor)
{
    EXPECT_DOUBLE_EQ(protectionScore(allOn(), active(0)), 100);
    EXPECT_DOUBLE_EQ(protectionScore(allOn(), std::nullopt), 100);
    EXPECT_DOUBLE_EQ(protectionScore(allOn(), active(5)), 75);
    EXPECT_DOUBLE_EQ(protectionScore(allOn(), active(6)), 75);
    EXPECT_DOUBLE_EQ(protectionScore(allOn(), active(std::numeric_limits<qint64>::max())), 75);
    auto noRealtime = allOn();
    noRealtime["realtime_enabled"] = false;
    EXPECT_DOUBLE_EQ(protectionScore(noRealtime, active(0)), 70);
    EXPECT_DOUBLE_EQ(protectionScore(noRealtime, active(3)), 55);
    // Before the first reply: 70 - 15 - 15 - 10 - 5.
    EXPECT_DOUBLE_EQ(protectionScore({}, std::nullopt), 25);
    EXPECT_DOUBLE_EQ(protectionScore({}, active(9)), 0);
    // A negative count never raises the score.
    EXPECT_DOUBLE_EQ(protectionScore(allOn(), active(-4)), 100);
}

TEST(ProtectionScore, EnginesThatAreNotWorkingLeaveTheGreenZone)
{
    EXPECT_DOUBLE_EQ(protectionScore(allOn(), active(0), 1), 80);
    EXPECT_DOUBLE_EQ(protectionScore(allOn(), active(0), 20000), 60); // at most two count
    const auto state = protectionState(allOn(), {}, true, false, {{"zeta\u202e", "starting", ""}});
    EXPECT_EQ(state.title, "ATENȚIE");
    EXPECT_FALSE(state.protectedNow);
    EXPECT_EQ(state.subtitle, "Motorul Zeta nu funcționează normal (starting)"); // hostile text neutralised
}

TEST(ProtectionScore, IsProtectedNeedsTheThreeCoreEngines)
{
    EXPECT_FALSE(isProtected({}));
    EXPECT_TRUE(isProtected({{"realtime_enabled", true}, {"ai_engine_enabled", true}, {"auto_quarantine", true}}));
    auto s = allOn();
    s["auto_quarantine"] = false;
    EXPECT_FALSE(isProtected(s));
    s = allOn();
    s.remove("ai_engine_enabled");
    EXPECT_FALSE(isProtected(s));
    // Switches remembered from an agent that stopped answering do not make a protected host.
    EXPECT_FALSE(isProtected(allOn(), false));
    EXPECT_TRUE(isProtected(allOn(), true));
}

// Ordinary values are read on the busy dashboard; here the edges and what an agent must
// not be able to break.
TEST(DashboardFormats, UptimeAndRelativeTimeAtTheEdges)
{
    EXPECT_EQ(formatUptime(100 * 3600), "100:00:00");
    EXPECT_EQ(formatUptime(59.99), "00:00:59");
    EXPECT_EQ(formatUptime(-5), "00:00:00");
    EXPECT_EQ(formatUptime(NAN), "00:00:00");
    EXPECT_FALSE(formatUptime(1e300).isEmpty());
    const double now = 1'700'000'000;
    EXPECT_EQ(relativeTime(0, now), "—");
    EXPECT_EQ(relativeTime(now - 59.9, now), "59s ago");
    EXPECT_EQ(relativeTime(now - 60, now), "1m ago");
    EXPECT_EQ(relativeTime(now + 5, now), "-5s ago");
    EXPECT_EQ(relativeTime(NAN, now), "—");
    EXPECT_EQ(relativeTime(INFINITY, now), "—");
}

