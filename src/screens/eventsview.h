#pragma once
// EventsView: the agent's recent events with a picker of the component that produced
// them. The selected source starts at "all" each time the screen is created; a source
// whose events have all left the list stays selected (and the list stays empty) until
// the user picks another.

#include "agentlink/records.h"
#include "screens/keyedlistmodel.h"
#include "screens/screencontext.h"

#include <QCoroTask>
#include <QFont>
#include <QPointer>
#include <QWidget>

class QComboBox;
class QLabel;
class QListView;

namespace tsav {

class AgentClient;
class ExportFlow;
class NoticeBar;
class SearchField;
class SearchRunner;

// The action column's text broken into lines that fit `width` (at word boundaries, or
// anywhere in a word too long for a line), at most maxLines, the last one shortened.
QStringList eventActionLines(const QString &text, const QFont &font, qreal width, int maxLines = 6);

class EventsView : public QWidget {
    Q_OBJECT
public:
    explicit EventsView(const ScreenContext &ctx, QWidget *parent = nullptr);

    // What a poll does.
    void setEvents(const QList<EventRow> &events);
    // What the picker does.
    void setSource(const QString &source);
    QString source() const { return m_source; }

    // For tests and tools.
    const KeyedListModel<EventRow> &listModel() const { return *m_model; }
    QListView *listView() const { return m_list; }
    QComboBox *picker() const { return m_picker; }
    QString headerText() const;
    SearchField *searchField() const { return m_search; }
    ExportFlow *exportFlow() const { return m_export; }
    QString noticeText() const;

private:
    void refreshFromClient();
    void rebuildPicker(const QStringList &options);
    void applyFilter();
    QCoro::Task<> searchOnce(QString query);

    QPointer<AgentClient> m_agent;
    QString m_source;
    QList<EventRow> m_events;
    QStringList m_options;
    QLabel *m_header = nullptr;
    QComboBox *m_picker = nullptr;
    KeyedListModel<EventRow> *m_model = nullptr;
    QListView *m_list = nullptr;
    QLabel *m_more = nullptr;
    SearchField *m_search = nullptr;
    NoticeBar *m_notice = nullptr;
    ExportFlow *m_export = nullptr;
    SearchRunner *m_searches = nullptr;
    QString m_query; // what the list is narrowed to on the agent ("" for the polled list)
};

} // namespace tsav
