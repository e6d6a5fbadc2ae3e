#pragma once
// Records the agent sends, decoded strictly by JSON key (see records.cpp for the
// field lists). Plain immutable values: copied freely between the client and screens.

#include <QByteArray>
#include <QList>
#include <QHash>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <optional>

namespace tsav {

struct Summary {
    qint64 threats_total = 0;
    qint64 threats_active = 0;
    qint64 quarantined = 0;
    qint64 threats_last_24h = 0;
    qint64 events_last_24h = 0;
    bool operator==(const Summary &) const = default;
};

struct Threat {
    qint64 id = 0;
    double ts = 0;
    QString kind;
    QString severity;
    std::optional<QString> path;
    std::optional<qint64> pid;
    std::optional<QString> process_name;
    std::optional<QString> signature;
    std::optional<double> score;
    std::optional<QString> description;
    QString status;
    bool operator==(const Threat &) const = default;
};

struct QuarantineEntry {
    qint64 id = 0;
    double ts = 0;
    QString original_path;
    QString vault_path;
    QString sha256;
    qint64 size = 0;
    QString reason;
    bool operator==(const QuarantineEntry &) const = default;
};

struct ProcessRow {
    qint64 pid = 0;
    QString name;
    QString user;
    QString exe;
    double cpu = 0;
    qint64 rss = 0;
    qint64 connections = 0;
    qint64 open_files = 0;
    qint64 threads = 0;
    double score = 0;
    bool operator==(const ProcessRow &) const = default;
};

struct NetworkRow {
    std::optional<qint64> pid;
    std::optional<QString> process;
    QString local;
    QString remote;
    QString status;
    bool suspicious = false;
    std::optional<QString> reason;
    // Identity in lists: decimal pid (0 when absent) + "-" + remote.
    QString identity() const;
    bool operator==(const NetworkRow &) const = default;
};

struct EventRow {
    qint64 id = 0;
    double ts = 0;
    QString source;
    QString action;
    std::optional<QString> target;
    bool operator==(const EventRow &) const = default;
};

struct ScanStatus {
    qint64 id = 0;
    QString kind;
    double started = 0;
    std::optional<double> finished;
    qint64 scanned = 0;
    QString current;
    bool running = false;
    // Newer agents: how the scan ended ("finished", "stopped", "failed"; absent while it
    // runs), why it failed, files of other users left alone, what could not be read, and
    // the locations it covers (the first maxLocations of them).
    std::optional<QString> outcome;
    std::optional<QString> error;
    std::optional<qint64> skipped_foreign;
    std::optional<qint64> unreadable;
    std::optional<QStringList> locations;
    static constexpr qsizetype maxLocations = 64;
    bool operator==(const ScanStatus &) const = default;
};

struct AgentSelfStats {
    qint64 pid = 0;
    double cpu = 0;
    qint64 rss = 0;
    qint64 threads = 0;
    qint64 fds = 0;
    double uptime_seconds = 0;
    std::optional<qint64> clamd_rss; // the clamd the agent scans through (newer agents)
    bool operator==(const AgentSelfStats &) const = default;
};

struct SystemStats {
    double cpu_percent = 0;
    qint64 cpu_count = 0;
    qint64 ram_used = 0;
    qint64 ram_total = 0;
    double ram_percent = 0;
    qint64 disk_used = 0;
    qint64 disk_total = 0;
    double disk_percent = 0;
    double net_bytes_sent_per_sec = 0;
    double net_bytes_recv_per_sec = 0;
    bool operator==(const SystemStats &) const = default;
};

// Derived rows, built by the console.
struct EngineStat {
    QString name;
    qint64 hits_since_boot = 0;
    double last_hit_ts = 0;
    qint64 last24h = 0;
    qint64 total = 0;
    bool operator==(const EngineStat &) const = default;
};

struct ScanDirStat {
    QString path;
    qint64 scanned = 0;
    qint64 hits = 0;
    double started = 0;
    std::optional<double> finished;
    double duration = 0;
    bool operator==(const ScanDirStat &) const = default;
};

struct LiveMetrics {
    struct EngineHits {
        qint64 hits = 0;
        double last = 0;
        // Newer agents: "ok", "degraded" or "off", and a short English reason when not ok.
        std::optional<QString> state;
        std::optional<QString> reason;
        bool operator==(const EngineHits &) const = default;
    };
    struct ScanDirRaw {
        qint64 scanned = 0;
        qint64 hits = 0;
        double started = 0;
        std::optional<double> finished;
        double duration = 0;
        bool operator==(const ScanDirRaw &) const = default;
    };
    struct EngineHistory {
        qint64 last24h = 0;
        qint64 total = 0;
        double last_ts = 0;
        bool operator==(const EngineHistory &) const = default;
    };

    double uptime_seconds = 0;
    qint64 files_scanned_since_boot = 0;
    double files_per_second = 0;
    QMap<QString, EngineHits> engines;
    QMap<QString, ScanDirRaw> active_scan_dirs;
    AgentSelfStats agent;
    SystemStats system;
    QMap<QString, EngineHistory> engine_breakdown;
    QMap<QString, qint64> severity_breakdown;

    // Each map keeps at most this many entries, the first the agent sent.
    static constexpr qsizetype maxMapEntries = 256;
    // What the agent sent: distinct engine names over engines and engine_breakdown, and
    // active scan folders (more than the maps hold when it sent too many).
    qsizetype engineNamesSent = 0;
    qsizetype scanDirsSent = 0;

    // Union of engine names, ascending by code point, one row each.
    QList<EngineStat> engineStats() const;
    // One row per active scan directory, most files scanned first.
    QList<ScanDirStat> scanDirStats() const;
    bool operator==(const LiveMetrics &) const = default;
};

struct AuditCheck {
    QString id;
    QString title;
    bool pass = false;
    QString severity;
    QString detail;
    bool operator==(const AuditCheck &) const = default;
};

struct AuditResult {
    QList<AuditCheck> checks;
    qint64 passing = 0;
    qint64 total = 0;
    qint64 score = 0;
    bool operator==(const AuditResult &) const = default;
};

// One page of "export". The chunks of every page, in order, make the whole file
// (UTF-8 CSV or one JSON array); `next` is the cursor of the following page and is
// absent on the last one. rows counts the records in this page, total those of the
// whole export.
struct ExportPage {
    QString kind;
    QString format;
    QByteArray chunk; // UTF-8
    qint64 rows = 0;
    qint64 total = 0;
    std::optional<qint64> next;
    bool operator==(const ExportPage &) const = default;
};

// An engine that is not doing its work: degraded, or off for a reason other than its
// switch (an engine its user switched off is the switches' business, not a fault).
struct EngineProblem {
    QString name;
    QString state;  // "degraded", "off", or a word this console does not know
    QString reason; // "" when the agent gave none
    bool operator==(const EngineProblem &) const = default;
};
// The engines of `engines` whose state is neither absent nor "ok", in name order, except
// those off because their switch in `settings` is off (behavior: ai_engine_enabled,
// network: network_monitor) or whose reason is "switched off".
QList<EngineProblem> engineProblems(const LiveMetrics &metrics, const QHash<QString, bool> &settings);

// An entry of the allow-list ("allowlist.list"): what the agent no longer reports.
struct AllowEntry {
    qint64 id = 0;
    QString kind;  // "path", "sha256" or "process"
    QString value; // an absolute path, or 64 hex digits
    QString note;  // "" when none
    double ts = 0;
    bool operator==(const AllowEntry &) const = default;
};

// The reply of "allowlist.add": the entry (new, or the existing one for the same kind and
// value) and how many open threats it settled.
struct AllowAdded {
    AllowEntry entry;
    qint64 resolved = 0;
    bool operator==(const AllowAdded &) const = default;
};

// Where "settings.get" says events are forwarded while cloud telemetry is on.
struct ForwardTarget {
    QString host;     // "" for the local syslog socket
    qint64 port = 0;  // 0 for the local syslog socket
    QString protocol; // "tcp", "tls", "udp" or "local"
    bool operator==(const ForwardTarget &) const = default;
};

// The agent's engine switches, in case order; the wire name is spelled like the case.
enum class SettingKey {
    realtime_enabled,
    ai_engine_enabled,
    auto_quarantine,
    auto_kill_high_risk,
    cloud_telemetry,
    network_monitor,
    kill_switch_isolate,
};
inline constexpr SettingKey allSettingKeys[] = {
    SettingKey::realtime_enabled,  SettingKey::ai_engine_enabled, SettingKey::auto_quarantine,
    SettingKey::auto_kill_high_risk, SettingKey::cloud_telemetry, SettingKey::network_monitor,
    SettingKey::kill_switch_isolate,
};
QString wireName(SettingKey key);
std::optional<SettingKey> settingKeyFromWire(const QString &name);

} // namespace tsav
