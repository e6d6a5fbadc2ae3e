#include "screens/heatmap.h"
#include "screens/livecharts.h"
#include "screens/ticker.h"

#include <QTimeZone>
#include <gtest/gtest.h>

#include <cmath>

using namespace tsav;

namespace {
// Local (Europe/Bucharest, fixed by main) time as Unix seconds.
double local(int y, int mo, int d, int h, int mi, int s = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s)).toMSecsSinceEpoch() / 1000.0;
}
EventRow at(double ts)
{
    EventRow e;
    e.ts = ts;
    e.source = "file";
    e.action = "scanned";
    return e;
}
QDateTime nowAt(int y, int mo, int d, int h, int mi) { return QDateTime(QDate(y, mo, d), QTime(h, mi)); }
} // namespace

TEST(HeatmapBuckets, MidnightEdgesAndTheSixDayWindow)
{
    const QDateTime now = nowAt(2025, 3, 12, 23, 59); // a Wednesday
    const HeatGrid g = bucketEvents({at(local(2025, 3, 12, 23, 59)), at(local(2025, 3, 12, 0, 0)),
                                     at(local(2025, 3, 6, 0, 0)), at(local(2025, 3, 5, 23, 59, 59)),
                                     at(local(2025, 3, 13, 0, 0)), at(local(2025, 3, 9, 13, 30)),
                                     at(local(2025, 3, 9, 13, 5))},
                                    now);
    EXPECT_EQ(g.count(6, 23), 1);
    EXPECT_EQ(g.count(6, 0), 1);
    EXPECT_EQ(g.count(0, 0), 1);
    EXPECT_EQ(g.count(3, 13), 2);
    qint64 total = 0;
    for (qint64 c : g.counts)
        total += c;
    EXPECT_EQ(total, 5); // a second before the window and tomorrow are not counted
    EXPECT_EQ(g.maxCount, 2);
    EXPECT_EQ(g.rowLabels, (QStringList{"J", "V", "S", "D", "L", "Ma", "Mi"}));
}

TEST(HeatmapBuckets, WindowAcrossDaylightSavingChange)
{
    // Summer time starts on 30 March 2025 at 03:00 in Bucharest: that day has 23 hours.
    const QDateTime now = nowAt(2025, 4, 1, 12, 0);
    const HeatGrid g = bucketEvents({at(local(2025, 3, 26, 0, 0)), at(local(2025, 3, 30, 4, 30)),
                                     at(local(2025, 3, 31, 0, 30)), at(local(2025, 4, 1, 11, 0))},
                                    now);
    EXPECT_EQ(g.count(0, 0), 1);
    EXPECT_EQ(g.count(4, 4), 1);
    EXPECT_EQ(g.count(5, 0), 1);
    EXPECT_EQ(g.count(6, 11), 1);
    EXPECT_EQ(g.rowLabels.last(), "Ma");
}

TEST(HeatmapBuckets, EmptyAndHostileTimestamps)
{
    const QDateTime now = nowAt(2025, 3, 12, 12, 0);
    const HeatGrid empty = bucketEvents({}, now);
    EXPECT_TRUE(empty.counts.isEmpty());
    EXPECT_EQ(empty.maxCount, 1);
    EXPECT_EQ(empty.rowLabels.size(), 7);
    const HeatGrid odd = bucketEvents({at(NAN), at(INFINITY), at(-INFINITY), at(1e300), at(-1e300)}, now);
    EXPECT_TRUE(odd.counts.isEmpty());
}

TEST(Ticker, AgesAndTargets)
{
    const double now = 1'700'000'000;
    EXPECT_EQ(eventAge(now - 3599, now), "59m");
    EXPECT_EQ(eventAge(now - 90000, now), "25h");
    EXPECT_EQ(eventAge(now + 5, now), "-5s");

    const QString exactly36 = "/home/ana/projects/build/out/abc.txt";
    ASSERT_EQ(exactly36.size(), 36);
    EXPECT_EQ(tickerTarget(exactly36), exactly36);
    const QString long37 = "/home/ana/projects/build/out/abcd.txt";
    ASSERT_EQ(long37.size(), 37);
    EXPECT_EQ(tickerTarget(long37), "abcd.txt");
    EXPECT_EQ(tickerTarget(QString(40, 'x')), QString(40, 'x')); // no slash: whole
    EXPECT_EQ(tickerTarget("/very/long/directory/name/with/a/trailing/slash/"), "slash");
}

TEST(Ticker, FortyEventsAtMostAndTheirTexts)
{
    QList<EventRow> many;
    for (int i = 0; i < 41; ++i)
        many << at(1000 + i);
    EXPECT_EQ(tickerEvents(many).size(), 40);
    EXPECT_EQ(tickerEvents(many.mid(0, 40)).size(), 40);

    TickerStrip strip;
    EventRow e = at(100);
    e.source = "File";
    e.action = "opened";
    strip.setEvents({e}, 130);
    ASSERT_EQ(strip.itemTexts().size(), 1);
    EXPECT_EQ(strip.itemTexts().first(), "FILE · opened 30s"); // no target: no arrow
}

TEST(LiveCharts, SmoothCurveStaysBetweenSamples)
{
    const QList<QPointF> pts{{0, 10}, {10, 10}, {20, 50}, {30, 52}, {40, 0}};
    const QPainterPath path = smoothCurve(pts);
    for (double t = 0; t <= 1.0; t += 0.01) {
        const QPointF p = path.pointAtPercent(t);
        EXPECT_GE(p.y(), -1e-6);
        EXPECT_LE(p.y(), 52 + 1e-6);
    }
    EXPECT_EQ(path.elementAt(0).x, 0);
    EXPECT_TRUE(smoothCurve({}).isEmpty());
    EXPECT_EQ(smoothCurve({{5, 5}}).elementCount(), 1);
}
