#include "kit/instruments/gaugemath.h"

#include "kit/palette.h"

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

namespace {

// One conversion of a floating-point kind, with at most five flags, three digits of width
// and three of precision, and any literal text around it ("%%" allowed). Read by hand: it
// runs for every dial on every poll, and a regular expression there brought the pattern
// engine and its compiler into every console's memory for this one check.
bool isOneFloatConversion(const QString &format)
{
    const auto isFlag = [](QChar c) { return c == u'-' || c == u'+' || c == u' ' || c == u'#' || c == u'0'; };
    const auto isDigit = [](QChar c) { return c >= u'0' && c <= u'9'; };
    const qsizetype n = format.size();
    bool seen = false;
    for (qsizetype i = 0; i < n; ++i) {
        if (format[i] != u'%')
            continue;
        if (i + 1 < n && format[i + 1] == u'%') {
            ++i;
            continue;
        }
        if (seen)
            return false;
        seen = true;
        ++i;
        for (int k = 0; k < 5 && i < n && isFlag(format[i]); ++k)
            ++i;
        for (int k = 0; k < 3 && i < n && isDigit(format[i]); ++k)
            ++i;
        if (i < n && format[i] == u'.') {
            ++i;
            for (int k = 0; k < 3 && i < n && isDigit(format[i]); ++k)
                ++i;
        }
        if (i >= n || !QStringView(u"fFeEgG").contains(format[i]))
            return false;
    }
    return seen;
}

} // namespace

QString formatNumber(const QString &format, double value)
{
    // Anything but one conversion of a floating-point kind is not passed to printf: a
    // format from a caller must never be able to read beyond its argument.
    QByteArray fmt = format.toUtf8();
    if (!isOneFloatConversion(format))
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
