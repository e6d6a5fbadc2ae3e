#pragma once
// Fonts of the console: Inter as the system font, Quicksand for "rounded" titles,
// JetBrains Mono for monospaced text. Sizes are in points.

#include <QFont>

namespace tsav::fonts {

enum class Weight { Regular, Medium, Semibold, Bold, Heavy };

// Loads the bundled/system fonts once; call after QApplication exists.
void ensureLoaded();

QFont system(qreal size, Weight weight = Weight::Regular);
QFont rounded(qreal size, Weight weight = Weight::Regular);
QFont mono(qreal size, Weight weight = Weight::Regular);
// Same font with tabular (equal-width) digits.
QFont monoDigits(QFont f);
// Letter tracking in points (absolute spacing).
QFont tracked(QFont f, qreal tracking);

} // namespace tsav::fonts
