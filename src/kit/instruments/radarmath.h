#pragma once
// The radar's geometry as pure functions of its inputs and the time t (seconds).
// Angles are radians in screen coordinates (y down, positive turns clockwise).

#include <QList>
#include <QPainterPath>
#include <QPointF>
#include <QRectF>
#include <QString>
#include <QStringList>

namespace tsav::radar {

// Sweep phase θ = (t π/2) mod 2π; the sweep line points at φ = -θ (counter-clockwise,
// one turn every 4 seconds).
double sweepPhase(double t);
double sweepAngle(double t);
// Bearing in whole degrees, 0..359: ((2π - θ) mod 2π) in degrees, truncated.
int bearing(double theta);

// Blips shown: min(threatCount, 8), 0 for negative counts.
int blipCount(qint64 threatCount);
// Frame code: (trunc(t × 100)) mod 65535 in upper-case hexadecimal.
QString frameCode(double t);

// Blip i: the label (labels[i] when present, else "TGT-" i+1), its polar placement
// around the centre for a scope of side s, and its pulse at time t.
QString blipLabel(int i, const QStringList &labels);
double blipAngle(int i);
double blipDistance(int i, double s);
QPointF blipOffset(int i, double s);
double blipPulse(int i, double t);

// Ripple k (0..2): radius and opacity for a scope of outer ring radius r6.
struct Ripple {
    double radius;
    double opacity;
};
Ripple ripple(int k, double t, double r6);

// Four corner brackets inside r, each arm 0.32 × width long.
QPainterPath lockOnReticle(const QRectF &r);

// Opacity of the trail slice at fraction f (0 next to the sweep line, 1 at its end):
// 0.4 (1 - f)^2.4. The trail spans trailSpan radians behind the line.
inline constexpr double trailSpan = 2.6 * 33.0 / 32.0;
double trailOpacity(double f);

// Spark j (0..17): its fixed fraction e in [0, 1), and its placement relative to the
// sweep line (angle offset from φ, distance as a fraction of the trail radius), dot
// radius and opacity.
struct Spark {
    double angleOffset;
    double distanceFraction;
    double radius;
    double opacity;
};
Spark spark(int j);

// Star j (0..69) of a scope of side s at time t: offset from the centre, dot radius and
// white opacity.
struct Star {
    QPointF offset;
    double radius;
    double opacity;
};
Star star(int j, double s, double t);

// Pulse of the centre marker: 0.7 + 0.3 sin(2t).
double centrePulse(double t);

// Corner read-outs, each as its lines (empty lines dropped).
QStringList topLeftReadout();
QStringList topRightReadout(qint64 threatCount);
QStringList bottomLeftReadout(int bearingDegrees);
QStringList bottomRightReadout(bool active, double t);

} // namespace tsav::radar
