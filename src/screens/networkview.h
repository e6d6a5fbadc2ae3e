#pragma once
// NetworkView: the open connections as the agent reports them and the live traffic
// chart. No state of its own; it redraws from the client after every poll.

#include "agentlink/agentclient.h"
#include "screens/keyedlistmodel.h"
#include "screens/screencontext.h"

#include <QPointer>
#include <QWidget>

class QLabel;
class QListView;
class QScrollArea;

namespace tsav {

// Download area and line (green) and upload line (red) over an HH:mm time axis and a
// rate axis, both with automatic round values.
class TrafficChart : public QWidget {
    Q_OBJECT
public:
    explicit TrafficChart(QWidget *parent = nullptr);
    void setSeries(const History &recv, const History &sent);

    // The smooth curve through the points (monotone: it never overshoots the samples).
    static QPainterPath smoothPath(const QList<QPointF> &points);

protected:
    void paintEvent(QPaintEvent *) override;

private:
    History m_recv, m_sent;
};

class NetworkView : public QWidget {
    Q_OBJECT
public:
    explicit NetworkView(const ScreenContext &ctx, QWidget *parent = nullptr);

    // What a poll does.
    // `omitted`: connections the agent sent beyond what the client keeps.
    void setConnections(const QList<NetworkRow> &rows, qsizetype omitted = 0);
    void setRates(const std::optional<LiveMetrics> &metrics);
    void setHistory(const History &recv, const History &sent);

    // For tests and tools.
    const KeyedListModel<NetworkRow> &listModel() const { return *m_model; }
    QListView *listView() const { return m_list; }
    // The scroll area that holds the header row and the rows.
    QScrollArea *tableScrollArea() const { return m_scroll; }
    QString moreText() const;
    QString headerText() const;
    QString downText() const;
    QString upText() const;
    bool chartShown() const;

private:
    void refreshFromClient();

    QPointer<AgentClient> m_agent;
    QLabel *m_header = nullptr;
    QLabel *m_down = nullptr;
    QLabel *m_up = nullptr;
    TrafficChart *m_chart = nullptr;
    QWidget *m_waiting = nullptr;
    KeyedListModel<NetworkRow> *m_model = nullptr;
    QListView *m_list = nullptr;
    QLabel *m_more = nullptr;
    QScrollArea *m_scroll = nullptr;
};

} // namespace tsav
