#pragma once
// The arithmetic of the gauges, apart from painting: fractions, colour zones, the arc,
// the needle, the dial's tick rotation and the bar's grid.

#include <QColor>
#include <QList>
#include <QPointF>
#include <QString>

#include <utility>

namespace tsav::gauge {

// (threshold as a fraction of max, colour), thresholds ascending.
using Zone = std::pair<double, QColor>;
using Zones = QList<Zone>;

// value / max clamped to [0, 1]; 0 when max <= 0 (and for NaN).
double fraction(double value, double max);

// The zone colour of a fraction: the last zone whose threshold is <= t (the first zone's
// colour when none is), t = 1 - f when reversed; accentGreen for no zones.
QColor zoneColor(const Zones &zones, double f, bool reverseColors);

// The arc runs from 12.5 % to 87.5 % of a circle turned by 90 degrees: it starts at 135
// degrees (clockwise from +x on screen) and ends at 405. Its end for a fraction, as a
// fraction of the circumference.
inline constexpr double arcStartTurn = 0.125;
inline constexpr double arcSpanTurn = 0.75;
double arcEndTurn(double f);

// Needle angle in degrees clockwise from straight up: 270 f - 135.
double needleDegrees(double f);
// The needle's tip for a layer of width w and height h (length w/2 - 22).
QPointF needleTip(double degrees, double w, double h);

// The dial's tick rotation in radians at time t: 0.15 t while value > 0.01, else 0.
inline constexpr double tickAngularSpeed = 0.15;
// Whether a dial showing `value` turns its ticks.
bool ticksTurn(double value);
double tickRotation(double value, double t);

// Read-out text: centerText when given, else value in the printf-style format.
QString readout(double value, const QString &format, const QString *centerText = nullptr);
// printf-style formatting of one double with a format given at run time; only formats
// with a single floating-point conversion are honoured ("%.1f"), anything else falls
// back to "%.0f".
QString formatNumber(const QString &format, double value);

// LinearGauge read-out: the formatted value, plus a space and the unit when not empty.
QString barReadout(double value, const QString &format, const QString &unit);
// x positions of the bar's grid lines: every multiple of 20 below the width.
QList<double> gridLines(double width);

} // namespace tsav::gauge
