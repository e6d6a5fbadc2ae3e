#pragma once
// Soft glow (a blurred shadow with no offset) for text, dots and strokes.

#include <QColor>
#include <QImage>
#include <QPointF>

class QPainter;

namespace tsav {

// The alpha of `src` blurred by `radius` (three box passes, close to a Gaussian) and
// tinted `color`. The result is larger than src by `radius` on every side.
QImage glowImage(const QImage &src, int radius, const QColor &color);

// Draws `glow` so that the unblurred source would sit with its top-left at `topLeft`.
void drawGlow(QPainter &p, const QPointF &topLeft, const QImage &glow, int radius);

} // namespace tsav
