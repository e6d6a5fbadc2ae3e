#include "kit/instruments/glow.h"

#include "kit/instruments/effects.h"
#include "kit/instruments/spring.h"
#include "kit/palette.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QTextLayout>

#include <algorithm>
#include <cmath>

namespace tsav {

int glowPadding(double radius, qreal dpr)
{
    return int(std::ceil(radius * dpr)) + 2;
}

QImage glowOf(const QImage &shape, const QColor &colour, double radius)
{
    const qreal dpr = shape.devicePixelRatio();
    const int pad = glowPadding(radius, dpr);
    QImage out(shape.width() + 2 * pad, shape.height() + 2 * pad, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    {
        QPainter p(&out);
        QImage src = shape;
        src.setDevicePixelRatio(1);
        p.drawImage(QPoint(pad, pad), src);
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(out.rect(), colour);
    }
    // Three box passes of radius b give a Gaussian of sigma ~ sqrt(b (b + 1)); a shadow
    // of radius r reads as sigma ~ r / 2.
    const double sigma = radius * dpr / 2;
    const int b = std::max(1, int(std::lround((-1 + std::sqrt(1 + 4 * sigma * sigma)) / 2)));
    effects::boxBlur(out, b);
    out.setDevicePixelRatio(dpr);
    return out;
}

QImage textImage(const QString &text, const QFont &font, const QColor &colour, qreal dpr)
{
    const QFontMetricsF fm(font);
    const QSizeF size(std::max<qreal>(1, fm.horizontalAdvance(text)), std::max<qreal>(1, fm.height()));
    QImage img((size * dpr).toSize() + QSize(1, 1), QImage::Format_ARGB32_Premultiplied);
    img.setDevicePixelRatio(dpr);
    img.fill(Qt::transparent);
    {
        QPainter p(&img);
        p.setFont(font);
        p.setPen(colour);
        p.drawText(QPointF(0, fm.ascent()), text);
    }
    return img;
}

void RollingText::set(const QString &text, double now, bool roll)
{
    if (m_hasText && text == m_text)
        return;
    if (!roll) {
        m_previous = QString();
        m_changedAt = -1e9;
    } else if (m_hasText) {
        m_previous = m_text;
        m_changedAt = now;
    }
    m_text = text;
    m_hasText = true;
}

double RollingText::progress(double now) const
{
    if (m_previous.isNull())
        return 1;
    return easeOutProgress(now, m_changedAt, duration);
}

namespace {

// The glyphs of one line of text, positioned relative to its baseline: drawn at a
// baseline, they land where drawText at that baseline puts them, with nothing to round.
QList<QGlyphRun> shapeLine(const QString &text, const QFont &font)
{
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    const QTextLine line = layout.createLine();
    layout.endLayout();
    const double baseline = line.isValid() ? line.y() + line.ascent() : 0;
    QList<QGlyphRun> runs;
    for (QGlyphRun run : layout.glyphRuns()) {
        QList<QPointF> positions = run.positions();
        for (QPointF &pos : positions)
            pos.ry() -= baseline;
        run.setPositions(positions);
        runs.append(run);
    }
    return runs;
}

void drawRuns(QPainter &p, QPointF baseline, const QList<QGlyphRun> &runs)
{
    for (const QGlyphRun &run : runs)
        p.drawGlyphRun(baseline, run);
}

} // namespace

const RollingText::Shaped &RollingText::shaped(const QFont &font) const
{
    if (m_shaped.valid && m_shaped.text == m_text && m_shaped.font == font)
        return m_shaped;
    m_shaped = Shaped{m_text, font, shapeLine(m_text, font), QFontMetricsF(font).horizontalAdvance(m_text), true};
    return m_shaped;
}

double RollingText::paddedWidth(const QString &padded, const QFont &font) const
{
    if (!m_padded.valid || m_padded.text != padded || m_padded.font != font)
        m_padded = Shaped{padded, font, {}, QFontMetricsF(font).horizontalAdvance(padded), true};
    return m_padded.width;
}

const QList<QGlyphRun> &RollingText::shapedChar(QChar c, const QFont &font) const
{
    if (m_charsFont != font) {
        m_chars.clear();
        m_charsFont = font;
    }
    auto it = m_chars.find(c);
    if (it == m_chars.end())
        it = m_chars.insert(c, shapeLine(QString(c), font));
    return *it;
}

void RollingText::draw(QPainter &p, const QRectF &rect, Qt::Alignment align, const QFont &font,
                       const QColor &colour, double now) const
{
    p.save();
    p.setFont(font);
    const QFontMetricsF fm(font);
    const double textWidth = width(font);
    double x0 = rect.left();
    if (align & Qt::AlignHCenter)
        x0 = rect.center().x() - textWidth / 2;
    else if (align & Qt::AlignRight)
        x0 = rect.right() - textWidth;
    const double baseline = rect.center().y() + (fm.ascent() - fm.descent()) / 2;
    const double u = progress(now);
    if (u >= 1) {
        // Shaped once per text, not on every frame.
        p.setPen(colour);
        drawRuns(p, QPointF(x0, baseline), shaped(font).runs);
        p.restore();
        return;
    }
    // Characters are matched from the right, so units stay in place while the digits
    // in front of them change.
    const int n = int(std::max(m_text.size(), m_previous.size()));
    const QString cur = m_text.rightJustified(n, QLatin1Char(' '));
    const QString old = m_previous.rightJustified(n, QLatin1Char(' '));
    const double lead = paddedWidth(cur, font) - textWidth; // width of the padding
    double x = x0 - lead;
    const double shift = fm.height() * 0.6;
    p.setClipRect(QRectF(rect.left(), rect.top() - 2, rect.width(), rect.height() + 4));
    for (int i = 0; i < n; ++i) {
        const QChar c = cur.at(i), o = old.at(i);
        const double w = fm.horizontalAdvance(c);
        if (c == o) {
            p.setPen(colour);
            drawRuns(p, QPointF(x, baseline), shapedChar(c, font));
        } else {
            // Faded through the pen's alpha: glyphs drawn under a painter opacity take
            // Qt's general span path, which hands each glyph to the thread pool.
            p.setPen(palette::withOpacity(colour, 1 - u));
            drawRuns(p, QPointF(x, baseline - u * shift), shapedChar(o, font));
            p.setPen(palette::withOpacity(colour, u));
            drawRuns(p, QPointF(x, baseline + (1 - u) * shift), shapedChar(c, font));
        }
        x += w;
    }
    p.restore();
}

} // namespace tsav
