#include "kit/instruments/gaugemath.h"

#include "kit/palette.h"

#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tsav::gauge {

double fraction(double value, double max)
{
    if (!(max > 0) || std::isnan(value))
        return 0;
    return std::clamp(value / max, 0.0, 1.0);
}

QColor zoneColor(const Zones &zones, double f, bool reverseColors)
{
    if (zones.isEmpty())
        return palette::accentGreen;
    const double t = reverseColors ? 1 - f : f;
    QColor c = zones.first().second;
    for (const auto &[threshold, colour] : zones)
        if (threshold <= t)
            c = colour;
    return c;
}

double arcEndTurn(double f)
{
    return arcStartTurn + arcSpanTurn * std::clamp(f, 0.0, 1.0);
}

double needleDegrees(double f)
{
    return 270.0 * std::clamp(f, 0.0, 1.0) - 135.0;
}

QPointF needleTip(double degrees, double w, double h)
{
    const double rad = degrees * M_PI / 180.0;
    const double len = w / 2 - 22;
    return {w / 2 + len * std::sin(rad), h / 2 - len * std::cos(rad)};
}

bool ticksTurn(double value) { return value > 0.01; }

double tickRotation(double value, double t)
{
    return ticksTurn(value) ? tickAngularSpeed * t : 0.0;
}

QString formatNumber(const QString &format, double value)
{
    // One conversion of a floating-point kind, with optional flags, width and precision,
    // and any literal text around it ("%%" allowed). Anything else is not passed to
    // printf: a format from a caller must never be able to read beyond its argument.
    static const QRegularExpression one(
        QStringLiteral("^(?:[^%]|%%)*%[-+ #0]{0,5}\\d{0,3}(?:\\.\\d{0,3})?[fFeEgG](?:[^%]|%%)*$"));
    QByteArray fmt = format.toUtf8();
    if (!one.match(format).hasMatch())
        fmt = "%.0f";
    char buf[512];
    std::snprintf(buf, sizeof buf, fmt.constData(), value);
    return QString::fromUtf8(buf);
}

QString readout(double value, const QString &format, const QString *centerText)
{
    if (centerText)
        return *centerText;
    return formatNumber(format, value);
}

QString barReadout(double value, const QString &format, const QString &unit)
{
    QString s = formatNumber(format, value);
    if (!unit.isEmpty())
        s += QLatin1Char(' ') + unit;
    return s;
}

QList<double> gridLines(double width)
{
    QList<double> xs;
    for (double x = 0; x < width; x += 20)
        xs.append(x);
    return xs;
}

} // namespace tsav::gauge
