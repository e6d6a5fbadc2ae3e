#include "agentlink/records.h"

#include <QSet>

#include <algorithm>

namespace tsav {

QString NetworkRow::identity() const
{
    return QString::number(pid.value_or(0)) + u'-' + remote;
}

QList<EngineStat> LiveMetrics::engineStats() const
{
    QStringList names = engines.keys() + engine_breakdown.keys();
    // QString's operator< compares UTF-16 code units; for names outside the BMP that
    // differs from code-point order, so compare code points explicitly.
    std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
        const auto ua = a.toUcs4(), ub = b.toUcs4();
        return std::lexicographical_compare(ua.begin(), ua.end(), ub.begin(), ub.end());
    });
    names.erase(std::unique(names.begin(), names.end()), names.end());

    QList<EngineStat> rows;
    rows.reserve(names.size());
    for (const QString &name : std::as_const(names)) {
        EngineStat row;
        row.name = name;
        const auto hits = engines.constFind(name);
        const auto history = engine_breakdown.constFind(name);
        if (hits != engines.cend()) {
            row.hits_since_boot = hits->hits;
            row.last_hit_ts = hits->last;
        } else if (history != engine_breakdown.cend()) {
            row.last_hit_ts = history->last_ts;
        }
        if (history != engine_breakdown.cend()) {
            row.last24h = history->last24h;
            row.total = history->total;
        }
        rows.append(row);
    }
    return rows;
}

QList<ScanDirStat> LiveMetrics::scanDirStats() const
{
    QList<ScanDirStat> rows;
    rows.reserve(active_scan_dirs.size());
    for (auto it = active_scan_dirs.cbegin(); it != active_scan_dirs.cend(); ++it)
        rows.append(ScanDirStat{it.key(), it->scanned, it->hits, it->started, it->finished, it->duration});
    std::stable_sort(rows.begin(), rows.end(),
                     [](const ScanDirStat &a, const ScanDirStat &b) { return a.scanned > b.scanned; });
    return rows;
}

QList<EngineProblem> engineProblems(const LiveMetrics &metrics, const QHash<QString, bool> &settings)
{
    // The engines a switch turns off: their "off" is the user's choice.
    static const QHash<QString, QString> switchOf{{QStringLiteral("behavior"), QStringLiteral("ai_engine_enabled")},
                                                  {QStringLiteral("network"), QStringLiteral("network_monitor")}};
    QList<EngineProblem> problems;
    for (auto it = metrics.engines.cbegin(); it != metrics.engines.cend(); ++it) {
        const QString state = it->state.value_or(QString());
        if (state.isEmpty() || state == u"ok")
            continue;
        const QString reason = it->reason.value_or(QString());
        if (state == u"off") {
            const auto key = switchOf.constFind(it.key());
            if (reason == u"switched off" || (key != switchOf.cend() && !settings.value(*key, false)))
                continue;
        }
        problems.append(EngineProblem{it.key(), state, reason});
    }
    return problems;
}

QString wireName(SettingKey key)
{
    switch (key) {
    case SettingKey::realtime_enabled: return QStringLiteral("realtime_enabled");
    case SettingKey::ai_engine_enabled: return QStringLiteral("ai_engine_enabled");
    case SettingKey::auto_quarantine: return QStringLiteral("auto_quarantine");
    case SettingKey::auto_kill_high_risk: return QStringLiteral("auto_kill_high_risk");
    case SettingKey::cloud_telemetry: return QStringLiteral("cloud_telemetry");
    case SettingKey::network_monitor: return QStringLiteral("network_monitor");
    case SettingKey::kill_switch_isolate: return QStringLiteral("kill_switch_isolate");
    }
    return QString();
}

std::optional<SettingKey> settingKeyFromWire(const QString &name)
{
    for (SettingKey key : allSettingKeys)
        if (wireName(key) == name)
            return key;
    return std::nullopt;
}

} // namespace tsav
