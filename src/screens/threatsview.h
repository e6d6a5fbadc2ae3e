#pragma once
// ThreatsView: every threat the agent reports, as a header with counts and the severity
// filter, a severity donut beside a 24-hour timeline, and the filtered detail list.
// Everything is recomputed from the client's list on each change; the filter starts at
// `all` each time the screen is created.

#include "agentlink/records.h"
#include "screens/keyedlistmodel.h"
#include "screens/screencontext.h"
#include "screens/threatactions.h"
#include "screens/threatslogic.h"

#include <QCoroTask>
#include <QPointer>
#include <QWidget>

class QLabel;
class QListView;

namespace tsav {

class AgentClient;
class ExportFlow;
class NoticeBar;
class SearchField;
class SearchRunner;
class TSPillButton;
class SegmentedControl;

// The donut of the severity panel: a sector per known severity with a count, the total
// in the middle; a grey ring when there is nothing to show.
class SeverityDonut : public QWidget {
    Q_OBJECT
public:
    explicit SeverityDonut(QWidget *parent = nullptr);
    void setCounts(const QMap<QString, qint64> &counts);
    const QMap<QString, qint64> &counts() const { return m_counts; }

protected:
    void paintEvent(QPaintEvent *) override;

private:
    QMap<QString, qint64> m_counts;
};

// The 24 one-hour bars with an automatic count axis.
class HourBarChart : public QWidget {
    Q_OBJECT
public:
    explicit HourBarChart(QWidget *parent = nullptr);
    void setBuckets(const threats::HourBuckets &buckets);

protected:
    void paintEvent(QPaintEvent *) override;

private:
    threats::HourBuckets m_buckets;
};

class ThreatsView : public QWidget {
    Q_OBJECT
public:
    explicit ThreatsView(const ScreenContext &ctx, QWidget *parent = nullptr);

    // What a poll does: the screen shows this list, with `now` for the timeline.
    void setThreats(const QList<Threat> &threats, double now);
    void setFilter(threats::Severity filter);
    threats::Severity filter() const { return m_filter; }

    // For tests and tools.
    const KeyedListModel<Threat> &listModel() const { return *m_model; }
    QListView *listView() const { return m_list; }
    QString headerText() const;
    bool timelineShowsBars() const;
    bool listShowsEmptyState() const;
    // "… și încă N" under the list ("" when every threat is listed).
    QString moreText() const;
    // The line that says how the last action went ("" when hidden).
    QString noticeText() const;
    // The action pills of a listed row, in the list's viewport (empty when it offers none).
    QList<QRect> actionButtonRects(int row) const;
    SearchField *searchField() const { return m_search; }
    ExportFlow *exportFlow() const { return m_export; }

protected:
    bool eventFilter(QObject *watched, QEvent *e) override;

private:
    std::optional<threatactions::Action> actionAt(const QPoint &viewportPos, Threat *threat = nullptr) const;
    void refreshFromClient();
    void applyFilter();
    QCoro::Task<> searchOnce(QString query);

    QPointer<AgentClient> m_agent;
    threats::Severity m_filter = threats::Severity::all;
    QList<Threat> m_threats;

    QLabel *m_header = nullptr;
    NoticeBar *m_notice = nullptr;
    ThreatActionRunner *m_actions = nullptr;
    SearchField *m_search = nullptr;
    TSPillButton *m_exportButton = nullptr;
    ExportFlow *m_export = nullptr;
    SearchRunner *m_searches = nullptr;
    QString m_query;        // what the list is narrowed to ("" for the polled list)
    bool m_searchCapped = false;
    SegmentedControl *m_segments = nullptr;
    SeverityDonut *m_donut = nullptr;
    QWidget *m_legend = nullptr;
    QList<QLabel *> m_legendCounts;
    HourBarChart *m_bars = nullptr;
    QWidget *m_timelineEmpty = nullptr;
    KeyedListModel<Threat> *m_model = nullptr;
    QListView *m_list = nullptr;
    QWidget *m_listEmpty = nullptr;
    QLabel *m_listMore = nullptr;
    qsizetype m_notListed = 0;
};

} // namespace tsav
