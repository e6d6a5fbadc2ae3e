#include "screens/keyedlistmodel.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QListView>
#include <QPersistentModelIndex>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace tsav;

namespace {

struct Item {
    QString key;
    int value = 0;
    bool operator==(const Item &) const = default;
};

QList<Item> items(std::initializer_list<std::pair<const char *, int>> list)
{
    QList<Item> out;
    for (const auto &[k, v] : list)
        out.append({QString::fromLatin1(k), v});
    return out;
}

void replace(KeyedListModel<Item> &m, const QList<Item> &rows)
{
    m.replace(rows, [](const Item &i) { return i.key; });
}

struct Spies {
    explicit Spies(QAbstractItemModel *m)
        : reset(m, &QAbstractItemModel::modelReset), inserted(m, &QAbstractItemModel::rowsInserted),
          removed(m, &QAbstractItemModel::rowsRemoved), changed(m, &QAbstractItemModel::dataChanged),
          layout(m, &QAbstractItemModel::layoutChanged)
    {
    }
    QSignalSpy reset, inserted, removed, changed, layout;
};

} // namespace

TEST(KeyedListModel, RowsThatStayGetOnlyDataChanged)
{
    KeyedListModel<Item> m;
    QAbstractItemModelTester tester(&m, QAbstractItemModelTester::FailureReportingMode::Fatal);
    replace(m, items({{"a", 1}, {"b", 2}, {"c", 3}}));
    Spies s(&m);
    replace(m, items({{"a", 1}, {"b", 20}, {"c", 3}}));
    EXPECT_EQ(s.reset.size(), 0);
    EXPECT_EQ(s.inserted.size(), 0);
    EXPECT_EQ(s.removed.size(), 0);
    ASSERT_EQ(s.changed.size(), 1);
    EXPECT_EQ(s.changed[0][0].value<QModelIndex>().row(), 1);
    EXPECT_EQ(s.changed[0][1].value<QModelIndex>().row(), 1);
    EXPECT_EQ(m.rowAt(1).value, 20);

    // An identical list emits nothing at all.
    replace(m, items({{"a", 1}, {"b", 20}, {"c", 3}}));
    EXPECT_EQ(s.changed.size(), 1);
}

TEST(KeyedListModel, InsertsAndRemovesInRuns)
{
    KeyedListModel<Item> m;
    QAbstractItemModelTester tester(&m, QAbstractItemModelTester::FailureReportingMode::Fatal);
    replace(m, items({{"a", 1}, {"b", 2}, {"c", 3}, {"d", 4}}));
    Spies s(&m);
    replace(m, items({{"x", 0}, {"a", 1}, {"c", 3}, {"y", 0}, {"z", 0}, {"d", 4}}));
    EXPECT_EQ(s.reset.size(), 0);
    EXPECT_EQ(s.removed.size(), 1); // b
    EXPECT_EQ(s.inserted.size(), 2); // x, then y..z
    EXPECT_EQ(m.keys(), (QStringList{"x", "a", "c", "y", "z", "d"}));

    // Nothing stays: one reset.
    replace(m, items({{"p", 1}}));
    EXPECT_EQ(s.reset.size(), 1);
    EXPECT_EQ(m.keys(), QStringList{"p"});
}

TEST(KeyedListModel, ScatteredChurnBecomesOneLayoutChange)
{
    KeyedListModel<Item> m;
    QAbstractItemModelTester tester(&m, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QList<Item> before, after;
    for (int i = 0; i < 1000; ++i)
        before.append({QString::number(i), i});
    for (int i = 0; i < 1000; ++i) // every tenth row new, and the last two swapped
        after.append({i % 10 == 0 ? QStringLiteral("new%1").arg(i) : QString::number(i < 998 ? i : 1997 - i), i});
    replace(m, before);
    QPersistentModelIndex kept(m.index(501)), gone(m.index(500)), moved(m.index(998));
    Spies s(&m);
    replace(m, after);
    EXPECT_EQ(s.layout.size(), 1);
    EXPECT_EQ(s.inserted.size() + s.removed.size() + s.reset.size(), 0);
    EXPECT_EQ(m.rows(), after);
    EXPECT_EQ(kept.row(), 501);
    EXPECT_EQ(moved.row(), 999);
    EXPECT_FALSE(gone.isValid());
}

TEST(KeyedListModel, RandomReplacementsStayConsistent)
{
    KeyedListModel<Item> m;
    QAbstractItemModelTester tester(&m, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QRandomGenerator rng(12345); // few keys for many rows: repeated keys in most rounds
    for (int round = 0; round < 300; ++round) {
        QList<Item> rows;
        const int n = int(rng.bounded(60));
        for (int i = 0; i < n; ++i)
            rows.append({QString::number(rng.bounded(80)), int(rng.bounded(3))});
        replace(m, rows);
        ASSERT_EQ(m.rowCount(), rows.size());
        ASSERT_EQ(m.rows(), rows) << "round " << round;
    }
    // Mismatched key lists do not break the model.
    m.replace(items({{"q", 1}, {"r", 2}}), QStringList{"only-one"});
    EXPECT_EQ(m.rowCount(), 2);
}

TEST(KeyedListModel, ScrollPositionAndHoverSurviveAPoll)
{
    KeyedListModel<Item> m;
    QListView view;
    view.setModel(&m);
    view.setUniformItemSizes(true);
    view.resize(300, 200);
    QList<Item> rows;
    for (int i = 0; i < 2000; ++i)
        rows.append({QString::number(i), i});
    replace(m, rows);
    view.show();
    view.verticalScrollBar()->setValue(900);
    const int scroll = view.verticalScrollBar()->value();
    ASSERT_GT(scroll, 0);
    QPersistentModelIndex hovered(m.index(950));

    // New values, a few rows gone at the end, a few new ones at the end.
    for (int i = 0; i < rows.size(); ++i)
        rows[i].value += 1;
    rows.remove(1990, 10);
    rows.append({QStringLiteral("n1"), 0});
    replace(m, rows);
    EXPECT_EQ(view.verticalScrollBar()->value(), scroll);
    EXPECT_EQ(hovered.row(), 950);
}

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
