#include "kit/instruments/radarmath.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace tsav::radar {

namespace {
constexpr double pi = std::numbers::pi;

double positiveMod(double x, double m)
{
    const double r = std::fmod(x, m);
    return r < 0 ? r + m : r;
}

// A phase that grows with the wall clock (seconds since 1970 times a rate: 10^8 and more)
// with its whole turns taken off, for sin and cos. The library's own reduction of an
// argument that large takes a slow path several times the cost of the sine itself. Here 2π
// comes in three parts, the first two short enough that their products by the turn count
// are exact, so the angle left is the same to within rounding. Smaller phases, and any
// beyond 2^31 turns, are left to the library.
double turnsOff(double a)
{
    if (!(std::abs(a) >= 1e8 && std::abs(a) < 1.2e10))
        return a;
    constexpr double c1 = 0x1.921fb00000000p+2, c2 = 0x1.5110b00000000p-20, c3 = 0x1.18469898cc517p-42;
    const double k = std::nearbyint(a * (1 / (2 * pi)));
    return ((a - k * c1) - k * c2) - k * c3;
}

QStringList splitLines(const QString &text)
{
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}
} // namespace

double sweepPhase(double t) { return positiveMod(t * pi / 2, 2 * pi); }
double sweepAngle(double t) { return -sweepPhase(t); }

int bearing(double theta)
{
    const int b = int(positiveMod(2 * pi - theta, 2 * pi) * 180 / pi);
    return std::clamp(b, 0, 359);
}

int blipCount(qint64 threatCount) { return int(std::clamp<qint64>(threatCount, 0, 8)); }

QString frameCode(double t)
{
    if (!std::isfinite(t))
        return QStringLiteral("0");
    const auto ticks = static_cast<long long>(std::trunc(t * 100));
    const long long code = ((ticks % 65535) + 65535) % 65535;
    return QString::number(code, 16).toUpper();
}

QString blipLabel(int i, const QStringList &labels)
{
    if (i >= 0 && i < labels.size())
        return labels.at(i);
    return QStringLiteral("TGT-%1").arg(i + 1);
}

double blipAngle(int i) { return 0.97 * i + 0.6 * (i % 3); }
double blipDistance(int i, double s) { return (0.3 + 0.22 * (i % 3)) * (s / 2 - 22); }

QPointF blipOffset(int i, double s)
{
    const double a = blipAngle(i), d = blipDistance(i, s);
    return {d * std::cos(a), d * std::sin(a)};
}

double blipPulse(int i, double t) { return 0.55 + 0.45 * std::sin(turnsOff(4 * t + i)); }

Ripple ripple(int k, double t, double r6)
{
    const double p = positiveMod(t + k, 3);
    return {r6 * p / 3, 0.35 * (1 - p / 3)};
}

QPainterPath lockOnReticle(const QRectF &r)
{
    const double a = 0.32 * r.width();
    QPainterPath path;
    path.moveTo(r.left(), r.top() + a);
    path.lineTo(r.left(), r.top());
    path.lineTo(r.left() + a, r.top());
    path.moveTo(r.right() - a, r.top());
    path.lineTo(r.right(), r.top());
    path.lineTo(r.right(), r.top() + a);
    path.moveTo(r.right(), r.bottom() - a);
    path.lineTo(r.right(), r.bottom());
    path.lineTo(r.right() - a, r.bottom());
    path.moveTo(r.left() + a, r.bottom());
    path.lineTo(r.left(), r.bottom());
    path.lineTo(r.left(), r.bottom() - a);
    return path;
}

double trailOpacity(double f)
{
    return 0.4 * std::pow(std::clamp(1 - f, 0.0, 1.0), 2.4);
}

Spark spark(int j)
{
    // Fixed fractions spread over [0, 1) by the golden ratio.
    const double e = positiveMod(0.137 + j * 0.6180339887498949, 1.0);
    return {-0.25 * e + 0.08 * std::sin(9.1 * j), 0.3 + 0.7 * e, 1 + 1.8 * (1 - e), 0.55 * (1 - e)};
}

namespace {
// What of a star does not change with time, worked out once for the 70 stars a scope has.
struct StarShape {
    double x;        // the star's phase
    double reach;    // 0..1: from the centre (0) out to 0.45 of the side (1)
    double rate;     // of drift, rad/s
    double radius;
};

StarShape starShape(int j)
{
    const double x = 7.91 * j;
    return {x, 0.5 + 0.5 * std::cos(1.3 * x),
            // Each star drifts at its own slow rate, between 0.04 and 0.10 rad/s.
            0.04 + 0.06 * (0.5 + 0.5 * std::sin(x)), 0.6 + 1.4 * (0.5 + 0.5 * std::sin(3.7 * x))};
}
} // namespace

Star star(int j, double s, double t)
{
    static const std::array<StarShape, 70> shapes = [] {
        std::array<StarShape, 70> a{};
        for (int i = 0; i < int(a.size()); ++i)
            a[size_t(i)] = starShape(i);
        return a;
    }();
    const StarShape k = j >= 0 && j < int(shapes.size()) ? shapes[size_t(j)] : starShape(j);
    const double dist = 0.45 * s * k.reach;
    const double angle = turnsOff(2.1 * k.x + k.rate * t);
    return {QPointF(dist * std::cos(angle), dist * std::sin(angle)), k.radius,
            0.1 + 0.4 * (0.5 + 0.5 * std::sin(turnsOff(1.5 * t + k.x)))};
}

double centrePulse(double t) { return 0.7 + 0.3 * std::sin(turnsOff(2 * t)); }

QStringList topLeftReadout() { return splitLines(QStringLiteral("RNG\n12km")); }

QStringList topRightReadout(qint64 threatCount)
{
    return splitLines(QString::asprintf("TGT\n%02lld", static_cast<long long>(threatCount)));
}

QStringList bottomLeftReadout(int bearingDegrees)
{
    return splitLines(QString::asprintf("BRG\n%03d", bearingDegrees) + QStringLiteral("°"));
}

QStringList bottomRightReadout(bool active, double t)
{
    return splitLines(active ? QStringLiteral("ACTIVE\n") + frameCode(t) : QStringLiteral("OFFLINE\n----"));
}

} // namespace tsav::radar
