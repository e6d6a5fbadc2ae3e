#pragma once
// The console's symbol names (the names written in its design) mapped in one table to
// glyphs of one icon font (Material Icons).

#include <QFont>
#include <QIcon>
#include <QPainter>
#include <QString>
#include <QStringList>

namespace tsav::icons {

// Glyph text for a symbol name; the fallback glyph for an unknown name.
QString glyph(const QString &symbolName);
bool known(const QString &symbolName);
QStringList allNames();

// The icon font at a pixel size.
QFont font(qreal pixelSize);

// Draws the symbol centred in `rect` in `color`.
void draw(QPainter &p, const QRectF &rect, const QString &symbolName, const QColor &color,
          qreal pixelSize);
// A QIcon of the symbol (for buttons, the tray, the window).
QIcon icon(const QString &symbolName, const QColor &color, int size = 64);

} // namespace tsav::icons
