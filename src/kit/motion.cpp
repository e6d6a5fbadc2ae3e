#include "kit/motion.h"

#include <algorithm>
#include <cmath>

namespace tsav::motion {

double spring(double elapsed, double response, double dampingFraction)
{
    if (elapsed <= 0)
        return 0;
    if (response <= 0)
        return 1;
    const double omega = 2 * M_PI / response;
    const double zeta = std::clamp(dampingFraction, 0.0, 0.999);
    const double wd = omega * std::sqrt(1 - zeta * zeta);
    const double decay = std::exp(-zeta * omega * elapsed);
    return 1 - decay * (std::cos(wd * elapsed) + zeta * omega / wd * std::sin(wd * elapsed));
}

double easeOut(double x)
{
    x = std::clamp(x, 0.0, 1.0);
    // Bézier with P0 = (0,0), P1 = (0,0), P2 = (0.58,1), P3 = (1,1): solve X(s) = x by
    // bisection (X is monotonic), then return Y(s).
    constexpr double x2 = 0.58, y2 = 1.0;
    auto bez = [](double s, double p1, double p2) {
        const double u = 1 - s;
        return 3 * u * u * s * p1 + 3 * u * s * s * p2 + s * s * s;
    };
    double lo = 0, hi = 1;
    for (int i = 0; i < 40; ++i) {
        const double mid = (lo + hi) / 2;
        (bez(mid, 0, x2) < x ? lo : hi) = mid;
    }
    return bez((lo + hi) / 2, 0, y2);
}

} // namespace tsav::motion
