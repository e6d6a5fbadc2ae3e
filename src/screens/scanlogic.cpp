#include "screens/scanlogic.h"

#include "kit/palette.h"
#include "kit/plaintext.h"

#include <algorithm>
#include <cmath>

namespace tsav::scan {

bool isRunning(const std::optional<ScanStatus> &scan) { return scan && scan->running; }

bool isReportable(const std::optional<ScanStatus> &scan)
{
    return scan && !scan->running && (scan->scanned >= 1 || scan->outcome == u"failed");
}

OutcomeNote outcomeNote(const ScanStatus &scan)
{
    OutcomeNote note;
    QStringList parts;
    if (scan.outcome == u"failed") {
        note.failed = true;
        parts << QStringLiteral("Scanul a eșuat")
                     + (scan.error && !scan.error->isEmpty() ? QStringLiteral(": ") + plainText(*scan.error, 200)
                                                             : QString());
    } else if (scan.outcome == u"stopped") {
        note.stopped = true;
        parts << QStringLiteral("Scan oprit înainte de final");
    }
    if (const qint64 n = scan.skipped_foreign.value_or(0); n > 0)
        parts << QStringLiteral("%1 fișiere ale altor utilizatori lăsate deoparte").arg(n);
    if (const qint64 n = scan.unreadable.value_or(0); n > 0)
        parts << QStringLiteral("%1 nu au putut fi citite").arg(n);
    note.text = parts.join(QStringLiteral(" · "));
    return note;
}

QList<Threat> threatsOfScan(const QList<Threat> &threats, const ScanStatus &scan)
{
    QList<Threat> out;
    for (const Threat &t : threats)
        if (t.ts >= scan.started)
            out.append(t);
    return out;
}

QList<ScanDirStat> directoryRows(const std::optional<LiveMetrics> &metrics)
{
    QList<ScanDirStat> rows;
    if (!metrics)
        return rows;
    rows.reserve(metrics->active_scan_dirs.size());
    for (auto it = metrics->active_scan_dirs.cbegin(); it != metrics->active_scan_dirs.cend(); ++it)
        rows.append({it.key(), it->scanned, it->hits, it->started, it->finished, it->duration});
    std::stable_sort(rows.begin(), rows.end(), [](const ScanDirStat &a, const ScanDirStat &b) {
        return a.scanned > b.scanned;
    });
    return rows;
}

std::optional<qint64> elapsedSeconds(const ScanStatus &scan, double now)
{
    const double d = std::trunc(now - scan.started);
    constexpr double limit = 9223372036854775808.0; // 2^63
    if (!std::isfinite(d) || d >= limit || d < -limit)
        return std::nullopt;
    return qint64(d);
}

QString liveCounterText(const ScanStatus &scan, double now)
{
    const auto secs = elapsedSeconds(scan, now);
    return QString::number(scan.scanned) + QStringLiteral(" FIȘIERE  ·  ") +
           (secs ? QString::number(*secs) + QLatin1Char('s') : QStringLiteral("—"));
}

QString liveTitle(const ScanStatus &scan)
{
    return QStringLiteral("SCAN ") + scan.kind.toUpper() + QStringLiteral(" ÎN CURS");
}

QString currentFileText(const ScanStatus &scan)
{
    return scan.current.isEmpty() ? QStringLiteral("—") : scan.current;
}

Results results(const ScanStatus &scan, double now)
{
    Results r;
    r.duration = scan.finished.value_or(now) - scan.started;
    r.rate = r.duration > 0 ? double(scan.scanned) / r.duration : 0.0;
    return r;
}

QString resultsLine(const ScanStatus &scan, qint64 threatCount, double now)
{
    const Results r = results(scan, now);
    return QString::asprintf("%.1fs · %lld fișiere · %.0f f/s · %lld amenințări", r.duration,
                             static_cast<long long>(scan.scanned), r.rate,
                             static_cast<long long>(threatCount));
}

double threatsGaugeMax(qint64 threatCount) { return double(std::max<qint64>(threatCount, 10)); }

QString dirDurationText(const ScanDirStat &d) { return QString::asprintf("%.1fs", d.duration); }

QString dirStateText(const ScanDirStat &d)
{
    return d.finished ? QStringLiteral("DONE") : QStringLiteral("RULEAZĂ");
}

LaunchCardSpec quickCard()
{
    return {QStringLiteral("QUICK SCAN"),
            QStringLiteral("Locațiile uzuale + procese active"),
            QStringLiteral("bolt.fill"),
            QStringLiteral("30–90 secunde"),
            QStringLiteral("quick"),
            palette::accentRed,
            // Where the agent's quick scan looks (and real-time protection watches).
            {QStringLiteral("Downloads"), QStringLiteral("Desktop"), QStringLiteral("autostart"),
             QStringLiteral("~/.local/bin"), QStringLiteral("/tmp"), QStringLiteral("/var/tmp"),
             QStringLiteral("/dev/shm")}};
}

LaunchCardSpec fullCard()
{
    return {QStringLiteral("FULL SCAN"),
            QStringLiteral("Întregul home + /usr/local, /opt, /srv"),
            QStringLiteral("magnifyingglass"),
            QStringLiteral("5–20 minute"),
            QStringLiteral("full"),
            palette::accentBlue,
            {QStringLiteral("~"), QStringLiteral("/usr/local"), QStringLiteral("/opt"), QStringLiteral("/srv")}};
}

Particle particle(qint64 index, double T, double W, double H)
{
    const double X = double(index) * 12.9898;
    const double A = std::sin(X) * 0.5 + 0.5;
    const double S = std::sin(2.3 * X) * 18 + 25;
    const double Y = H * (std::sin(3.1 * X) * 0.5 + 0.5);
    const double P = std::fmod(W * A + T * S, W + 60) - 30;
    const double opacity = (std::sin(1.5 * T + X) * 0.5 + 0.5) * 0.55 + 0.15;
    const double R = (std::sin(T + 0.5 * X) * 0.5 + 0.5) * 2 + 1;
    return {QRectF(P - R, Y - R, 2 * R, 2 * R), opacity};
}

} // namespace tsav::scan
