#pragma once
// ProcessesView: the agent's processes sorted by CPU, memory or AI score, as a treemap
// of the top 20 (coloured by score) and a table of the top 80. The sort starts at CPU
// and the treemap on, each time the screen is created.

#include "agentlink/records.h"
#include "screens/keyedlistmodel.h"
#include "screens/screencontext.h"
#include "screens/treemap.h"

#include <QPointer>
#include <QWidget>

class QAbstractButton;
class QLabel;
class QListView;

namespace tsav {

class AgentClient;
class SegmentedControl;

class ProcessTreemap : public QWidget {
    Q_OBJECT
public:
    explicit ProcessTreemap(QWidget *parent = nullptr);
    void setItems(const QList<ProcessRow> &items, processes::Metric metric);
    // The tiles for the current size (recomputed on every change and resize).
    QList<processes::Tile> tiles() const;

protected:
    void paintEvent(QPaintEvent *) override;

private:
    QList<ProcessRow> m_items;
    processes::Metric m_metric = processes::Metric::cpu;
};

class ProcessesView : public QWidget {
    Q_OBJECT
public:
    explicit ProcessesView(const ScreenContext &ctx, QWidget *parent = nullptr);

    // What a poll does.
    void setProcesses(const QList<ProcessRow> &rows);
    void setSortBy(processes::Metric metric);
    void setShowTreemap(bool show);
    processes::Metric sortBy() const { return m_sortBy; }
    bool showTreemap() const { return m_showTreemap; }

    // For tests and tools.
    const KeyedListModel<ProcessRow> &tableModel() const { return *m_model; }
    QListView *tableView() const { return m_table; }
    ProcessTreemap *treemap() const { return m_treemap; }
    QString headerText() const;

private:
    void refreshFromClient();
    void rebuild();

    QPointer<AgentClient> m_agent;
    processes::Metric m_sortBy = processes::Metric::cpu;
    bool m_showTreemap = true;
    QList<ProcessRow> m_rows;

    QLabel *m_header = nullptr;
    SegmentedControl *m_segments = nullptr;
    QAbstractButton *m_switch = nullptr;
    QWidget *m_treemapPanel = nullptr;
    ProcessTreemap *m_treemap = nullptr;
    KeyedListModel<ProcessRow> *m_model = nullptr;
    QLabel *m_more = nullptr;
    QListView *m_table = nullptr;
};

} // namespace tsav
