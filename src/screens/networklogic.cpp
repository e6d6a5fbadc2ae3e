#include "screens/networklogic.h"

#include "kit/palette.h"
#include "screens/byteformat.h"

#include <QHash>

namespace tsav::network {

Counts counts(const QList<NetworkRow> &rows)
{
    Counts c;
    c.connections = rows.size();
    for (const NetworkRow &r : rows)
        c.suspect += r.suspicious ? 1 : 0;
    return c;
}

QString headerLine(const Counts &c)
{
    return QStringLiteral("%1 conexiuni active · %2 suspect").arg(c.connections).arg(c.suspect);
}

QString downText(const std::optional<LiveMetrics> &metrics)
{
    return QStringLiteral("DOWN  ") + bytes::rate(metrics ? metrics->system.net_bytes_recv_per_sec : 0.0);
}

QString upText(const std::optional<LiveMetrics> &metrics)
{
    return QStringLiteral("UP  ") + bytes::rate(metrics ? metrics->system.net_bytes_sent_per_sec : 0.0);
}

QString processText(const NetworkRow &r) { return r.process.value_or(QStringLiteral("—")); }
QString pidText(const NetworkRow &r) { return QString::number(r.pid.value_or(0)); }

QString reasonText(const NetworkRow &r)
{
    if (!r.suspicious)
        return QStringLiteral("OK");
    return r.reason.value_or(QStringLiteral("suspect"));
}

QColor remoteColor(const NetworkRow &r)
{
    return r.suspicious ? palette::accentRed : palette::textSecondary;
}

QColor reasonColor(const NetworkRow &r)
{
    return r.suspicious ? palette::accentRed : palette::accentGreen;
}

QStringList rowKeys(const QList<NetworkRow> &rows)
{
    QStringList keys;
    keys.reserve(rows.size());
    QHash<QString, int> seen;
    seen.reserve(rows.size());
    for (const NetworkRow &r : rows) {
        // Same text as NetworkRow::identity(), built here so the keys need no decoder.
        QString key = QString::number(r.pid.value_or(0)) + QLatin1Char('-') + r.remote;
        int &n = seen[key];
        if (n > 0)
            key += QLatin1Char('#') + QString::number(n);
        ++n;
        keys.append(key);
    }
    return keys;
}

} // namespace tsav::network
