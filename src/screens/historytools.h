#pragma once
// The tools of the history screens (threats and events): a search field that asks the
// agent as the user types, and an export to CSV or JSON through the desktop's file
// dialog with a progress dialog that can be cancelled.

#include <QLineEdit>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <QCoroTask>

#include <chrono>

#include <functional>

class QProgressDialog;

namespace tsav {

class AgentClient;
class ExportJob;
class NoticeBar;
struct AgentError;
struct ExportOutcome;

// Emits searchChanged with the trimmed text once the user stops typing for `debounce`
// (at once on Enter or when cleared). The agent takes at most 1,000 characters.
class SearchField : public QLineEdit {
    Q_OBJECT
public:
    static constexpr int maxQueryLength = 1000;
    explicit SearchField(const QString &placeholder, QWidget *parent = nullptr);
    void setDebounce(std::chrono::milliseconds debounce) { m_timer.setInterval(debounce); }
    QString query() const { return m_emitted; }

Q_SIGNALS:
    void searchChanged(const QString &query);

private:
    void emitNow();
    QTimer m_timer;
    QString m_emitted;
};

// A screen's searches on the agent, one at a time: asked while one runs, it runs once more
// with the latest query when that one ends, so results never arrive out of order. `search`
// fetches and shows the results of one query (a member coroutine of the screen).
class SearchRunner : public QObject {
    Q_OBJECT
public:
    using Search = std::function<QCoro::Task<>(QString query)>;
    SearchRunner(QObject *parent, Search search);
    void run(const QString &query);
    bool running() const { return m_running; }

private:
    QCoro::Task<> loop();
    Search m_search;
    QString m_query;
    bool m_running = false, m_again = false;
};

// "Căutarea nu a reușit: <why>", in the agent's words when it refused.
QString searchFailureText(const AgentError &error);
// The line under results cut at `limit`: the newest are shown, the export has them all.
QString searchCappedText(qsizetype limit);

// One export at a time from a screen: asks for the file (CSV or JSON by its name), then
// fetches the pages into it with a progress dialog; says in `notice` how it went.
class ExportFlow : public QObject {
    Q_OBJECT
public:
    // `kind` is "threats" or "events"; `noun` names them in sentences ("amenințări").
    ExportFlow(AgentClient *agent, QWidget *parent, NoticeBar *notice, QString kind, QString noun);

    // Asks where to save, then exports what matches `query` ("" for everything).
    void start(const QString &query);
    // The same without the dialog: straight to `path` (for tests and tools).
    QCoro::Task<> exportTo(QString path, QString query);
    bool running() const { return m_running; }

    // The sentences the notice shows.
    static QString outcomeText(const ExportOutcome &outcome, const QString &noun, const QString &path);
    static QString progressText(qint64 rows, qint64 total, const QString &noun);

Q_SIGNALS:
    void finished(bool ok);

private:
    QPointer<AgentClient> m_agent;
    QPointer<QWidget> m_parent;
    QPointer<NoticeBar> m_notice;
    QString m_kind, m_noun;
    bool m_running = false;
};

} // namespace tsav
