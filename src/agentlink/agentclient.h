#pragma once
// AgentClient: the console's single model of the agent. Lives on the GUI thread.
//
// State (all read through the getters below; only the client writes it):
//  - the latest value of every record kind, replaced by each poll cycle;
//  - seven rolling history series of at most historyMax samples, oldest first;
//  - connected / lastError, which change only with the outcome of a cycle's "summary".
// Every assignment emits the field's change signal, even when the value is equal.
// After a whole cycle (poll loop or command follow-up) cycleFinished() is emitted too,
// so views that read many fields can redraw once.
//
// Bounded against a hostile agent: a whole cycle ends by its deadline (30 s) however
// slowly replies trickle, and then counts as failed; lists keep at most their caps below
// (the number the agent sent beyond a cap is published as "omitted").

#include "agentlink/records.h"
#include "agentlink/transport.h"

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QUuid>
#include <QVariantMap>

#include <QCoroTask>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace tsav {

struct HistoryPoint {
    QUuid id;
    QDateTime date;
    double value = 0;
};
using History = QList<HistoryPoint>;

// The outcome of a command, for the screens that say what happened.
struct CommandResult {
    bool ok = false;   // the agent answered "ok": true
    QString error;     // otherwise why: the agent's own words, or what failed on the way
    QVariantMap data;  // the reply's "data" members (small replies only)
};

class AgentClient : public QObject {
    Q_OBJECT
public:
    static constexpr int historyMax = 60;
    // Rows kept of each list (threats, quarantine and events are asked for with this limit).
    static constexpr qsizetype maxRequestedRows = 200;
    static constexpr qsizetype maxProcesses = 2000;
    static constexpr qsizetype maxConnections = 2000;

    explicit AgentClient(QString socketPath = agentSocketPath(), QObject *parent = nullptr);
    ~AgentClient() override;

    // --- published state -------------------------------------------------------------
    const std::optional<Summary> &summary() const { return m_summary; }
    const QList<Threat> &threats() const { return m_threats; }
    const QList<QuarantineEntry> &quarantine() const { return m_quarantine; }
    const QList<ProcessRow> &processes() const { return m_processes; } // by score, largest first
    const QList<NetworkRow> &network() const { return m_network; }
    const QList<EventRow> &events() const { return m_events; }
    const std::optional<ScanStatus> &scan() const { return m_scan; }
    const std::optional<LiveMetrics> &metrics() const { return m_metrics; }
    const QHash<QString, bool> &settings() const { return m_settings; }
    // Switches whose effect the agent cannot apply, with its reason (empty for old agents).
    const QHash<QString, QString> &unavailableSettings() const { return m_unavailable; }
    // Where events are forwarded while cloud telemetry is on (absent for older agents, and
    // while it is off).
    const std::optional<ForwardTarget> &forwardTarget() const { return m_forwardTarget; }
    // Convenience: settings() at the key's wire name, false when missing.
    bool setting(SettingKey key) const;
    qint64 scheduledScanHours() const { return m_scheduledScanHours; }

    const History &filesPerSecHistory() const { return m_filesPerSecHistory; }
    const History &agentCpuHistory() const { return m_agentCpuHistory; }
    const History &systemCpuHistory() const { return m_systemCpuHistory; }
    const History &ramHistory() const { return m_ramHistory; }
    const History &threatsHistory() const { return m_threatsHistory; }
    const History &netSentHistory() const { return m_netSentHistory; }
    const History &netRecvHistory() const { return m_netRecvHistory; }

    // Rows the agent sent beyond what the client keeps (0 for an honest agent).
    qsizetype threatsOmitted() const { return m_omitted.threats; }
    // Threats threats() does not hold: more than is kept of a reply, or older ones beyond the
    // newest the agent was asked for (its summary counts them all).
    qsizetype threatsNotListed() const;
    qsizetype quarantineOmitted() const { return m_omitted.quarantine; }
    qsizetype processesOmitted() const { return m_omitted.processes; }
    qsizetype networkOmitted() const { return m_omitted.network; }
    qsizetype eventsOmitted() const { return m_omitted.events; }
    // Whether threats() is the agent's answer (false before it and after a failed fetch,
    // when the list is empty for want of an answer, not because there are no threats).
    bool threatsReceived() const { return m_threatsReceived; }

    // The allow-list as last read by refreshAllowList() (not polled: the screen that shows
    // it asks), newest first, at most maxAllowEntries; why the last read failed, if it did.
    static constexpr qsizetype maxAllowEntries = 500;
    const QList<AllowEntry> &allowList() const { return m_allowList; }
    qsizetype allowListOmitted() const { return m_omitted.allowList; }
    const std::optional<QString> &allowListError() const { return m_allowListError; }

    bool connected() const { return m_connected; }
    const std::optional<QString> &lastError() const { return m_lastError; }
    // The last cycle failed because the agent itself refused "summary" and said why (the
    // agent answers; lastError holds its words), rather than because nobody answered.
    bool agentRefused() const { return m_agentRefused; }
    // When the agent last answered a cycle's "summary"; absent before the first answer.
    const std::optional<QDateTime> &lastAnswerAt() const { return m_lastAnswerAt; }
    const QString &socketPath() const { return m_socketPath; }

    // --- polling -----------------------------------------------------------------------
    // Starts (or restarts) the poll loop: one cycle at once, then one every interval
    // after the previous cycle ends.
    void start();
    // Stops the poll loop (a cycle in progress runs to its end).
    void stop();
    bool isPolling() const;
    // Pause between cycles; 2 s unless a test changes it.
    void setPollInterval(std::chrono::milliseconds interval);
    // Longest a whole cycle may take; 30 s unless a test changes it.
    void setCycleDeadline(std::chrono::milliseconds deadline);
    std::chrono::milliseconds cycleDeadline() const { return m_cycleDeadline; }
    // Where the dates of the history samples and of the last answer come from: the wall
    // clock, unless a caller that renders at a fixed time (the snapshot tool) gives its own.
    void setClock(std::function<QDateTime()> clock);

    QCoro::Task<> refresh();
    QCoro::Task<> refreshSettings();
    QCoro::Task<> refreshAllowList();

    // The newest threats or events whose text fields hold `query` (case-insensitive, on
    // the agent), at most maxRequestedRows. Not published: the screen that searches keeps
    // them, while the poll goes on with the unfiltered lists (alerts and the dashboard
    // need every new threat).
    QCoro::Task<Expected<QList<Threat>>> searchThreats(QString query);
    QCoro::Task<Expected<QList<EventRow>>> searchEvents(QString query);

    // One exchange: payload members plus "op" = path, 15 s per receive, and done within the
    // cycle deadline.
    QCoro::Task<Expected<AgentResponse>> call(QString path, QVariantMap payload = {});

    // --- commands (never raise, never touch connected/lastError themselves) -----------
    QCoro::Task<> startScan(QString kind);
    QCoro::Task<> stopScan();
    // These report their outcome (restore says where the file went: data "restored_to").
    QCoro::Task<CommandResult> restoreQuarantine(qint64 id);
    QCoro::Task<CommandResult> deleteQuarantine(qint64 id);
    // Quarantines the file of an active threat now ("threat.quarantine"), then refreshes.
    QCoro::Task<CommandResult> quarantineThreat(qint64 id);
    // Ends the process of an active process threat ("threat.kill"), then refreshes.
    QCoro::Task<CommandResult> killThreat(qint64 id);
    // Adds to the allow-list (kind "path", "sha256" or "process"); data holds the entry and
    // "resolved". Then refreshes the threats and the allow-list.
    QCoro::Task<CommandResult> allow(QString kind, QString value, QString note = {});
    // Removes an allow-list entry by id, then reads the allow-list again.
    QCoro::Task<CommandResult> removeAllowEntry(qint64 id);
    // "settings.set" of one value; the switch then reads the settings again. A refusal (a
    // setting not saved on a full disk) comes back in the agent's words.
    QCoro::Task<CommandResult> setSetting(SettingKey key, bool value);
    QCoro::Task<CommandResult> setScheduledScanHours(qint64 hours);
    QCoro::Task<std::optional<AuditResult>> runAudit();

Q_SIGNALS:
    void summaryChanged();
    void threatsChanged();
    void quarantineChanged();
    void processesChanged();
    void networkChanged();
    void eventsChanged();
    void scanChanged();
    void metricsChanged();
    void settingsChanged();
    void allowListChanged();
    void scheduledScanHoursChanged();
    void historyChanged(); // after recordHistory() appended one sample to each series
    void connectedChanged();
    void lastErrorChanged();
    void cycleFinished(); // after refresh() has finished, whatever its outcome

private:
    void recordHistory();
    void failCycle(const AgentError &error);
    QCoro::Task<> pollLoop(quint64 generation);
    QCoro::Task<> reloadSettings(Deadline deadline);
    QCoro::Task<CommandResult> command(QString path, QVariantMap payload);
    QCoro::Task<CommandResult> commandThenRefresh(QString path, QVariantMap payload);

    QString m_socketPath;
    std::optional<Summary> m_summary;
    QList<Threat> m_threats;
    QList<QuarantineEntry> m_quarantine;
    QList<ProcessRow> m_processes;
    QList<NetworkRow> m_network;
    QList<EventRow> m_events;
    std::optional<ScanStatus> m_scan;
    std::optional<LiveMetrics> m_metrics;
    QHash<QString, bool> m_settings;
    QHash<QString, QString> m_unavailable;
    std::optional<ForwardTarget> m_forwardTarget;
    QList<AllowEntry> m_allowList;
    std::optional<QString> m_allowListError;
    qint64 m_scheduledScanHours = 0;
    struct Omitted {
        qsizetype threats = 0, quarantine = 0, processes = 0, network = 0, events = 0, allowList = 0;
    } m_omitted;
    bool m_threatsReceived = false;
    History m_filesPerSecHistory, m_agentCpuHistory, m_systemCpuHistory, m_ramHistory,
        m_threatsHistory, m_netSentHistory, m_netRecvHistory;
    bool m_connected = false;
    std::optional<QString> m_lastError;
    bool m_agentRefused = false;
    std::optional<QDateTime> m_lastAnswerAt;

    std::chrono::milliseconds m_pollInterval{2000};
    std::chrono::milliseconds m_cycleDeadline{30000};
    std::function<QDateTime()> m_clock;
    quint64 m_pollGeneration = 0; // a loop runs while its generation is current
    bool m_polling = false;
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace tsav
