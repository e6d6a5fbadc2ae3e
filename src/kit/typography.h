#pragma once
// Fonts of the console: Inter as the system font, Quicksand for "rounded" titles,
// JetBrains Mono for monospaced text. Sizes are in points, where a point is one
// device-independent pixel (the unit every layout measure of the console uses).

#include <QFont>
#include <QPointF>
#include <QString>

class QPainter;

namespace tsav::fonts {

enum class Weight { Regular, Medium, Semibold, Bold, Heavy };

// Loads the fonts once and makes Inter the application font; call after QApplication
// exists (the font functions below call it themselves).
void ensureLoaded();

QFont system(qreal size, Weight weight = Weight::Regular);
QFont rounded(qreal size, Weight weight = Weight::Regular);
QFont mono(qreal size, Weight weight = Weight::Regular);
// Same font; digits drawn with drawTabular() take equal widths.
QFont monoDigits(QFont f);
// Letter tracking in points (absolute spacing).
QFont tracked(QFont f, qreal tracking);

// Family names actually used (after fallback when a family is missing).
QString systemFamily();
QString roundedFamily();
QString monoFamily();

// Tabular digits: every digit gets the width of the widest digit of `f`, so readouts do
// not make the layout jump. Returns the advance of `text`.
qreal tabularWidth(const QFont &f, const QString &text);
// Draws `text` with its baseline starting at `baseline`; returns the advance.
qreal drawTabular(QPainter &p, const QPointF &baseline, const QString &text);

} // namespace tsav::fonts
