#include "screens/scanlogic.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace tsav;
using namespace tsav::scan;

namespace {

ScanStatus status(bool running, qint64 scanned, double started, std::optional<double> finished = {})
{
    ScanStatus s;
    s.id = 1;
    s.kind = "quick";
    s.running = running;
    s.scanned = scanned;
    s.started = started;
    s.finished = finished;
    return s;
}

Threat at(qint64 id, double ts)
{
    Threat t;
    t.id = id;
    t.ts = ts;
    return t;
}

} // namespace

TEST(ScanThreats, FromTheScanStartOnInListOrder)
{
    const QList<Threat> list{at(1, 99.9), at(2, 100), at(3, 5000), at(4, 50), at(5, 1e12)};
    const auto mine = threatsOfScan(list, status(false, 10, 100, 200));
    ASSERT_EQ(mine.size(), 3);
    EXPECT_EQ(mine[0].id, 2);
    EXPECT_EQ(mine[1].id, 3);
    EXPECT_EQ(mine[2].id, 5); // no upper bound in time
}

// The results line itself is checked on the scan screen (views_test.cpp).
TEST(ScanResults, NoDivisionByAZeroOrNegativeDuration)
{
    // Zero (or negative) duration: rate 0, no division.
    EXPECT_DOUBLE_EQ(results(status(false, 300, 100, 100), 0).rate, 0);
    EXPECT_DOUBLE_EQ(results(status(false, 300, 100, 50), 0).rate, 0);
    // Without `finished`, measured up to now.
    EXPECT_DOUBLE_EQ(results(status(false, 40, 100), 120).duration, 20);
    EXPECT_DOUBLE_EQ(results(status(false, 40, 100), 120).rate, 2);
}

TEST(ScanLiveHeader, CounterSurvivesFutureAndCorruptStarts)
{
    EXPECT_EQ(liveCounterText(status(true, 1234, 1000.0), 1065.9), "1234 FIȘIERE  ·  65s");
    // A started time in the future counts down toward zero, truncated toward zero.
    EXPECT_EQ(elapsedSeconds(status(true, 0, 10.5), 10), 0);
    EXPECT_EQ(elapsedSeconds(status(true, 0, 12.5), 10), -2);
    // A corrupt start cannot be shown.
    EXPECT_FALSE(elapsedSeconds(status(true, 0, -1e300), 10).has_value());
    EXPECT_FALSE(elapsedSeconds(status(true, 0, NAN), 10).has_value());
    EXPECT_EQ(liveCounterText(status(true, 3, NAN), 10), "3 FIȘIERE  ·  —");
}

TEST(ScanDirectories, RowsMostScannedFirst)
{
    EXPECT_TRUE(directoryRows(std::nullopt).isEmpty());
    LiveMetrics m;
    m.active_scan_dirs.insert("/a", {5, 0, 1, std::nullopt, 2.25});
    m.active_scan_dirs.insert("/b", {50, 3, 1, 9.0, 8});
    m.active_scan_dirs.insert("/c", {5, 1, 1, std::nullopt, 1});
    m.active_scan_dirs.insert("/d", {20, 0, 1, std::nullopt, 1});
    const auto rows = directoryRows(m);
    ASSERT_EQ(rows.size(), 4);
    EXPECT_EQ(rows[0].path, "/b");
    EXPECT_EQ(rows[1].path, "/d");
    // Equal counts in either order.
    EXPECT_TRUE((rows[2].path == "/a" && rows[3].path == "/c") ||
                (rows[2].path == "/c" && rows[3].path == "/a"));
    EXPECT_EQ(rows[0].hits, 3);
}

