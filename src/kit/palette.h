#pragma once
// The console's twelve colours and the severity colour rule.

#include <QColor>
#include <QString>

namespace tsav::palette {

inline const QColor backgroundTop{12, 18, 36};
inline const QColor backgroundBottom{4, 6, 14};
inline const QColor panelBase{18, 24, 44};
inline const QColor hairline{255, 255, 255, 20};       // white, opacity 0.08
inline const QColor textPrimary{255, 255, 255};
inline const QColor textSecondary{255, 255, 255, 158}; // white, opacity 0.62
inline const QColor textTertiary{255, 255, 255, 97};   // white, opacity 0.38
inline const QColor accentRed{220, 38, 60};
inline const QColor accentRedSoft{220, 38, 60, 51};    // opacity 0.20
inline const QColor accentGreen{16, 185, 129};
inline const QColor accentAmber{245, 158, 11};
inline const QColor accentBlue{56, 189, 248};

// "high" has a lighter red outside the palette.
inline const QColor severityHigh{248, 113, 113};

// Lower-cases the word first: critical, high, medium, low; anything else textSecondary.
QColor severityColor(const QString &severity);
// The same mapping on the word exactly as received (no lower-casing).
QColor severityColorExact(const QString &severity);

// `c` with its alpha multiplied by `opacity` (0..1).
QColor withOpacity(const QColor &c, double opacity);

} // namespace tsav::palette
