#pragma once
// What the threats screen derives from the client's threat list: the severity filter,
// the counts, the 24-hour timeline and the texts of a detail row.

#include "agentlink/records.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <array>
#include <optional>

namespace tsav::threats {

// The filter's segments, in segment order.
enum class Severity { all, critical, high, medium, low };
inline constexpr Severity allSeverities[] = {Severity::all, Severity::critical, Severity::high,
                                             Severity::medium, Severity::low};

QString rawValue(Severity s);
QString label(Severity s);

// The four severities that have colours, sectors and legend entries, in that order.
inline const QStringList knownSeverities{QStringLiteral("critical"), QStringLiteral("high"),
                                         QStringLiteral("medium"), QStringLiteral("low")};

// `all`: the list unchanged; otherwise the threats whose severity, lower-cased, is the
// filter's raw value. List order is kept.
QList<Threat> filtered(const QList<Threat> &threats, Severity filter);

// Starts with the four known keys at 0; every threat adds 1 under its lower-cased
// severity, new keys included.
QMap<QString, qint64> severityCounts(const QList<Threat> &threats);
qint64 total(const QMap<QString, qint64> &counts);

// The donut's sectors: each known severity with a count, in order, and its share of the
// full circle in degrees. Only plotted sectors divide the circle (a severity outside the
// four counts in the total but leaves no gap).
struct Sector {
    QString severity;
    qint64 count = 0;
    double degrees = 0;
};
QList<Sector> donutSectors(const QMap<QString, qint64> &counts);
// Threats whose status is exactly "detected".
qint64 activeCount(const QList<Threat> &threats);
// "%lld total · %lld active"
QString headerLine(const QList<Threat> &threats);

struct HourBucket {
    QUuid id;
    QString label; // local hour "HH"
    qint64 count = 0;
};
using HourBuckets = std::array<HourBucket, 24>;

// Bucket index (0 oldest .. 23 newest) of a threat at `ts` seen at `now`, or -1 when it
// is older than 24 hours (or not a number). A stamp in the future lands in the newest bar.
int bucketIndex(double ts, double now);
// 24 sliding one-hour windows ending at `now`, oldest first.
HourBuckets hourBuckets(const QList<Threat> &threats, double now);
bool anyCount(const HourBuckets &buckets);

// Detail-row texts.
QString kindIcon(const QString &kind);
QString title(const Threat &t);
QString processLine(const Threat &t); // empty when no process name
QString scoreLine(const Threat &t);   // empty when no score

} // namespace tsav::threats
