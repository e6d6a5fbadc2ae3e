#include "screens/eventslogic.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>

namespace tsav::events {

QStringList sourceOptions(const QList<EventRow> &events)
{
    QStringList sources;
    sources.reserve(events.size());
    for (const EventRow &e : events)
        sources.append(e.source);
    std::sort(sources.begin(), sources.end()); // UTF-16 code units: "Net" < "fs"
    sources.erase(std::unique(sources.begin(), sources.end()), sources.end());
    sources.prepend(allSources);
    return sources;
}

QList<EventRow> filtered(const QList<EventRow> &events, const QString &source)
{
    if (source == allSources)
        return events;
    QList<EventRow> out;
    for (const EventRow &e : events)
        if (e.source == source)
            out.append(e);
    return out;
}

QString headerLine(qint64 count) { return QStringLiteral("%1 evenimente recente").arg(count); }

QString timeText(double ts)
{
    // QDateTime covers far more than any real stamp; beyond about ±292 million years
    // the milliseconds would not fit, so such stamps show no time.
    if (!std::isfinite(ts) || std::fabs(ts) > 9.0e12)
        return QStringLiteral("—");
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(qint64(std::floor(ts * 1000.0)));
    return t.toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"));
}

QString targetText(const EventRow &e) { return e.target.value_or(QStringLiteral("—")); }

} // namespace tsav::events
