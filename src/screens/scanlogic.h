#pragma once
// What the scan screen derives from the client's scan status, metrics and threats,
// and the particle field's motion as a pure function of time.

#include "agentlink/records.h"

#include <QColor>
#include <QList>
#include <QRectF>
#include <QString>

#include <optional>

namespace tsav::scan {

bool isRunning(const std::optional<ScanStatus> &scan);
// Finished (not running) with at least one file scanned, or failed.
bool isReportable(const std::optional<ScanStatus> &scan);

// What a finished scan's results must also say: that it failed (and why) or was stopped,
// and the files it left alone or could not read; "" when it read everything.
struct OutcomeNote {
    QString text;
    bool failed = false;
    bool stopped = false;
};
OutcomeNote outcomeNote(const ScanStatus &scan);

// Threats with ts >= scan.started, in list order.
QList<Threat> threatsOfScan(const QList<Threat> &threats, const ScanStatus &scan);

// One row per active scan directory, most files scanned first (empty without metrics).
QList<ScanDirStat> directoryRows(const std::optional<LiveMetrics> &metrics);

// Whole seconds since the scan began (truncated toward zero), or nothing when the
// difference does not fit a 64-bit integer (a corrupt `started`).
std::optional<qint64> elapsedSeconds(const ScanStatus &scan, double now);
// "%lld FIȘIERE  ·  %llds"; the seconds read "—" when they cannot be shown.
QString liveCounterText(const ScanStatus &scan, double now);
// "SCAN %@ ÎN CURS" with the kind in upper case.
QString liveTitle(const ScanStatus &scan);
// `current`, or "—" when empty.
QString currentFileText(const ScanStatus &scan);

struct Results {
    double duration = 0; // finished (or now) minus started
    double rate = 0;     // scanned / duration, 0 when the duration is not above 0
};
Results results(const ScanStatus &scan, double now);
// "%.1fs · %d fișiere · %.0f f/s · %d amenințări"
QString resultsLine(const ScanStatus &scan, qint64 threatCount, double now);

// The threats gauge runs from 0 to the larger of the count and 10.
double threatsGaugeMax(qint64 threatCount);

// Directory table cells.
QString dirDurationText(const ScanDirStat &d); // "%.1fs"
QString dirStateText(const ScanDirStat &d);    // "DONE" or "RULEAZĂ"

// The launch cards, fixed.
struct LaunchCardSpec {
    QString title, subtitle, icon, estimate, kind;
    QColor tint;
    QStringList paths;
};
LaunchCardSpec quickCard();
LaunchCardSpec fullCard();

// One particle of the live header's field at time T (seconds since 2001-01-01 UTC) in
// a canvas of W × H.
struct Particle {
    QRectF rect;
    double opacity = 0;
};
Particle particle(qint64 index, double T, double W, double H);
// The field's time base: Unix seconds moved to the 2001-01-01 reference date.
inline constexpr double referenceDateOffset = 978307200.0;

} // namespace tsav::scan
