#include "agentlink/decode.h"

#include "agentlink/json.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>
#include <unordered_set>

namespace tsav {

namespace {

using simdjson::dom::element;
using Type = simdjson::dom::element_type;

enum DecodeCode : qint64 { Missing = 1, WrongType = 2 };

// A decoding failure: which member (path relative to the value being read) and why.
struct Fault {
    qint64 code;
    QString path;
    QString what;
};
using Result = std::optional<Fault>; // empty on success

QString describe(element e)
{
    switch (e.type()) {
    case Type::ARRAY: return QStringLiteral("an array");
    case Type::OBJECT: return QStringLiteral("an object");
    case Type::STRING: return QStringLiteral("a string");
    case Type::BOOL: return QStringLiteral("a Boolean");
    case Type::NULL_VALUE: return QStringLiteral("null");
    case Type::INT64: return QString::number(e.get_int64().value_unsafe());
    case Type::UINT64: return QString::number(e.get_uint64().value_unsafe());
    case Type::DOUBLE: return QString::number(e.get_double().value_unsafe(), 'g', 17);
    }
    return QStringLiteral("an unknown value");
}

Fault wrongType(element e, const char *expected)
{
    return Fault{WrongType, QString(), QStringLiteral("expected %1, got %2").arg(QLatin1String(expected), describe(e))};
}

Result prefixed(Result r, const QString &segment)
{
    if (r)
        r->path = r->path.isEmpty() ? segment
                  : r->path.startsWith(u'[') ? segment + r->path
                                             : segment + u'.' + r->path;
    return r;
}

// --- scalars -----------------------------------------------------------------------

Result read(element e, qint64 &out)
{
    switch (e.type()) {
    case Type::INT64:
        out = e.get_int64().value_unsafe();
        return {};
    case Type::DOUBLE: {
        // A whole-number double (3.0) is an int; the bounds are exactly -2^63 and 2^63.
        const double d = e.get_double().value_unsafe();
        if (std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
            out = static_cast<qint64>(d);
            return {};
        }
        return wrongType(e, "a whole number that fits in 64 bits");
    }
    case Type::UINT64:
        return wrongType(e, "a whole number that fits in 64 bits");
    default:
        return wrongType(e, "an integer");
    }
}

Result read(element e, double &out)
{
    switch (e.type()) {
    case Type::INT64: out = static_cast<double>(e.get_int64().value_unsafe()); return {};
    case Type::UINT64: out = static_cast<double>(e.get_uint64().value_unsafe()); return {};
    case Type::DOUBLE: out = e.get_double().value_unsafe(); return {};
    default: return wrongType(e, "a number");
    }
}

Result read(element e, QString &out)
{
    std::string_view s;
    if (e.get(s))
        return wrongType(e, "a string");
    out = QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
    return {};
}

Result read(element e, QByteArray &out)
{
    std::string_view s;
    if (e.get(s))
        return wrongType(e, "a string");
    out = QByteArray(s.data(), static_cast<qsizetype>(s.size()));
    return {};
}

Result read(element e, bool &out)
{
    if (e.get(out))
        return wrongType(e, "true or false");
    return {};
}

// --- containers --------------------------------------------------------------------

template <typename T>
Result read(element e, T &out);

// Longest list kept inside a record (the rest is left undecoded): nested lists are only
// the audit's checks, and no honest audit has more.
template <typename T> constexpr qsizetype nestedListCap = std::numeric_limits<qsizetype>::max();
template <> constexpr qsizetype nestedListCap<AuditCheck> = 200;
template <> constexpr qsizetype nestedListCap<QString> = ScanStatus::maxLocations;

// Decodes the first `cap` items (each strictly); the rest are only counted in `received`.
template <typename T>
Result readCapped(element e, QList<T> &out, qsizetype cap, qsizetype *received)
{
    simdjson::dom::array array;
    if (e.get(array))
        return wrongType(e, "an array");
    QList<T> list;
    list.reserve(std::min<qsizetype>(static_cast<qsizetype>(array.size()), cap));
    qsizetype index = 0;
    for (element item : array) {
        if (index < cap) {
            T value;
            if (Result r = read(item, value))
                return prefixed(r, QStringLiteral("[%1]").arg(index));
            list.append(std::move(value));
        }
        ++index;
    }
    out = std::move(list);
    if (received)
        *received = index;
    return {};
}

template <typename T>
Result read(element e, QList<T> &out)
{
    return readCapped(e, out, nestedListCap<T>, nullptr);
}

// Maps (engine names, scan folders, severities) keep their first entries only: a
// hostile agent's twenty thousand names must not become twenty thousand rows.
template <typename T>
Result read(element e, QMap<QString, T> &out)
{
    simdjson::dom::object object;
    if (e.get(object))
        return wrongType(e, "an object");
    QMap<QString, T> map;
    qsizetype index = 0;
    for (auto field : object) {
        if (index++ >= LiveMetrics::maxMapEntries)
            break;
        const QString key = QString::fromUtf8(field.key.data(), static_cast<qsizetype>(field.key.size()));
        if (field.value.is_null())
            return prefixed(Fault{Missing, QString(), QStringLiteral("null")}, key);
        T value;
        if (Result r = read(field.value, value))
            return prefixed(r, key);
        map.insert(key, std::move(value));
    }
    out = std::move(map);
    return {};
}

// --- records -----------------------------------------------------------------------

// Reads the members of one JSON object, keeping the first failure.
class Fields {
public:
    explicit Fields(element e)
    {
        if (e.get(m_object))
            m_fault = wrongType(e, "an object");
    }

    template <typename T>
    Fields &req(const char *key, T &out)
    {
        if (m_fault)
            return *this;
        element value;
        if (m_object.at_key(key).get(value))
            m_fault = Fault{Missing, QLatin1String(key), QStringLiteral("missing")};
        else if (value.is_null())
            m_fault = Fault{Missing, QLatin1String(key), QStringLiteral("null")};
        else
            m_fault = prefixed(read(value, out), QLatin1String(key));
        return *this;
    }

    template <typename T>
    Fields &opt(const char *key, std::optional<T> &out)
    {
        if (m_fault)
            return *this;
        element value;
        if (m_object.at_key(key).get(value) || value.is_null()) {
            out.reset();
            return *this;
        }
        T decoded;
        m_fault = prefixed(read(value, decoded), QLatin1String(key));
        if (!m_fault)
            out = std::move(decoded);
        return *this;
    }

    Result result() const { return m_fault; }

private:
    simdjson::dom::object m_object;
    Result m_fault;
};

// One list of fields per record: key, required (req) or optional (opt), type from the member.

template <>
Result read(element e, Summary &r)
{
    return Fields(e)
        .req("threats_total", r.threats_total)
        .req("threats_active", r.threats_active)
        .req("quarantined", r.quarantined)
        .req("threats_last_24h", r.threats_last_24h)
        .req("events_last_24h", r.events_last_24h)
        .result();
}

template <>
Result read(element e, Threat &r)
{
    return Fields(e)
        .req("id", r.id)
        .req("ts", r.ts)
        .req("kind", r.kind)
        .req("severity", r.severity)
        .opt("path", r.path)
        .opt("pid", r.pid)
        .opt("process_name", r.process_name)
        .opt("signature", r.signature)
        .opt("score", r.score)
        .opt("description", r.description)
        .req("status", r.status)
        .result();
}

template <>
Result read(element e, QuarantineEntry &r)
{
    return Fields(e)
        .req("id", r.id)
        .req("ts", r.ts)
        .req("original_path", r.original_path)
        .req("vault_path", r.vault_path)
        .req("sha256", r.sha256)
        .req("size", r.size)
        .req("reason", r.reason)
        .result();
}

template <>
Result read(element e, ProcessRow &r)
{
    return Fields(e)
        .req("pid", r.pid)
        .req("name", r.name)
        .req("user", r.user)
        .req("exe", r.exe)
        .req("cpu", r.cpu)
        .req("rss", r.rss)
        .req("connections", r.connections)
        .req("open_files", r.open_files)
        .req("threads", r.threads)
        .req("score", r.score)
        .result();
}

template <>
Result read(element e, NetworkRow &r)
{
    return Fields(e)
        .opt("pid", r.pid)
        .opt("process", r.process)
        .req("local", r.local)
        .req("remote", r.remote)
        .req("status", r.status)
        .req("suspicious", r.suspicious)
        .opt("reason", r.reason)
        .result();
}

template <>
Result read(element e, EventRow &r)
{
    return Fields(e)
        .req("id", r.id)
        .req("ts", r.ts)
        .req("source", r.source)
        .req("action", r.action)
        .opt("target", r.target)
        .result();
}

template <>
Result read(element e, ScanStatus &r)
{
    return Fields(e)
        .req("id", r.id)
        .req("kind", r.kind)
        .req("started", r.started)
        .opt("finished", r.finished)
        .req("scanned", r.scanned)
        .req("current", r.current)
        .req("running", r.running)
        .opt("outcome", r.outcome)
        .opt("error", r.error)
        .opt("skipped_foreign", r.skipped_foreign)
        .opt("unreadable", r.unreadable)
        .opt("locations", r.locations)
        .result();
}

template <>
Result read(element e, LiveMetrics::EngineHits &r)
{
    return Fields(e).req("hits", r.hits).req("last", r.last).opt("state", r.state).opt("reason", r.reason).result();
}

template <>
Result read(element e, LiveMetrics::ScanDirRaw &r)
{
    return Fields(e)
        .req("scanned", r.scanned)
        .req("hits", r.hits)
        .req("started", r.started)
        .opt("finished", r.finished)
        .req("duration", r.duration)
        .result();
}

template <>
Result read(element e, LiveMetrics::EngineHistory &r)
{
    return Fields(e).req("last24h", r.last24h).req("total", r.total).req("last_ts", r.last_ts).result();
}

template <>
Result read(element e, AgentSelfStats &r)
{
    return Fields(e)
        .req("pid", r.pid)
        .req("cpu", r.cpu)
        .req("rss", r.rss)
        .req("threads", r.threads)
        .req("fds", r.fds)
        .req("uptime_seconds", r.uptime_seconds)
        .opt("clamd_rss", r.clamd_rss)
        .result();
}

template <>
Result read(element e, SystemStats &r)
{
    return Fields(e)
        .req("cpu_percent", r.cpu_percent)
        .req("cpu_count", r.cpu_count)
        .req("ram_used", r.ram_used)
        .req("ram_total", r.ram_total)
        .req("ram_percent", r.ram_percent)
        .req("disk_used", r.disk_used)
        .req("disk_total", r.disk_total)
        .req("disk_percent", r.disk_percent)
        .req("net_bytes_sent_per_sec", r.net_bytes_sent_per_sec)
        .req("net_bytes_recv_per_sec", r.net_bytes_recv_per_sec)
        .result();
}

// Distinct keys of two objects (either may be missing or not an object).
qsizetype distinctKeys(element e, const char *a, const char *b)
{
    std::unordered_set<std::string_view> keys;
    for (const char *member : {a, b}) {
        simdjson::dom::object object;
        if (e[member].get(object))
            continue;
        for (auto field : object)
            keys.insert(field.key);
    }
    return static_cast<qsizetype>(keys.size());
}

qsizetype memberCount(element e, const char *member)
{
    simdjson::dom::object object;
    if (e[member].get(object))
        return 0;
    qsizetype n = 0;
    for ([[maybe_unused]] auto field : object)
        ++n;
    return n;
}

template <>
Result read(element e, LiveMetrics &r)
{
    Result result = Fields(e)
        .req("uptime_seconds", r.uptime_seconds)
        .req("files_scanned_since_boot", r.files_scanned_since_boot)
        .req("files_per_second", r.files_per_second)
        .req("engines", r.engines)
        .req("active_scan_dirs", r.active_scan_dirs)
        .req("agent", r.agent)
        .req("system", r.system)
        .req("engine_breakdown", r.engine_breakdown)
        .req("severity_breakdown", r.severity_breakdown)
        .result();
    if (result)
        return result;
    // What was sent, beyond what the maps keep.
    r.scanDirsSent = memberCount(e, "active_scan_dirs");
    r.engineNamesSent = distinctKeys(e, "engines", "engine_breakdown");
    return {};
}

template <>
Result read(element e, AuditCheck &r)
{
    return Fields(e)
        .req("id", r.id)
        .req("title", r.title)
        .req("pass", r.pass)
        .req("severity", r.severity)
        .req("detail", r.detail)
        .result();
}

template <>
Result read(element e, AuditResult &r)
{
    return Fields(e)
        .req("checks", r.checks)
        .req("passing", r.passing)
        .req("total", r.total)
        .req("score", r.score)
        .result();
}

template <>
Result read(element e, ExportPage &r)
{
    return Fields(e)
        .req("kind", r.kind)
        .req("format", r.format)
        .req("chunk", r.chunk)
        .req("rows", r.rows)
        .req("total", r.total)
        .opt("next", r.next)
        .result();
}

template <>
Result read(element e, AllowEntry &r)
{
    return Fields(e)
        .req("id", r.id)
        .req("kind", r.kind)
        .req("value", r.value)
        .req("note", r.note)
        .req("ts", r.ts)
        .result();
}

template <>
Result read(element e, AllowAdded &r)
{
    if (Result entry = read(e, r.entry))
        return entry;
    return Fields(e).req("resolved", r.resolved).result();
}

template <typename T> constexpr const char *recordName = "";
template <> constexpr const char *recordName<Summary> = "Summary";
template <> constexpr const char *recordName<Threat> = "Threat";
template <> constexpr const char *recordName<QuarantineEntry> = "QuarantineEntry";
template <> constexpr const char *recordName<ProcessRow> = "ProcessRow";
template <> constexpr const char *recordName<NetworkRow> = "NetworkRow";
template <> constexpr const char *recordName<EventRow> = "EventRow";
template <> constexpr const char *recordName<ScanStatus> = "ScanStatus";
template <> constexpr const char *recordName<AgentSelfStats> = "AgentSelfStats";
template <> constexpr const char *recordName<SystemStats> = "SystemStats";
template <> constexpr const char *recordName<LiveMetrics> = "LiveMetrics";
template <> constexpr const char *recordName<AuditCheck> = "AuditCheck";
template <> constexpr const char *recordName<AuditResult> = "AuditResult";
template <> constexpr const char *recordName<ExportPage> = "ExportPage";
template <> constexpr const char *recordName<AllowEntry> = "AllowEntry";
template <> constexpr const char *recordName<AllowAdded> = "AllowAdded";

template <typename T>
AgentError toError(const Fault &fault)
{
    QString where = QLatin1String(recordName<T>);
    if (!fault.path.isEmpty())
        where += fault.path.startsWith(u'[') ? fault.path : u'.' + fault.path;
    return AgentError{QStringLiteral("tsav.decode"), fault.code, where + QStringLiteral(": ") + fault.what};
}

const element *dataOf(const AgentResponse &response)
{
    if (!response.doc || !response.doc->data || response.doc->data->is_null())
        return nullptr;
    return &*response.doc->data;
}

// A refusal in the agent's own words: a reply that is not "ok" and says why.
std::optional<AgentError> refusal(const AgentResponse &response)
{
    if (response.ok || !response.error)
        return std::nullopt;
    return AgentError{QStringLiteral("tsav.agent"), 0, *response.error};
}

} // namespace

template <typename T>
Expected<T> decodeRecord(const AgentResponse &response)
{
    const element *data = dataOf(response);
    if (!data) {
        if (auto why = refusal(response))
            return *why;
        return AgentError{QStringLiteral("tsav"), 2, QStringLiteral("no data")};
    }
    T record;
    if (Result r = read(*data, record)) {
        if (auto why = refusal(response))
            return *why;
        return toError<T>(*r);
    }
    return record;
}

template <typename T>
Expected<QList<T>> decodeList(const AgentResponse &response, qsizetype maxItems, qsizetype *received)
{
    if (received)
        *received = 0;
    const element *data = dataOf(response);
    if (!data) {
        if (auto why = refusal(response))
            return *why;
        return QList<T>();
    }
    QList<T> list;
    if (Result r = readCapped(*data, list, maxItems, received)) {
        if (auto why = refusal(response))
            return *why;
        return toError<T>(*r);
    }
    return list;
}

#define TSAV_DEFINE_DECODERS(T)                                                               \
    template Expected<T> decodeRecord<T>(const AgentResponse &);                            \
    template Expected<QList<T>> decodeList<T>(const AgentResponse &, qsizetype, qsizetype *);
TSAV_DEFINE_DECODERS(Summary)
TSAV_DEFINE_DECODERS(Threat)
TSAV_DEFINE_DECODERS(QuarantineEntry)
TSAV_DEFINE_DECODERS(ProcessRow)
TSAV_DEFINE_DECODERS(NetworkRow)
TSAV_DEFINE_DECODERS(EventRow)
TSAV_DEFINE_DECODERS(ScanStatus)
TSAV_DEFINE_DECODERS(AgentSelfStats)
TSAV_DEFINE_DECODERS(SystemStats)
TSAV_DEFINE_DECODERS(LiveMetrics)
TSAV_DEFINE_DECODERS(AuditCheck)
TSAV_DEFINE_DECODERS(AuditResult)
TSAV_DEFINE_DECODERS(ExportPage)
TSAV_DEFINE_DECODERS(AllowEntry)
TSAV_DEFINE_DECODERS(AllowAdded)
#undef TSAV_DEFINE_DECODERS

std::optional<SettingsReply> decodeSettings(const AgentResponse &response)
{
    const element *data = dataOf(response);
    simdjson::dom::object object;
    if (!data || data->get(object))
        return std::nullopt;
    SettingsReply reply;
    for (auto field : object) {
        const QString key = QString::fromUtf8(field.key.data(), static_cast<qsizetype>(field.key.size()));
        if (key == QLatin1String("unavailable")) {
            simdjson::dom::object reasons;
            if (field.value.get(reasons))
                continue;
            for (auto reason : reasons) {
                std::string_view text;
                if (reply.unavailable.size() < LiveMetrics::maxMapEntries && !reason.value.get(text))
                    reply.unavailable.insert(
                        QString::fromUtf8(reason.key.data(), static_cast<qsizetype>(reason.key.size())),
                        QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
            }
            continue;
        }
        if (key == QLatin1String("forward_to")) {
            // Shown on screen as is: a malformed or absurd target is left out, not guessed at.
            ForwardTarget target;
            if (!Fields(field.value)
                     .req("host", target.host)
                     .req("port", target.port)
                     .req("protocol", target.protocol)
                     .result()
                && target.port >= 0 && target.port <= 65535 && target.host.size() <= 255
                && target.protocol.size() <= 16)
                reply.forwardTo = std::move(target);
            continue;
        }
        bool flag = false;
        if (!field.value.get(flag))
            reply.switches.insert(key, flag);
        qint64 hours = 0;
        if (key == QLatin1String("scheduled_scan_hours") && !read(field.value, hours))
            reply.scheduledScanHours = hours;
    }
    return reply;
}

void sortProcessesByScore(QList<ProcessRow> &rows)
{
    std::stable_sort(rows.begin(), rows.end(),
                     [](const ProcessRow &a, const ProcessRow &b) { return a.score > b.score; });
}

} // namespace tsav
