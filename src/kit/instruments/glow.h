#pragma once
// Cached glows and rolling read-outs shared by the instruments.

#include <QColor>
#include <QFont>
#include <QGlyphRun>
#include <QHash>
#include <QImage>
#include <QList>
#include <QString>

class QPainter;

namespace tsav {

// A soft shadow of `shape`'s coverage in `colour` (alpha included), blurred by about
// `radius` points. The result is `shape` grown by glowPadding(radius) on every side and
// keeps shape's device pixel ratio.
QImage glowOf(const QImage &shape, const QColor &colour, double radius);
int glowPadding(double radius, qreal dpr);

// An image of `text` in `font` and `colour`, tightly sized (logical size in points).
QImage textImage(const QString &text, const QFont &font, const QColor &colour, qreal dpr);

// A read-out whose changed characters roll to the new text: the old character moves up
// and fades while the new one rises into place, ease-out over `duration` seconds.
class RollingText {
public:
    static constexpr double duration = 0.35;
    // Sets the text at time `now`; the first text does not roll, and neither does any
    // text set with `roll` false (it shows at once, as after a finished roll).
    void set(const QString &text, double now, bool roll = true);
    const QString &text() const { return m_text; }
    const QString &previous() const { return m_previous; }
    // 0 at the change, 1 when done.
    double progress(double now) const;
    bool rolling(double now) const { return progress(now) < 1; }
    // The progress in whole twentieths (steps, at 1): what a frame of the roll shows.
    static constexpr int steps = 20;
    int step(double now) const { return int(progress(now) * steps); }
    // Draws the text in `rect` with the given horizontal alignment,
    // vertically centred.
    void draw(QPainter &p, const QRectF &rect, Qt::Alignment align, const QFont &font,
              const QColor &colour, double now) const;
    // The advance of the text in `font`.
    double width(const QFont &font) const { return shaped(font).width; }

private:
    // The settled text shaped once: its glyphs with the baseline at 0, and its advance.
    struct Shaped {
        QString text;
        QFont font;
        QList<QGlyphRun> runs;
        double width = 0;
        bool valid = false;
    };
    const Shaped &shaped(const QFont &font) const;
    // Each character alone, for the roll (a handful: digits, a point, a unit).
    const QList<QGlyphRun> &shapedChar(QChar c, const QFont &font) const;

    // The advance of the rolling line (the text padded to the old one's length), measured
    // once per roll rather than on each of its frames.
    double paddedWidth(const QString &padded, const QFont &font) const;

    mutable Shaped m_shaped;
    mutable Shaped m_padded; // runs unused
    mutable QHash<QChar, QList<QGlyphRun>> m_chars;
    mutable QFont m_charsFont;
    QString m_text, m_previous;
    double m_changedAt = -1e9;
    bool m_hasText = false;
};

} // namespace tsav
