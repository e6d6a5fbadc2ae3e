#include "screens/threatslogic.h"

#include <QDateTime>

#include <gtest/gtest.h>

using namespace tsav;
using namespace tsav::threats;

namespace {

Threat threat(qint64 id, QString severity, QString status = "detected", double ts = 0)
{
    Threat t;
    t.id = id;
    t.severity = std::move(severity);
    t.status = std::move(status);
    t.ts = ts;
    t.kind = "signature";
    return t;
}

} // namespace

TEST(ThreatsCounts, MixedCapitalisationAndUnknownSeverities)
{
    const QList<Threat> list{threat(1, "High", "detected"), threat(2, "high", "Detected"),
                             threat(3, "info", "quarantined"), threat(4, "LOW", "detected")};
    const auto counts = severityCounts(list);
    EXPECT_EQ(counts.value("high"), 2);
    EXPECT_EQ(counts.value("low"), 1);
    EXPECT_EQ(counts.value("critical"), 0);
    EXPECT_EQ(counts.value("medium"), 0);
    EXPECT_EQ(counts.value("info"), 1); // counted in the total, no sector
    EXPECT_EQ(total(counts), 4);
    EXPECT_EQ(activeCount(list), 2); // "Detected" is not active

    const auto none = severityCounts({});
    EXPECT_EQ(none.size(), 4);
    EXPECT_EQ(total(none), 0);
}

TEST(HourBuckets, SlidingWindowsEndingNow)
{
    const double now = 1'700'000'000.0;
    EXPECT_EQ(bucketIndex(now - 1800, now), 23);          // 30 minutes ago: newest bar
    EXPECT_EQ(bucketIndex(now - 23.5 * 3600, now), 0);    // 23.5 hours ago: oldest bar
    EXPECT_EQ(bucketIndex(now - 86400, now), 0);          // exactly 24 hours: still in
    EXPECT_EQ(bucketIndex(now - 25 * 3600, now), -1);     // 25 hours ago: none
    EXPECT_EQ(bucketIndex(now - 3600, now), 22);          // exactly one hour: previous bar
    EXPECT_EQ(bucketIndex(now, now), 23);
}

TEST(HourBuckets, FutureAndNonsenseStampsStayInRange)
{
    const double now = 1'700'000'000.0;
    EXPECT_EQ(bucketIndex(now + 600, now), 23);
    EXPECT_EQ(bucketIndex(now + 5 * 3600, now), 23);
    EXPECT_EQ(bucketIndex(now + 1e300, now), 23);
    EXPECT_EQ(bucketIndex(INFINITY, now), 23);
    EXPECT_EQ(bucketIndex(std::nan(""), now), -1);
    EXPECT_EQ(bucketIndex(-INFINITY, now), -1);
}

TEST(HourBuckets, CountsAndLocalHourLabels)
{
    const double now = 1'700'000'000.0;
    const QList<Threat> list{threat(1, "high", "detected", now - 1800),
                             threat(2, "low", "detected", now - 23.5 * 3600),
                             threat(3, "low", "detected", now - 25 * 3600),
                             threat(4, "low", "detected", now + 7200)};
    const HourBuckets b = hourBuckets(list, now);
    EXPECT_EQ(b[23].count, 2);
    EXPECT_EQ(b[0].count, 1);
    qint64 sum = 0;
    for (const auto &x : b)
        sum += x.count;
    EXPECT_EQ(sum, 3);
    EXPECT_TRUE(anyCount(b));
    EXPECT_EQ(b[23].label, QDateTime::fromSecsSinceEpoch(qint64(now)).toString("HH"));
    EXPECT_EQ(b[0].label, QDateTime::fromSecsSinceEpoch(qint64(now) - 23 * 3600).toString("HH"));
    EXPECT_NE(b[0].id, b[1].id); // (only old threats leave the timeline empty on the threats screen)
}

TEST(ThreatDetailTexts, TitlesFallBackAndAgentTextIsNoFormatString)
{
    Threat t = threat(42, "high");
    EXPECT_EQ(title(t), "Threat #42");
    t.description = "desc";
    EXPECT_EQ(title(t), "desc");
    t.signature = "Eicar";
    EXPECT_EQ(title(t), "Eicar");

    EXPECT_TRUE(processLine(t).isEmpty());
    t.process_name = "evil %2 %1";
    EXPECT_EQ(processLine(t), "Process: evil %2 %1  ·  PID 0");
    t.pid = 77;
    EXPECT_EQ(processLine(t), "Process: evil %2 %1  ·  PID 77");
    EXPECT_TRUE(scoreLine(t).isEmpty());
    t.score = 0.876;
    EXPECT_EQ(scoreLine(t), "AI score: 0.88");
}
