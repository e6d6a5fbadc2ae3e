#include "screens/treemap.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace tsav;
using namespace tsav::processes;

namespace {

ProcessRow proc(qint64 pid, double cpu, qint64 rss = 0, double score = 0)
{
    ProcessRow p;
    p.pid = pid;
    p.name = QStringLiteral("p%1").arg(pid);
    p.cpu = cpu;
    p.rss = rss;
    p.score = score;
    return p;
}

QList<ProcessRow> equalItems(int n)
{
    QList<ProcessRow> out;
    for (int i = 0; i < n; ++i)
        out.append(proc(i + 1, 10));
    return out;
}

// Number of tiles in each row, read off the tiles' y positions.
QList<int> rowLengths(const QList<Tile> &tiles)
{
    QList<int> out;
    double y = -1;
    for (const Tile &t : tiles) {
        if (t.rect.y() != y) {
            out.append(0);
            y = t.rect.y();
        }
        ++out.last();
    }
    return out;
}

} // namespace

TEST(TreemapRows, RowLengthsFollowTheRemainingCount)
{
    EXPECT_EQ(rowLengths(layoutTreemap(equalItems(12), Metric::cpu, 600, 240)),
              (QList<int>{5, 4, 3}));
    EXPECT_EQ(rowLengths(layoutTreemap(equalItems(6), Metric::cpu, 600, 240)),
              (QList<int>{4, 2}));
    EXPECT_EQ(rowLengths(layoutTreemap(equalItems(4), Metric::cpu, 600, 240)), (QList<int>{4}));
    EXPECT_EQ(rowLengths(layoutTreemap(equalItems(9), Metric::cpu, 600, 240)),
              (QList<int>{5, 4}));
}

TEST(TreemapRows, ShortRowsGetAtLeast36PointsAndTheBottomMayBeDropped)
{
    // 150 items, the top 20 are laid out: each row's ideal share is 48 of 240.
    QList<ProcessRow> many;
    for (int i = 0; i < 150; ++i)
        many.append(proc(i + 1, 1));
    const auto top = many.mid(0, treemapCount);
    const auto tiles = layoutTreemap(top, Metric::cpu, 500, 240);
    EXPECT_EQ(tiles.size(), 20);
    // 5 remaining: k = 4 and n > k, so a row of 4 and then the last one alone.
    EXPECT_EQ(rowLengths(tiles), (QList<int>{5, 5, 5, 4, 1}));
    // Rows of 60, 60, 60, 48 points leave 12 for the last row (its ideal is 12 < 36).
    EXPECT_EQ(tiles.last().rect, QRectF(0, 228, 498, 10));

    // One huge item and 19 tiny ones: tiny rows get 36 points until the height runs out.
    QList<ProcessRow> skewed{proc(1, 1000)};
    for (int i = 0; i < 19; ++i)
        skewed.append(proc(i + 2, 0));
    const auto cut = layoutTreemap(skewed, Metric::cpu, 500, 240);
    EXPECT_LT(cut.size(), 20);
    double bottom = 0;
    for (const Tile &t : cut)
        bottom = std::max(bottom, t.rect.bottom());
    EXPECT_LE(bottom, 240.0);
    // The last row is cut to what remained, and never below 2 points.
    EXPECT_GE(cut.last().rect.height(), 2.0);
}

TEST(TreemapRows, NoTilesWithoutSpaceOrItems)
{
    EXPECT_TRUE(layoutTreemap({}, Metric::cpu, 600, 240).isEmpty());
    EXPECT_TRUE(layoutTreemap(equalItems(3), Metric::cpu, 0, 240).isEmpty());
    EXPECT_TRUE(layoutTreemap(equalItems(3), Metric::cpu, 600, -1).isEmpty());
    EXPECT_TRUE(layoutTreemap(equalItems(3), Metric::cpu, NAN, 240).isEmpty());
}

TEST(TreemapWeights, FloorsAndHostileValues)
{
    EXPECT_DOUBLE_EQ(weight(proc(1, 0), Metric::cpu), 0.01);
    EXPECT_DOUBLE_EQ(weight(proc(1, 0, 4096), Metric::ram), 1.0); // a few KB weigh 1 MiB
    EXPECT_DOUBLE_EQ(weight(proc(1, 0, 8 * 1048576), Metric::ram), 8.0);
    EXPECT_DOUBLE_EQ(weight(proc(1, 0, 0, 0.5), Metric::score), 50.0);
    EXPECT_DOUBLE_EQ(weight(proc(1, NAN), Metric::cpu), 0.01);
    EXPECT_DOUBLE_EQ(weight(proc(1, -5), Metric::cpu), 0.01);
    EXPECT_TRUE(std::isfinite(weight(proc(1, INFINITY), Metric::cpu)));
    // Sums of capped weights stay finite, so every tile is still placed.
    const auto tiles = layoutTreemap({proc(1, 1e308), proc(2, 1e308), proc(3, 1)}, Metric::cpu, 300, 100);
    ASSERT_EQ(tiles.size(), 3);
    for (const Tile &t : tiles)
        EXPECT_TRUE(std::isfinite(t.rect.width()) && t.rect.width() >= 2);
}

TEST(ProcessSorting, LargestFirstByEachMetric)
{
    const QList<ProcessRow> rows{proc(1, 5, 300, 0.1), proc(2, 50, 100, 0.9),
                                 proc(3, NAN, 200, 0.5)};
    auto pids = [](const QList<ProcessRow> &l) {
        QList<qint64> out;
        for (const auto &p : l)
            out.append(p.pid);
        return out;
    };
    EXPECT_EQ(pids(sorted(rows, Metric::cpu)), (QList<qint64>{2, 1, 3}));
    EXPECT_EQ(pids(sorted(rows, Metric::ram)), (QList<qint64>{1, 3, 2}));
    EXPECT_EQ(pids(sorted(rows, Metric::score)), (QList<qint64>{2, 3, 1}));
}

TEST(TreemapLabels, ShownOnlyOnTallTiles)
{
    EXPECT_FALSE(tileShowsLabels(QRectF(0, 0, 100, 30)));
    EXPECT_TRUE(tileShowsLabels(QRectF(0, 0, 100, 30.5)));
    EXPECT_EQ(tileValueText(proc(1, 12.34), Metric::cpu), "12.3% CPU");
    EXPECT_EQ(tileValueText(proc(1, 0, 1536), Metric::ram), "1.5 KB");
    EXPECT_EQ(tileValueText(proc(1, 0, 0, 0.456), Metric::score), "0.46");
    EXPECT_EQ(ramText(512 * 1048576LL), "512 MB");
}
