#include "kit/palette.h"

#include <algorithm>

namespace tsav::palette {

QColor severityColorExact(const QString &severity)
{
    if (severity == QLatin1String("critical"))
        return accentRed;
    if (severity == QLatin1String("high"))
        return severityHigh;
    if (severity == QLatin1String("medium"))
        return accentAmber;
    if (severity == QLatin1String("low"))
        return accentBlue;
    return textSecondary;
}

QColor severityColor(const QString &severity)
{
    return severityColorExact(severity.toLower());
}

QColor withOpacity(const QColor &c, double opacity)
{
    QColor out = c;
    out.setAlphaF(float(std::clamp(c.alphaF() * opacity, 0.0, 1.0)));
    return out;
}

} // namespace tsav::palette
