#include "screens/threatslogic.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>

namespace tsav::threats {

QString rawValue(Severity s)
{
    switch (s) {
    case Severity::all: return QStringLiteral("all");
    case Severity::critical: return QStringLiteral("critical");
    case Severity::high: return QStringLiteral("high");
    case Severity::medium: return QStringLiteral("medium");
    case Severity::low: return QStringLiteral("low");
    }
    return {};
}

QString label(Severity s)
{
    switch (s) {
    case Severity::all: return QStringLiteral("Toate");
    case Severity::critical: return QStringLiteral("Critic");
    case Severity::high: return QStringLiteral("Înalt");
    case Severity::medium: return QStringLiteral("Mediu");
    case Severity::low: return QStringLiteral("Scăzut");
    }
    return {};
}

QList<Threat> filtered(const QList<Threat> &threats, Severity filter)
{
    if (filter == Severity::all)
        return threats;
    const QString want = rawValue(filter);
    QList<Threat> out;
    for (const Threat &t : threats)
        if (t.severity.toLower() == want)
            out.append(t);
    return out;
}

QMap<QString, qint64> severityCounts(const QList<Threat> &threats)
{
    QMap<QString, qint64> counts;
    for (const QString &k : knownSeverities)
        counts.insert(k, 0);
    for (const Threat &t : threats)
        counts[t.severity.toLower()] += 1;
    return counts;
}

QList<Sector> donutSectors(const QMap<QString, qint64> &counts)
{
    QList<Sector> sectors;
    double plotted = 0;
    for (const QString &k : knownSeverities) {
        const qint64 n = counts.value(k);
        if (n > 0) {
            sectors.append({k, n, 0});
            plotted += double(n);
        }
    }
    for (Sector &sector : sectors)
        sector.degrees = 360.0 * double(sector.count) / plotted;
    return sectors;
}

qint64 total(const QMap<QString, qint64> &counts)
{
    qint64 sum = 0;
    for (qint64 v : counts)
        sum += v;
    return sum;
}

qint64 activeCount(const QList<Threat> &threats)
{
    return std::count_if(threats.begin(), threats.end(), [](const Threat &t) {
        return t.status == QLatin1String("detected");
    });
}

QString headerLine(const QList<Threat> &threats)
{
    return QStringLiteral("%1 total · %2 active")
        .arg(qint64(threats.size()))
        .arg(activeCount(threats));
}

int bucketIndex(double ts, double now)
{
    if (!(ts >= now - 86400.0)) // also drops NaN
        return -1;
    const double hours = std::trunc((now - ts) / 3600.0);
    // Clock skew: a stamp ahead of `now` counts as this hour.
    const double h = std::clamp(std::isnan(hours) ? 0.0 : hours, 0.0, 23.0);
    return 23 - int(h);
}

HourBuckets hourBuckets(const QList<Threat> &threats, double now)
{
    HourBuckets buckets;
    for (const Threat &t : threats) {
        const int i = bucketIndex(t.ts, now);
        if (i >= 0)
            buckets[size_t(i)].count += 1;
    }
    for (int i = 0; i < 24; ++i) {
        const double at = now - (23 - i) * 3600.0;
        const QDateTime local = QDateTime::fromMSecsSinceEpoch(qint64(at * 1000.0));
        buckets[size_t(i)].label = local.toString(QStringLiteral("HH"));
        buckets[size_t(i)].id = QUuid::createUuid();
    }
    return buckets;
}

bool anyCount(const HourBuckets &buckets)
{
    return std::any_of(buckets.begin(), buckets.end(),
                       [](const HourBucket &b) { return b.count != 0; });
}

QString kindIcon(const QString &kind)
{
    if (kind == QLatin1String("signature"))
        return QStringLiteral("doc.badge.gearshape");
    if (kind == QLatin1String("yara"))
        return QStringLiteral("doc.text.magnifyingglass");
    if (kind == QLatin1String("behavior"))
        return QStringLiteral("brain.head.profile");
    if (kind == QLatin1String("network"))
        return QStringLiteral("antenna.radiowaves.left.and.right");
    return QStringLiteral("exclamationmark.triangle");
}

QString title(const Threat &t)
{
    if (t.signature)
        return *t.signature;
    if (t.description)
        return *t.description;
    return QStringLiteral("Threat #") + QString::number(t.id);
}

QString processLine(const Threat &t)
{
    if (!t.process_name)
        return {};
    // Concatenated, not arg()-substituted: agent text may itself contain "%2".
    return QStringLiteral("Process: ") + *t.process_name + QStringLiteral("  ·  PID ") +
           QString::number(t.pid.value_or(0));
}

QString scoreLine(const Threat &t)
{
    if (!t.score)
        return {};
    return QString::asprintf("AI score: %.2f", *t.score);
}

} // namespace tsav::threats
