#include "kit/instruments/spring.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tsav {

SpringState springAt(SpringParams p, double x0, double v0, double t)
{
    if (t <= 0)
        return {x0, v0};
    if (x0 == 0 && v0 == 0) // at rest it stays, however long ago it came to rest
        return {0, 0};
    const double response = std::max(p.response, 1e-6);
    const double w0 = 2 * std::numbers::pi / response;
    const double zeta = std::max(p.damping, 0.0);
    if (zeta < 1.0) {
        const double wd = w0 * std::sqrt(1 - zeta * zeta);
        const double a = x0;
        const double b = (v0 + zeta * w0 * x0) / wd;
        const double e = std::exp(-zeta * w0 * t);
        const double c = std::cos(wd * t), s = std::sin(wd * t);
        const double x = e * (a * c + b * s);
        const double v = e * (-zeta * w0 * (a * c + b * s) + (-a * wd * s + b * wd * c));
        return {x, v};
    }
    if (zeta == 1.0) {
        const double b = v0 + w0 * x0;
        const double e = std::exp(-w0 * t);
        return {(x0 + b * t) * e, (b - w0 * (x0 + b * t)) * e};
    }
    // Overdamped: two real roots r1, r2.
    const double root = w0 * std::sqrt(zeta * zeta - 1);
    const double r1 = -zeta * w0 + root, r2 = -zeta * w0 - root;
    const double c2 = (v0 - r1 * x0) / (r2 - r1);
    const double c1 = x0 - c2;
    const double e1 = std::exp(r1 * t), e2 = std::exp(r2 * t);
    return {c1 * e1 + c2 * e2, c1 * r1 * e1 + c2 * r2 * e2};
}

void Spring::retarget(double target, double now)
{
    if (target == m_to)
        return;
    const SpringState s = springAt(m_p, m_from - m_to, m_velocity, now - m_start);
    m_from = m_to + s.offset;
    m_velocity = s.velocity;
    m_start = now;
    m_to = target;
}

void Spring::snapTo(double value)
{
    m_from = m_to = value;
    m_velocity = 0;
}

double Spring::value(double now) const
{
    return m_to + springAt(m_p, m_from - m_to, m_velocity, now - m_start).offset;
}

double Spring::velocity(double now) const
{
    return springAt(m_p, m_from - m_to, m_velocity, now - m_start).velocity;
}

bool Spring::settled(double now, double epsilon) const
{
    const SpringState s = springAt(m_p, m_from - m_to, m_velocity, now - m_start);
    return std::abs(s.offset) < epsilon && std::abs(s.velocity) < epsilon;
}

double easeOutProgress(double now, double start, double duration)
{
    if (duration <= 0)
        return 1;
    const double u = std::clamp((now - start) / duration, 0.0, 1.0);
    const double inv = 1 - u;
    return 1 - inv * inv * inv;
}

} // namespace tsav
