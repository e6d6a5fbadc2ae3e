#include "screens/treemap.h"

#include "kit/palette.h"
#include "screens/byteformat.h"

#include <algorithm>
#include <cmath>

namespace tsav::processes {

QString rawValue(Metric m)
{
    switch (m) {
    case Metric::cpu: return QStringLiteral("cpu");
    case Metric::ram: return QStringLiteral("ram");
    case Metric::score: return QStringLiteral("score");
    }
    return {};
}

QString label(Metric m)
{
    switch (m) {
    case Metric::cpu: return QStringLiteral("CPU");
    case Metric::ram: return QStringLiteral("RAM");
    case Metric::score: return QStringLiteral("AI score");
    }
    return {};
}

std::optional<Metric> metricFromRaw(const QString &raw)
{
    for (Metric m : allMetrics)
        if (rawValue(m) == raw)
            return m;
    return std::nullopt;
}

namespace {

// NaN sorts last whatever the metric, so the comparison stays a strict weak order.
double sortKey(const ProcessRow &p, Metric m)
{
    double v = m == Metric::cpu ? p.cpu : m == Metric::ram ? double(p.rss) : p.score;
    return std::isnan(v) ? -std::numeric_limits<double>::infinity() : v;
}

} // namespace

QList<ProcessRow> sorted(const QList<ProcessRow> &rows, Metric m)
{
    QList<ProcessRow> out = rows;
    if (m == Metric::ram) {
        std::stable_sort(out.begin(), out.end(),
                         [](const ProcessRow &a, const ProcessRow &b) { return a.rss > b.rss; });
    } else {
        std::stable_sort(out.begin(), out.end(), [m](const ProcessRow &a, const ProcessRow &b) {
            return sortKey(a, m) > sortKey(b, m);
        });
    }
    return out;
}

QString headerLine(qint64 count, Metric m)
{
    return QStringLiteral("%1 procese · sortate după %2").arg(count).arg(label(m).toLower());
}

double weight(const ProcessRow &p, Metric m)
{
    static constexpr double cap = 1e15;
    auto floorAt = [](double v, double lowest) {
        if (!std::isfinite(v))
            return v > 0 ? cap : lowest;
        return std::clamp(v, lowest, cap);
    };
    switch (m) {
    case Metric::cpu: return floorAt(p.cpu, 0.01);
    case Metric::ram: return floorAt(double(p.rss) / 1048576.0, 1.0);
    case Metric::score: return floorAt(p.score * 100.0, 0.01);
    }
    return 0.01;
}

QList<Tile> layoutTreemap(const QList<ProcessRow> &items, Metric m, double W, double H)
{
    QList<Tile> tiles;
    if (items.isEmpty() || !(W > 0) || !(H > 0) || !std::isfinite(W) || !std::isfinite(H))
        return tiles;
    QList<double> weights;
    weights.reserve(items.size());
    double T = 0;
    for (const ProcessRow &p : items) {
        weights.append(weight(p, m));
        T += weights.last();
    }
    if (!(T > 0))
        return tiles;

    double y = 0, R = H;
    qsizetype next = 0;
    while (next < items.size() && R > 1) {
        const qsizetype n = items.size() - next;
        const qsizetype k = n >= 9 ? 5 : 4;
        const qsizetype rowLen = (n >= 5 && n > k) ? k : n;

        double S = 0;
        for (qsizetype i = next; i < next + rowLen; ++i)
            S += weights[i];
        const double ideal = H * S / T;
        const double h = ideal >= 36 ? std::min(ideal, R) : std::min(R, 36.0);

        double x = 0;
        for (qsizetype i = next; i < next + rowLen; ++i) {
            const double slot = W * (weights[i] / S);
            tiles.append({items[i], QRectF(x, y, std::max(slot - 2, 2.0), std::max(h - 2, 2.0))});
            x += slot;
        }
        y += h;
        R -= h;
        next += rowLen;
    }
    return tiles;
}

namespace {
QColor faded(QColor c, double opacity)
{
    c.setAlphaF(float(c.alphaF() * opacity));
    return c;
}
} // namespace

QColor tileFill(double score)
{
    if (score >= 0.85)
        return palette::accentRed;
    if (score >= 0.65)
        return palette::accentAmber;
    if (score >= 0.35)
        return faded(palette::accentBlue, 0.85);
    return faded(palette::accentGreen, 0.85);
}

QColor tableScoreColor(double score)
{
    if (score >= 0.85)
        return palette::accentRed;
    if (score >= 0.65)
        return palette::accentAmber;
    return palette::accentGreen;
}

bool tileShowsLabels(const QRectF &rect) { return rect.height() > 30; }
double tileNameSize(const QRectF &rect) { return std::min(rect.height() * 0.18, 11.0); }
double tileValueSize(const QRectF &rect) { return std::min(rect.height() * 0.13, 9.0); }

QString tileValueText(const ProcessRow &p, Metric m)
{
    switch (m) {
    case Metric::cpu: return QString::asprintf("%.1f%% CPU", p.cpu);
    case Metric::ram: return bytes::format(p.rss, bytes::anyUnit);
    case Metric::score: return QString::asprintf("%.2f", p.score);
    }
    return {};
}

QString cpuText(double cpu) { return QString::asprintf("%.1f", cpu); }
QString ramText(qint64 rss) { return bytes::format(rss, bytes::mbToGb); }
QString scoreText(double score) { return QString::asprintf("%.2f", score); }

} // namespace tsav::processes
