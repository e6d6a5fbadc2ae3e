#include "screens/byteformat.h"

#include <cmath>
#include <limits>

namespace tsav::bytes {

namespace {

struct UnitInfo {
    Unit unit;
    const char *label;
    double scale;
};

constexpr UnitInfo units[] = {
    {B, "B", 1.0},
    {KB, "KB", 1024.0},
    {MB, "MB", 1024.0 * 1024.0},
    {GB, "GB", 1024.0 * 1024.0 * 1024.0},
    {TB, "TB", 1024.0 * 1024.0 * 1024.0 * 1024.0},
};
constexpr int unitCount = int(sizeof units / sizeof units[0]);

// One decimal, with a trailing ".0" dropped.
QString number(double v)
{
    QString s = QString::number(v, 'f', 1);
    if (s.endsWith(QLatin1String(".0")))
        s.chop(2);
    if (s == QLatin1String("-0"))
        s = QStringLiteral("0");
    return s;
}

} // namespace

QString format(qint64 bytes, unsigned allowed)
{
    allowed &= anyUnit;
    if (allowed == 0)
        allowed = anyUnit;

    const double magnitude = std::fabs(double(bytes));
    int smallest = -1, chosen = -1;
    for (int i = 0; i < unitCount; ++i) {
        if (!(allowed & units[i].unit))
            continue;
        if (smallest < 0)
            smallest = i;
        if (magnitude >= units[i].scale)
            chosen = i;
    }
    if (chosen < 0)
        chosen = smallest;

    double value = double(bytes) / units[chosen].scale;
    // Rounding can carry into the next unit (1023.96 KB reads "1 MB" when MB is allowed).
    if (std::fabs(std::round(value * 10.0) / 10.0) >= 1024.0) {
        for (int j = chosen + 1; j < unitCount; ++j) {
            if (allowed & units[j].unit) {
                chosen = j;
                value = double(bytes) / units[j].scale;
                break;
            }
        }
    }
    // Whole bytes never need a decimal.
    const QString text = units[chosen].unit == B ? QString::number(bytes) : number(value);
    return text + QLatin1Char(' ') + QLatin1String(units[chosen].label);
}

qint64 truncateToBytes(double value)
{
    if (std::isnan(value))
        return 0;
    // 2^63 is exactly representable; anything at or above it does not fit.
    constexpr double limit = 9223372036854775808.0;
    if (value >= limit)
        return std::numeric_limits<qint64>::max();
    if (value < -limit)
        return std::numeric_limits<qint64>::min();
    return qint64(value); // truncation toward zero
}

QString rate(double bytesPerSecond)
{
    return format(truncateToBytes(bytesPerSecond), kbToGb) + QStringLiteral("/s");
}

} // namespace tsav::bytes
