#include "agentlink/agentclient.h"

#include "agentlink/decode.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <cerrno>

#include <QCoroFuture>
#include <QCoroTimer>

namespace tsav {

namespace {

using namespace std::chrono;

constexpr seconds receiveTimeout{15};
// Replies whose "data" a command hands back as a map; larger ones are not converted.
constexpr qsizetype maxCommandDataBytes = 64 * 1024;

// Exchanges run here rather than on the global pool: that one is sized to the CPU
// count, and a cycle's seven requests must not queue behind one another.
QThreadPool *linkPool()
{
    static QThreadPool *pool = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(8);
        p->setObjectName(QStringLiteral("tsav.agentlink"));
        return p;
    }();
    return pool;
}

QByteArray requestBytes(const QString &path, const QVariantMap &payload)
{
    QJsonObject object = QJsonObject::fromVariantMap(payload);
    object.insert(QStringLiteral("op"), path); // the path replaces any "op" in the payload
    QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Compact);
    bytes.append('\n');
    return bytes;
}

Expected<AgentResponse> exchange(const QString &socketPath, const QByteArray &request, Deadline deadline)
{
    auto raw = requestBlocking(socketPath, request, receiveTimeout, deadline);
    if (!raw)
        return raw.error();
    return parseReply(raw.value());
}

// A list as kept, with the number of rows the agent sent.
template <typename T>
struct Rows {
    QList<T> items;
    qsizetype sent = 0;
};

// One poll request, run entirely on a worker: exchange, parse and decode, so that the
// GUI thread only assigns the result.
template <typename T>
Expected<T> fetchRecord(const QString &socketPath, const QByteArray &request, Deadline deadline)
{
    auto response = exchange(socketPath, request, deadline);
    if (!response)
        return response.error();
    return decodeRecord<T>(response.value());
}

template <typename T>
Expected<Rows<T>> fetchList(const QString &socketPath, const QByteArray &request, qsizetype cap,
                            Deadline deadline)
{
    auto response = exchange(socketPath, request, deadline);
    if (!response)
        return response.error();
    Rows<T> rows;
    auto list = decodeList<T>(response.value(), cap, &rows.sent);
    if (!list)
        return list.error();
    rows.items = std::move(list).value();
    if constexpr (std::is_same_v<T, ProcessRow>)
        sortProcessesByScore(rows.items);
    return rows;
}

template <typename T>
QFuture<Expected<T>> startRecord(const QString &socketPath, const QString &path, Deadline deadline)
{
    return QtConcurrent::run(linkPool(), &fetchRecord<T>, socketPath, requestBytes(path, {}), deadline);
}

template <typename T>
QFuture<Expected<Rows<T>>> startList(const QString &socketPath, const QString &path, const QVariantMap &payload,
                                     qsizetype cap, Deadline deadline)
{
    return QtConcurrent::run(linkPool(), &fetchList<T>, socketPath, requestBytes(path, payload), cap, deadline);
}

template <typename T>
std::optional<T> valueOrNone(Expected<T> &&e)
{
    if (!e)
        return std::nullopt;
    return std::move(e).value();
}

// Replaces a published value and releases the old one on a worker: freeing thousands
// of rows is the largest single cost left on the GUI thread otherwise.
template <typename T>
void replace(T &field, T &&value)
{
    T old = std::exchange(field, std::move(value));
    if (!old.isEmpty())
        linkPool()->start([old = std::move(old)]() mutable { old = T(); });
}

// Assigns a fetched list (or an empty one when the fetch failed) and its omitted count.
template <typename T>
void assignRows(QList<T> &field, qsizetype &omitted, Expected<Rows<T>> &&fetched)
{
    if (!fetched) {
        replace(field, QList<T>());
        omitted = 0;
        return;
    }
    Rows<T> rows = std::move(fetched).value();
    omitted = std::max<qsizetype>(0, rows.sent - rows.items.size());
    replace(field, std::move(rows.items));
}

// Whether any of the results ran out of the cycle's time.
template <typename... R>
bool anyDeadline(const R &...results)
{
    return ((!results && results.error().isDeadline()) || ...);
}

void appendSample(History &series, const QDateTime &now, double value)
{
    series.append(HistoryPoint{QUuid::createUuid(), now, value});
    if (series.size() > AgentClient::historyMax)
        series.remove(0, series.size() - AgentClient::historyMax);
}

// Request paths of the agent protocol.
const QString opSummary = QStringLiteral("summary");
const QString opThreats = QStringLiteral("threats");
const QString opQuarantineList = QStringLiteral("quarantine.list");
const QString opProcesses = QStringLiteral("processes");
const QString opNetwork = QStringLiteral("network");
const QString opEvents = QStringLiteral("events");
const QString opScanStatus = QStringLiteral("scan.status");
const QString opMetricsLive = QStringLiteral("metrics.live");
const QString opSettingsGet = QStringLiteral("settings.get");
const QString opSettingsSet = QStringLiteral("settings.set");
const QString opAuditRun = QStringLiteral("audit.run");
const QString opScanStart = QStringLiteral("scan.start");
const QString opScanStop = QStringLiteral("scan.stop");
const QString opQuarantineRestore = QStringLiteral("quarantine.restore");
const QString opQuarantineDelete = QStringLiteral("quarantine.delete");

// A payload of one member. Built outside the coroutines: brace-initialised maps inside
// a coroutine body trip g++ 12.
QVariantMap one(const QString &key, const QVariant &value)
{
    QVariantMap map;
    map.insert(key, value);
    return map;
}

const QString keyKind = QStringLiteral("kind");
const QString keyId = QStringLiteral("id");
const QString keyValues = QStringLiteral("values");
const QString keyScheduledScanHours = QStringLiteral("scheduled_scan_hours");
const QVariantMap limitRows = one(QStringLiteral("limit"), AgentClient::maxRequestedRows);
const QString opThreatQuarantine = QStringLiteral("threat.quarantine");
const QString opThreatKill = QStringLiteral("threat.kill");
const QString opAllowList = QStringLiteral("allowlist.list");
const QString opAllowAdd = QStringLiteral("allowlist.add");
const QString opAllowRemove = QStringLiteral("allowlist.remove");

QVariantMap allowPayload(const QString &kind, const QString &value, const QString &note)
{
    QVariantMap map;
    map.insert(QStringLiteral("kind"), kind);
    map.insert(QStringLiteral("value"), value);
    if (!note.isEmpty())
        map.insert(QStringLiteral("note"), note);
    return map;
}

} // namespace

struct AgentClient::Private {
    QPointer<QTimer> sleepTimer; // the current loop's pause, cut short on restart or stop
};

AgentClient::AgentClient(QString socketPath, QObject *parent)
    : QObject(parent), m_socketPath(std::move(socketPath)), d(std::make_unique<Private>())
{
}

AgentClient::~AgentClient()
{
    // Wake a sleeping loop so that it finds the client gone and ends.
    if (d->sleepTimer)
        d->sleepTimer->start(0);
}

bool AgentClient::setting(SettingKey key) const { return m_settings.value(wireName(key), false); }

void AgentClient::start()
{
    ++m_pollGeneration;
    m_polling = true;
    if (d->sleepTimer)
        d->sleepTimer->start(0); // the old loop wakes, sees a newer generation, ends
    pollLoop(m_pollGeneration);
}

void AgentClient::stop()
{
    ++m_pollGeneration;
    m_polling = false;
    if (d->sleepTimer)
        d->sleepTimer->start(0);
}

bool AgentClient::isPolling() const { return m_polling; }

void AgentClient::setPollInterval(std::chrono::milliseconds interval) { m_pollInterval = interval; }

void AgentClient::setCycleDeadline(std::chrono::milliseconds deadline) { m_cycleDeadline = deadline; }

QCoro::Task<> AgentClient::pollLoop(quint64 generation)
{
    QPointer<AgentClient> self(this);
    const auto current = [&] { return self && self->m_pollGeneration == generation; };
    while (current()) {
        co_await refresh();
        if (!current())
            co_return;
        QTimer pause;
        pause.setSingleShot(true);
        d->sleepTimer = &pause;
        pause.start(m_pollInterval);
        co_await pause;
    }
}

QCoro::Task<Expected<AgentResponse>> AgentClient::call(QString path, QVariantMap payload)
{
    const QByteArray request = requestBytes(path, payload);
    const Deadline deadline = steady_clock::now() + m_cycleDeadline;
    co_return co_await QtConcurrent::run(linkPool(), &exchange, m_socketPath, request, deadline);
}

void AgentClient::failCycle(const AgentError &error)
{
    m_connected = false;
    Q_EMIT connectedChanged();
    m_agentRefused = error.domain == QLatin1String("tsav.agent");
    if (m_agentRefused)
        m_lastError = error.message; // the agent's own words
    else if (error.isDeadline())
        m_lastError = QStringLiteral("agentul nu a răspuns complet în %1 s")
                          .arg(duration_cast<seconds>(m_cycleDeadline).count());
    else
        m_lastError = error.description();
    Q_EMIT lastErrorChanged();
}

QCoro::Task<> AgentClient::refresh()
{
    QPointer<AgentClient> self(this);
    const QString socket = m_socketPath;
    const Deadline deadline = steady_clock::now() + m_cycleDeadline;

    auto summary = co_await startRecord<Summary>(socket, opSummary, deadline);
    if (!self)
        co_return;
    if (!summary) {
        failCycle(summary.error());
        Q_EMIT cycleFinished();
        co_return;
    }
    m_summary = std::move(summary).value();
    Q_EMIT summaryChanged();
    m_connected = true;
    Q_EMIT connectedChanged();
    m_lastError.reset();
    m_agentRefused = false;
    m_lastAnswerAt = m_clock ? m_clock() : QDateTime::currentDateTime();
    Q_EMIT lastErrorChanged();

    // All seven at once; results are assigned in this fixed order as they arrive.
    auto threats = startList<Threat>(socket, opThreats, limitRows, maxRequestedRows, deadline);
    auto quarantine = startList<QuarantineEntry>(socket, opQuarantineList, limitRows, maxRequestedRows, deadline);
    auto processes = startList<ProcessRow>(socket, opProcesses, {}, maxProcesses, deadline);
    auto network = startList<NetworkRow>(socket, opNetwork, {}, maxConnections, deadline);
    auto events = startList<EventRow>(socket, opEvents, limitRows, maxRequestedRows, deadline);
    auto scan = startRecord<ScanStatus>(socket, opScanStatus, deadline);
    auto metrics = startRecord<LiveMetrics>(socket, opMetricsLive, deadline);

    auto threatsResult = co_await threats;
    if (!self)
        co_return;
    bool late = anyDeadline(threatsResult);
    m_threatsReceived = threatsResult.ok();
    assignRows(m_threats, m_omitted.threats, std::move(threatsResult));
    Q_EMIT threatsChanged();

    auto quarantineResult = co_await quarantine;
    if (!self)
        co_return;
    late |= anyDeadline(quarantineResult);
    assignRows(m_quarantine, m_omitted.quarantine, std::move(quarantineResult));
    Q_EMIT quarantineChanged();

    auto processesResult = co_await processes; // already sorted by score on the worker
    if (!self)
        co_return;
    late |= anyDeadline(processesResult);
    assignRows(m_processes, m_omitted.processes, std::move(processesResult));
    Q_EMIT processesChanged();

    auto networkResult = co_await network;
    if (!self)
        co_return;
    late |= anyDeadline(networkResult);
    assignRows(m_network, m_omitted.network, std::move(networkResult));
    Q_EMIT networkChanged();

    auto eventsResult = co_await events;
    if (!self)
        co_return;
    late |= anyDeadline(eventsResult);
    assignRows(m_events, m_omitted.events, std::move(eventsResult));
    Q_EMIT eventsChanged();

    auto scanResult = co_await scan;
    if (!self)
        co_return;
    late |= anyDeadline(scanResult);
    m_scan = valueOrNone(std::move(scanResult));
    Q_EMIT scanChanged();

    auto metricsResult = co_await metrics;
    if (!self)
        co_return;
    late |= anyDeadline(metricsResult);
    m_metrics = valueOrNone(std::move(metricsResult));
    Q_EMIT metricsChanged();

    recordHistory();

    // A reply still trickling when the cycle's time is up fails the whole cycle: the agent
    // is not answering as it should, whatever the other replies said.
    if (late) {
        failCycle(AgentError{QStringLiteral("tsav.unixsocket"), ETIMEDOUT, QStringLiteral("deadline")});
        Q_EMIT cycleFinished();
        co_return;
    }
    co_await reloadSettings(deadline);
    if (!self)
        co_return;
    Q_EMIT cycleFinished();
}

void AgentClient::setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }

void AgentClient::recordHistory()
{
    if (!m_metrics)
        return;
    const QDateTime now = m_clock ? m_clock() : QDateTime::currentDateTime();
    const LiveMetrics &m = *m_metrics;
    appendSample(m_filesPerSecHistory, now, m.files_per_second);
    appendSample(m_agentCpuHistory, now, m.agent.cpu);
    appendSample(m_systemCpuHistory, now, m.system.cpu_percent);
    appendSample(m_ramHistory, now, m.system.ram_percent);
    appendSample(m_threatsHistory, now, m_summary ? static_cast<double>(m_summary->threats_active) : 0.0);
    appendSample(m_netSentHistory, now, m.system.net_bytes_sent_per_sec);
    appendSample(m_netRecvHistory, now, m.system.net_bytes_recv_per_sec);
    Q_EMIT historyChanged();
}

QCoro::Task<> AgentClient::refreshSettings()
{
    co_await reloadSettings(steady_clock::now() + m_cycleDeadline);
}

QCoro::Task<> AgentClient::reloadSettings(Deadline deadline)
{
    QPointer<AgentClient> self(this);
    auto response = co_await QtConcurrent::run(linkPool(), &exchange, m_socketPath,
                                               requestBytes(opSettingsGet, {}), deadline);
    if (!self)
        co_return;
    if (!response) {
        if (response.error().isDeadline())
            failCycle(response.error());
        co_return;
    }
    auto settings = decodeSettings(response.value());
    if (!settings)
        co_return;
    m_settings = std::move(settings->switches);
    m_unavailable = std::move(settings->unavailable);
    m_forwardTarget = std::move(settings->forwardTo);
    Q_EMIT settingsChanged();
    if (settings->scheduledScanHours) {
        m_scheduledScanHours = *settings->scheduledScanHours;
        Q_EMIT scheduledScanHoursChanged();
    }
}

qsizetype AgentClient::threatsNotListed() const
{
    const qsizetype older = m_summary ? std::max<qint64>(0, m_summary->threats_total - m_threats.size()) : 0;
    return std::max(m_omitted.threats, older);
}

QCoro::Task<> AgentClient::refreshAllowList()
{
    QPointer<AgentClient> self(this);
    auto fetched = co_await QtConcurrent::run(linkPool(), &fetchList<AllowEntry>, m_socketPath,
                                              requestBytes(opAllowList, {}), maxAllowEntries,
                                              steady_clock::now() + m_cycleDeadline);
    if (!self)
        co_return;
    if (fetched)
        m_allowListError.reset();
    else // an agent that does not know the request says so in its own words
        m_allowListError = fetched.error().domain == QLatin1String("tsav.agent") ? fetched.error().message
                                                                                 : fetched.error().description();
    assignRows(m_allowList, m_omitted.allowList, std::move(fetched));
    Q_EMIT allowListChanged();
}

namespace {
template <typename T>
Expected<QList<T>> rowsOnly(Expected<Rows<T>> &&fetched)
{
    if (!fetched)
        return fetched.error();
    return std::move(fetched).value().items;
}

QVariantMap searchPayload(const QString &query)
{
    QVariantMap payload = limitRows;
    payload.insert(QStringLiteral("query"), query);
    return payload;
}
} // namespace

QCoro::Task<Expected<QList<Threat>>> AgentClient::searchThreats(QString query)
{
    co_return rowsOnly(co_await QtConcurrent::run(linkPool(), &fetchList<Threat>, m_socketPath,
                                                  requestBytes(opThreats, searchPayload(query)), maxRequestedRows,
                                                  steady_clock::now() + m_cycleDeadline));
}

QCoro::Task<Expected<QList<EventRow>>> AgentClient::searchEvents(QString query)
{
    co_return rowsOnly(co_await QtConcurrent::run(linkPool(), &fetchList<EventRow>, m_socketPath,
                                                  requestBytes(opEvents, searchPayload(query)), maxRequestedRows,
                                                  steady_clock::now() + m_cycleDeadline));
}

// --- commands: the outcome of the request is dropped, whatever it is ------------------

QCoro::Task<> AgentClient::startScan(QString kind)
{
    QPointer<AgentClient> self(this);
    (void)co_await call(opScanStart, one(keyKind, kind));
    if (self)
        co_await refresh();
}

QCoro::Task<> AgentClient::stopScan()
{
    QPointer<AgentClient> self(this);
    (void)co_await call(opScanStop);
    if (self)
        co_await refresh();
}

QCoro::Task<CommandResult> AgentClient::command(QString path, QVariantMap payload)
{
    auto response = co_await call(path, payload);
    CommandResult result;
    if (!response) {
        result.error = response.error().description();
        co_return result;
    }
    const AgentResponse &reply = response.value();
    result.ok = reply.ok;
    if (!reply.ok)
        result.error = reply.error.value_or(QStringLiteral("the agent refused without a reason"));
    if (reply.hasData && !reply.dataIsNull && reply.raw.size() <= maxCommandDataBytes)
        result.data = QJsonDocument::fromJson(reply.dataJson()).object().toVariantMap();
    co_return result;
}

QCoro::Task<CommandResult> AgentClient::commandThenRefresh(QString path, QVariantMap payload)
{
    QPointer<AgentClient> self(this);
    CommandResult result = co_await command(std::move(path), std::move(payload));
    if (self)
        co_await refresh();
    co_return result;
}

QCoro::Task<CommandResult> AgentClient::restoreQuarantine(qint64 id)
{
    return commandThenRefresh(opQuarantineRestore, one(keyId, id));
}

QCoro::Task<CommandResult> AgentClient::deleteQuarantine(qint64 id)
{
    return commandThenRefresh(opQuarantineDelete, one(keyId, id));
}

QCoro::Task<CommandResult> AgentClient::quarantineThreat(qint64 id)
{
    return commandThenRefresh(opThreatQuarantine, one(keyId, id));
}

QCoro::Task<CommandResult> AgentClient::killThreat(qint64 id)
{
    return commandThenRefresh(opThreatKill, one(keyId, id));
}

QCoro::Task<CommandResult> AgentClient::allow(QString kind, QString value, QString note)
{
    QPointer<AgentClient> self(this);
    CommandResult result = co_await commandThenRefresh(opAllowAdd, allowPayload(kind, value, note));
    if (self)
        co_await refreshAllowList();
    co_return result;
}

QCoro::Task<CommandResult> AgentClient::removeAllowEntry(qint64 id)
{
    QPointer<AgentClient> self(this);
    CommandResult result = co_await command(opAllowRemove, one(keyId, id));
    if (self)
        co_await refreshAllowList();
    co_return result;
}

QCoro::Task<CommandResult> AgentClient::setSetting(SettingKey key, bool value)
{
    QPointer<AgentClient> self(this);
    CommandResult result = co_await command(opSettingsSet, one(keyValues, one(wireName(key), value)));
    if (self)
        co_await refreshSettings();
    co_return result;
}

QCoro::Task<CommandResult> AgentClient::setScheduledScanHours(qint64 hours)
{
    return command(opSettingsSet, one(keyValues, one(keyScheduledScanHours, hours)));
}

QCoro::Task<std::optional<AuditResult>> AgentClient::runAudit()
{
    auto response = co_await call(opAuditRun);
    if (!response)
        co_return std::nullopt;
    auto result = decodeRecord<AuditResult>(response.value());
    if (!result)
        co_return std::nullopt;
    co_return std::move(result).value();
}

} // namespace tsav
