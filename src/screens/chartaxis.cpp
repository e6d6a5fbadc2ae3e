#include "screens/chartaxis.h"

#include <algorithm>
#include <cmath>

namespace tsav::axis {

namespace {

double niceStep(double span, int desired, bool integral)
{
    const double raw = span / std::max(desired, 1);
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    const double f = raw / power;
    double nice = f <= 1 ? 1 : f <= 2 ? 2 : f <= 5 ? 5 : 10;
    double step = nice * power;
    if (integral)
        step = std::max(1.0, std::round(step));
    return step;
}

Ticks build(double min, double max, int desired, bool integral)
{
    if (!std::isfinite(min))
        min = 0;
    if (!std::isfinite(max))
        max = 0;
    if (min > max)
        std::swap(min, max);
    if (max - min <= 0 || !std::isfinite(max - min)) {
        // A flat series still gets an axis: from 0 (or the value) up to a round value.
        const double v = max;
        if (v > 0)
            min = 0, max = v;
        else if (v < 0)
            min = v, max = 0;
        else
            min = 0, max = integral ? desired : 1;
        if (!std::isfinite(max - min))
            min = 0, max = 1;
    }
    Ticks t;
    t.step = niceStep(max - min, desired, integral);
    t.lo = std::floor(min / t.step) * t.step;
    t.hi = std::ceil(max / t.step) * t.step;
    if (t.hi <= t.lo)
        t.hi = t.lo + t.step;
    const int n = int(std::llround((t.hi - t.lo) / t.step));
    for (int i = 0; i <= n && i <= 1000; ++i)
        t.values.append(t.lo + i * t.step);
    return t;
}

} // namespace

Ticks niceTicks(double min, double max, int desired) { return build(min, max, desired, false); }

Ticks niceIntegerTicks(double min, double max, int desired)
{
    return build(min, max, desired, true);
}

QList<double> timeTicks(double t0, double t1, int desired)
{
    QList<double> out;
    if (!std::isfinite(t0) || !std::isfinite(t1))
        return out;
    if (t0 > t1)
        std::swap(t0, t1);
    static constexpr double steps[] = {60, 120, 300, 600, 900, 1800, 3600, 7200, 10800,
                                       21600, 43200, 86400};
    const double span = t1 - t0;
    double step = steps[std::size(steps) - 1];
    for (double s : steps) {
        if (span / s <= std::max(desired, 1)) {
            step = s;
            break;
        }
    }
    // Whole minutes and hours fall on whole multiples of the step in UTC; time zones are
    // whole quarter hours, so local labels stay round for steps up to 15 minutes and
    // hour steps are aligned in UTC (labels then read whole hours in most zones).
    for (double t = std::ceil(t0 / step) * step; t <= t1 && out.size() < 1000; t += step)
        out.append(t);
    return out;
}

} // namespace tsav::axis
