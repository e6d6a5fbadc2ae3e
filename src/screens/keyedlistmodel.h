#pragma once
// KeyedListModel: a list model over plain records that replaces its rows with the
// narrowest change. Rows are matched by key; after replace():
//  - rows whose key left are removed (beginRemoveRows per contiguous run),
//  - rows that stayed but moved are reordered with a layout change (persistent indexes
//    follow their rows, so hover, selection and the scroll position survive),
//  - new rows are inserted (beginInsertRows per contiguous run),
//  - rows that stayed and changed get dataChanged, in contiguous runs.
// When nothing stays the model resets, and when the change is scattered over very many
// runs it becomes one layout change instead (one pass for the view, not one per run).
// Views paint rows through rowAt(); data() only carries the key for tests and tools.

#include <QAbstractListModel>
#include <QHash>
#include <QList>
#include <QStringList>

#include <algorithm>
#include <functional>

namespace tsav {

template <typename Row>
class KeyedListModel : public QAbstractListModel {
public:
    static constexpr int keyRole = Qt::UserRole + 1;
    // Above this many insert/remove runs a layout change is cheaper for the views.
    static constexpr int maxRuns = 32;

    explicit KeyedListModel(QObject *parent = nullptr) : QAbstractListModel(parent) {}

    int rowCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() ? 0 : int(m_rows.size());
    }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid() || index.row() >= m_rows.size())
            return {};
        if (role == keyRole || role == Qt::AccessibleTextRole)
            return m_keys[index.row()];
        return {};
    }

    const Row &rowAt(int row) const { return m_rows[row]; }
    const QList<Row> &rows() const { return m_rows; }
    const QStringList &keys() const { return m_keys; }

    // Replaces the rows; `keys` holds one key per row. A repeated key gets "#n" added
    // to its n-th repeat, so rows sharing a key are kept apart by their order.
    void replace(QList<Row> rows, QStringList keys)
    {
        if (keys.size() != rows.size()) {
            // A caller fault; keep the model consistent rather than guessing.
            keys.clear();
            for (int i = 0; i < rows.size(); ++i)
                keys.append(QString::number(i));
        }
        makeUnique(keys);
        QHash<QString, int> newIndex;
        newIndex.reserve(keys.size());
        for (int i = 0; i < keys.size(); ++i)
            newIndex.insert(keys[i], i);

        int survivors = 0, removeRuns = 0;
        bool inRun = false;
        for (const QString &k : std::as_const(m_keys)) {
            const bool stays = newIndex.contains(k);
            survivors += stays;
            if (!stays && !inRun)
                ++removeRuns;
            inRun = !stays;
        }

        if (survivors == 0) {
            if (m_rows.isEmpty() && rows.isEmpty())
                return;
            beginResetModel();
            m_rows = std::move(rows);
            m_keys = std::move(keys);
            endResetModel();
            return;
        }
        const int insertRuns = countInsertRuns(keys);
        if (removeRuns + insertRuns > maxRuns) {
            replaceByLayout(std::move(rows), std::move(keys), newIndex);
            return;
        }

        // 1. Removals, from the back so earlier positions stay valid.
        for (int end = int(m_keys.size()) - 1; end >= 0;) {
            if (newIndex.contains(m_keys[end])) {
                --end;
                continue;
            }
            int begin = end;
            while (begin > 0 && !newIndex.contains(m_keys[begin - 1]))
                --begin;
            beginRemoveRows({}, begin, end);
            m_rows.remove(begin, end - begin + 1);
            m_keys.remove(begin, end - begin + 1);
            endRemoveRows();
            end = begin - 1;
        }

        // 2. Survivors into the new relative order.
        bool ordered = true;
        for (int i = 1; i < m_keys.size() && ordered; ++i)
            ordered = newIndex.value(m_keys[i - 1]) < newIndex.value(m_keys[i]);
        if (!ordered) {
            Q_EMIT layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
            QList<int> order(m_keys.size());
            for (int i = 0; i < order.size(); ++i)
                order[i] = i;
            std::sort(order.begin(), order.end(), [&](int a, int b) {
                return newIndex.value(m_keys[a]) < newIndex.value(m_keys[b]);
            });
            QList<int> whereNow(order.size());
            QList<Row> rowsNow;
            QStringList keysNow;
            rowsNow.reserve(order.size());
            keysNow.reserve(order.size());
            for (int i = 0; i < order.size(); ++i) {
                whereNow[order[i]] = i;
                rowsNow.append(std::move(m_rows[order[i]]));
                keysNow.append(m_keys[order[i]]);
            }
            m_rows = std::move(rowsNow);
            m_keys = std::move(keysNow);
            const QModelIndexList before = persistentIndexList();
            QModelIndexList after;
            after.reserve(before.size());
            for (const QModelIndex &ix : before)
                after.append(index(whereNow.value(ix.row(), ix.row()), ix.column()));
            changePersistentIndexList(before, after);
            Q_EMIT layoutChanged({}, QAbstractItemModel::VerticalSortHint);
        }

        // 3. Insertions, walking the new list against the survivors.
        for (int i = 0; i < keys.size();) {
            if (i < m_keys.size() && m_keys[i] == keys[i]) {
                ++i;
                continue;
            }
            // keys[i] is new; the run of new keys ends where the next survivor sits.
            const QString nextSurvivor = i < m_keys.size() ? m_keys[i] : QString();
            const bool hasSurvivor = i < m_keys.size();
            int end = i;
            while (end + 1 < keys.size() && !(hasSurvivor && keys[end + 1] == nextSurvivor))
                ++end;
            beginInsertRows({}, i, end);
            for (int j = i; j <= end; ++j) {
                m_rows.insert(j, rows[j]);
                m_keys.insert(j, keys[j]);
            }
            endInsertRows();
            i = end + 1;
        }

        // 4. Changed values of the rows that stayed.
        for (int i = 0; i < rows.size();) {
            if (m_rows[i] == rows[i]) {
                ++i;
                continue;
            }
            int end = i;
            while (end + 1 < rows.size() && !(m_rows[end + 1] == rows[end + 1]))
                ++end;
            for (int j = i; j <= end; ++j)
                m_rows[j] = std::move(rows[j]);
            Q_EMIT dataChanged(index(i), index(end));
            i = end + 1;
        }
    }

    void replace(QList<Row> rows, const std::function<QString(const Row &)> &keyOf)
    {
        QStringList keys;
        keys.reserve(rows.size());
        for (const Row &r : rows)
            keys.append(keyOf(r));
        replace(std::move(rows), std::move(keys));
    }

    static void makeUnique(QStringList &keys)
    {
        QHash<QString, int> seen; // key -> next suffix to try
        seen.reserve(keys.size());
        for (QString &k : keys) {
            auto it = seen.find(k);
            if (it == seen.end()) {
                seen.insert(k, 1);
                continue;
            }
            int suffix = it.value();
            QString candidate;
            do
                candidate = k + QLatin1Char('#') + QString::number(suffix++);
            while (seen.contains(candidate));
            seen[k] = suffix;
            seen.insert(candidate, 1);
            k = candidate;
        }
    }

private:
    int countInsertRuns(const QStringList &keys) const
    {
        QHash<QString, bool> old;
        old.reserve(m_keys.size());
        for (const QString &k : m_keys)
            old.insert(k, true);
        int runs = 0;
        bool inRun = false;
        for (const QString &k : keys) {
            const bool fresh = !old.contains(k);
            if (fresh && !inRun)
                ++runs;
            inRun = fresh;
        }
        return runs;
    }

    void replaceByLayout(QList<Row> rows, QStringList keys, const QHash<QString, int> &newIndex)
    {
        Q_EMIT layoutAboutToBeChanged();
        const QModelIndexList before = persistentIndexList();
        QModelIndexList after;
        after.reserve(before.size());
        for (const QModelIndex &ix : before) {
            const int to = newIndex.value(m_keys.value(ix.row()), -1);
            after.append(to < 0 ? QModelIndex() : index(to, ix.column()));
        }
        m_rows = std::move(rows);
        m_keys = std::move(keys);
        changePersistentIndexList(before, after);
        Q_EMIT layoutChanged();
    }

    QList<Row> m_rows;
    QStringList m_keys;
};

} // namespace tsav
