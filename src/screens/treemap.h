#pragma once
// The processes screen's arithmetic: sorting by the chosen metric, the row-by-row
// treemap layout of the top processes, score colours and cell texts.

#include "agentlink/records.h"

#include <QColor>
#include <QList>
#include <QRectF>
#include <QString>

#include <optional>

namespace tsav::processes {

// The sort segments, in segment order.
enum class Metric { cpu, ram, score };
inline constexpr Metric allMetrics[] = {Metric::cpu, Metric::ram, Metric::score};
QString rawValue(Metric m);
QString label(Metric m);
std::optional<Metric> metricFromRaw(const QString &raw);

inline constexpr int treemapCount = 20;
inline constexpr int tableCount = 80;

// Largest first by the metric; equal values keep the order they came in.
QList<ProcessRow> sorted(const QList<ProcessRow> &rows, Metric m);
// "%lld procese · sortate după %@" with the metric's label in lower case.
QString headerLine(qint64 count, Metric m);

// A tile's weight: cpu at least 0.01, RAM in MiB at least 1, score × 100 at least 0.01.
// Values that are not finite count as the floor, and a weight never exceeds 1e15 so
// that sums of weights stay finite.
double weight(const ProcessRow &p, Metric m);

struct Tile {
    ProcessRow process;
    QRectF rect;
};

// Rows of 5 (or 4 when fewer than 9 items remain), each row as high as its share of
// the whole height but at least 36 points (never more than what remains).
QList<Tile> layoutTreemap(const QList<ProcessRow> &items, Metric m, double width, double height);

// Tile fill and table text colour of an AI score.
QColor tileFill(double score);
QColor tableScoreColor(double score);

// Tile labels only on tiles taller than 30 points.
bool tileShowsLabels(const QRectF &rect);
double tileNameSize(const QRectF &rect);
double tileValueSize(const QRectF &rect);
QString tileValueText(const ProcessRow &p, Metric m);

// Table cells.
QString cpuText(double cpu);
QString ramText(qint64 rss);
QString scoreText(double score);

} // namespace tsav::processes
