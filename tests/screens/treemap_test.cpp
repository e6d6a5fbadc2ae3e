#include "screens/treemap.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

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

} // namespace

// Tiles keep the items' order, stay within the height, and are never thinner than 2 points;
// rows too short for the rest drop them. Evenly weighted tiles fill the area without overlap.
TEST(TreemapRows, TilesStayInTheAreaForAnySpread)
{
    QList<ProcessRow> equal, skewed{proc(1, 1000)};
    for (int i = 0; i < 150; ++i)
        equal.append(proc(i + 1, 1));
    for (int i = 0; i < 19; ++i)
        skewed.append(proc(i + 2, 0));
    for (const auto &[items, width, even] : {std::tuple{equal.mid(0, treemapCount), 500.0, true},
                                             std::tuple{equalItems(12), 600.0, true}, std::tuple{skewed, 500.0, false}}) {
        const auto tiles = layoutTreemap(items, Metric::cpu, width, 240);
        ASSERT_FALSE(tiles.isEmpty());
        EXPECT_LE(tiles.size(), items.size());
        for (int i = 0; i < tiles.size(); ++i) {
            const QRectF r = tiles[i].rect;
            EXPECT_EQ(tiles[i].process.pid, items[i].pid);
            EXPECT_TRUE(r.top() >= 0 && r.bottom() <= 240 && r.left() >= 0) << i;
            EXPECT_GE(r.height(), 2.0);
            EXPECT_GE(r.width(), 2.0);
            if (!even)
                continue;
            EXPECT_LE(r.right(), width) << i;
            for (int k = 0; k < i; ++k)
                EXPECT_FALSE(r.intersects(tiles[k].rect)) << i << " over " << k;
        }
    }
    EXPECT_EQ(layoutTreemap(equal.mid(0, treemapCount), Metric::cpu, 500, 240).size(), treemapCount);
    EXPECT_LT(layoutTreemap(skewed, Metric::cpu, 500, 240).size(), 20);
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
