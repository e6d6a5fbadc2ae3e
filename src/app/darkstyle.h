#pragma once
// The console's forced dark look: Fusion with a palette built from the kit's colours.

class QApplication;
class QPalette;

namespace tsav {

QPalette darkPalette();
// Fusion style, the dark palette, the console's fonts.
void applyDarkStyle(QApplication &app);

} // namespace tsav
