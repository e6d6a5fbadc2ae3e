#include "kit/instruments/radarview.h"

#include "kit/frameclock.h"
#include "kit/instruments/effects.h"
#include "kit/instruments/glow.h"
#include "kit/palette.h"
#include "kit/typography.h"

#include <QConicalGradient>
#include <QFontMetricsF>
#include <QPainter>
#include <QRadialGradient>

#include <cmath>
#include <numbers>

namespace tsav {

namespace pal = palette;

namespace {
constexpr double pi = std::numbers::pi;
constexpr float scanlineStrength = 0.12f;
constexpr int sweepBloomOffset = 20;

QFont readoutFont() { return fonts::mono(8, fonts::Weight::Bold); }
QFont labelFont() { return fonts::mono(7, fonts::Weight::Bold); }

QImage blank(QSizeF logical, qreal dpr)
{
    QImage img((logical * dpr).toSize(), QImage::Format_ARGB32_Premultiplied);
    img.setDevicePixelRatio(dpr);
    img.fill(Qt::transparent);
    return img;
}

QImage dotWithGlow(double diameter, const QColor &c, double glowRadius, qreal dpr)
{
    QImage dot = blank(QSizeF(diameter, diameter), dpr);
    {
        QPainter p(&dot);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(c);
        p.drawEllipse(QRectF(0, 0, diameter, diameter));
    }
    QImage out = glowOf(dot, c, glowRadius);
    QPainter p(&out);
    const double pad = glowPadding(glowRadius, dpr) / dpr;
    p.drawImage(QPointF(pad, pad), dot);
    return out;
}
} // namespace

RadarView::RadarView(qint64 threatCount, double size, bool active, QStringList blipLabels, QWidget *parent)
    : Instrument(maxFps, parent), m_threatCount(threatCount), m_size(size), m_active(active),
      m_labels(std::move(blipLabels))
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

RadarView::~RadarView() = default;

void RadarView::setThreatCount(qint64 count)
{
    if (count == m_threatCount)
        return;
    m_threatCount = count;
    inputsChanged();
}

void RadarView::setActive(bool active)
{
    if (active == m_active)
        return;
    m_active = active;
    inputsChanged();
}

void RadarView::setBlipLabels(const QStringList &labels)
{
    if (labels == m_labels)
        return;
    m_labels = labels;
    inputsChanged();
}

void RadarView::setScopeSize(double size)
{
    if (size == m_size || !(size > 0))
        return;
    m_size = size;
    updateGeometry();
    inputsChanged();
}

QSize RadarView::sizeHint() const
{
    const int s = int(std::ceil(m_size));
    return {s, s};
}

QPointF RadarView::origin() const
{
    return {std::floor((width() - m_size) / 2), std::floor((height() - m_size) / 2)};
}

QList<QStringList> RadarView::readouts(double t) const
{
    return {radar::topLeftReadout(), radar::topRightReadout(m_threatCount),
            radar::bottomLeftReadout(radar::bearing(radar::sweepPhase(t))),
            radar::bottomRightReadout(m_active, t)};
}

FrameKey RadarView::frameKey(double t) const
{
    // The sweep's tip moves about 2.7 points per 60th of a second: every tick shows a
    // new frame, so the key is the sweep position at one-pixel resolution.
    const double r = m_size / 2 - 8;
    return FrameKey().add(radar::sweepPhase(t) * r, 1.0).add(m_active ? 1 : 0);
}

void RadarView::invalidateCaches()
{
    m_base = QImage();
    m_disc = QImage();
    m_sweep = QImage();
    m_blipDot = m_centreDot = QImage();
}

void RadarView::paintReadout(QPainter &p, const QStringList &lines, QPointF anchor, bool trailing) const
{
    const QFontMetricsF fm(readoutFont());
    const double lineH = fm.height() - 1;
    double y = anchor.y() - lineH * lines.size() / 2 + fm.ascent();
    for (const QString &line : lines) {
        const double w = fm.horizontalAdvance(line);
        p.drawText(QPointF(trailing ? anchor.x() - w : anchor.x(), y), line);
        y += lineH;
    }
}

void RadarView::buildBase()
{
    const qreal dpr = devicePixelRatioF();
    m_base = QImage((QSizeF(size()) * dpr).toSize(), QImage::Format_ARGB32_Premultiplied);
    m_base.setDevicePixelRatio(dpr);
    m_base.fill(Qt::transparent);
    QPainter p(&m_base);
    paintBackdrop(p);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.translate(origin());

    const double s = m_size;
    const QPointF c(s / 2, s / 2);
    const double r6 = s / 2 - 6;

    // 1. Background disc.
    QRadialGradient bg(c, s / 2);
    bg.setColorAt(0, QColor::fromRgbF(0.02f, 0.06f, 0.10f));
    bg.setColorAt(1, QColor::fromRgbF(0.0f, 0.02f, 0.05f));
    p.setPen(Qt::NoPen);
    p.setBrush(bg);
    p.drawEllipse(c, s / 2, s / 2);

    m_disc = blank(QSizeF(s, s), dpr);
    {
        QPainter dp(&m_disc);
        dp.setRenderHint(QPainter::Antialiasing);
        dp.setPen(Qt::NoPen);
        dp.setBrush(Qt::white);
        dp.drawEllipse(c, s / 2, s / 2);
    }

    // 4. Spokes.
    p.setPen(QPen(pal::withOpacity(pal::accentBlue, 0.08), 0.5));
    for (int k = 0; k < 8; ++k) {
        const double a = k * pi / 4;
        p.drawLine(c, c + (s / 2 - 8) * QPointF(std::cos(a), std::sin(a)));
    }

    // 5. Rings, cross-hair, centre cross and rim ticks.
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(pal::withOpacity(pal::accentBlue, 0.60), 1.5));
    p.drawEllipse(c, r6, r6);
    p.setPen(QPen(pal::withOpacity(pal::accentBlue, 0.25), 1));
    for (double f : {0.25, 0.5, 0.75})
        p.drawEllipse(c, r6 * f, r6 * f);
    p.setPen(QPen(pal::withOpacity(pal::accentBlue, 0.20), 1));
    p.drawLine(QPointF(c.x() - r6, c.y()), QPointF(c.x() + r6, c.y()));
    p.drawLine(QPointF(c.x(), c.y() - r6), QPointF(c.x(), c.y() + r6));
    p.setPen(QPen(pal::withOpacity(pal::accentBlue, 0.55), 1));
    p.drawLine(QPointF(c.x() - 6, c.y()), QPointF(c.x() + 6, c.y()));
    p.drawLine(QPointF(c.x(), c.y() - 6), QPointF(c.x(), c.y() + 6));
    for (int k = 0; k < 36; ++k) {
        const double a = -pi / 2 + k * pi / 18;
        const bool major = k % 3 == 0;
        const QPointF dir(std::cos(a), std::sin(a));
        p.setPen(QPen(pal::withOpacity(pal::accentBlue, major ? 0.80 : 0.30), major ? 2 : 1));
        p.drawLine(c + r6 * dir, c + (r6 - (major ? 6 : 3)) * dir);
    }

    // 6. Bearing labels.
    const QFont lf = fonts::mono(8, fonts::Weight::Bold);
    const QFontMetricsF lfm(lf);
    p.setFont(lf);
    for (int k = 0; k < 12; ++k) {
        const int d = 30 * k;
        const double a = d * pi / 180 - pi / 2;
        const QPointF at = c + (s / 2 - 18) * QPointF(std::cos(a), std::sin(a));
        const QString text = QString::asprintf("%03d", d);
        p.setPen(pal::withOpacity(pal::accentBlue, d % 90 == 0 ? 0.85 : 0.45));
        const double w = lfm.horizontalAdvance(text);
        p.drawText(QPointF(at.x() - w / 2, at.y() + (lfm.ascent() - lfm.descent()) / 2), text);
    }

    // 12. The corner read-outs that do not move.
    p.setFont(readoutFont());
    p.setPen(pal::withOpacity(pal::accentBlue, 0.85));
    paintReadout(p, radar::topLeftReadout(), c + QPointF(-s / 2 + 26, -s / 2 + 18), false);
    paintReadout(p, radar::topRightReadout(m_threatCount), c + QPointF(s / 2 - 26, -s / 2 + 18), true);
}

void RadarView::buildSprites()
{
    const qreal dpr = devicePixelRatioF();
    const double r = m_size / 2 - 8;
    // The sweep line along +x from the pivot, with its tip dot, then its bloom.
    QImage line = blank(QSizeF(r + 8, 12), dpr);
    {
        QPainter p(&line);
        p.setRenderHint(QPainter::Antialiasing);
        const QPointF c(1.5, 6), tip(1.5 + r, 6);
        QLinearGradient g(c, tip);
        g.setColorAt(0, pal::withOpacity(pal::accentRed, 0));
        g.setColorAt(1, pal::accentRed);
        p.setPen(QPen(QBrush(g), 2.5, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(c, tip);
        p.setPen(Qt::NoPen);
        p.setBrush(pal::accentRed);
        p.drawEllipse(tip, 5, 5);
    }
    m_sweepPivot = QPointF(1.5, 6);
    if (const auto *bloom = effects::find(effects::bloomName)) {
        m_sweep = bloom->apply(line, 14.0f, 2.6f, QSize(sweepBloomOffset, sweepBloomOffset));
        m_sweepPivot += QPointF(sweepBloomOffset, sweepBloomOffset);
    } else {
        m_sweep = line;
    }
    m_blipDot = dotWithGlow(5, pal::accentRed, 4, dpr);
    m_centreDot = dotWithGlow(6, m_active ? pal::accentGreen : pal::textTertiary, 6, dpr);
}

const QImage &RadarView::labelImage(const QString &label)
{
    auto it = m_labelCache.find(label);
    if (it == m_labelCache.end()) {
        if (m_labelCache.size() > 64)
            m_labelCache.clear();
        it = m_labelCache.insert(label, textImage(label, labelFont(), pal::accentRed, devicePixelRatioF()));
    }
    return *it;
}

void RadarView::paintMoving(QPainter &p, double t)
{
    const double s = m_size;
    const QPointF c(s / 2, s / 2);
    const double r6 = s / 2 - 6;
    const double r = s / 2 - 8;
    const double phi = radar::sweepAngle(t);

    // 2. Stars.
    p.setPen(Qt::NoPen);
    for (int j = 0; j < 70; ++j) {
        const radar::Star st = radar::star(j, s, t);
        p.setBrush(QColor(255, 255, 255, int(st.opacity * 255)));
        p.drawEllipse(c + st.offset, st.radius, st.radius);
    }

    // 3. Ripples.
    p.setBrush(Qt::NoBrush);
    for (int k = 0; k < 3; ++k) {
        const radar::Ripple rp = radar::ripple(k, t, r6);
        if (rp.radius < 0.5)
            continue;
        p.setPen(QPen(pal::withOpacity(pal::accentBlue, rp.opacity), 1));
        p.drawEllipse(c, rp.radius, rp.radius);
    }

    // 7. Trail: one fill of a conical gradient whose stops follow the slices'
    // opacities. Qt's conical angles run counter-clockwise on screen, like the trail
    // behind φ (at φ - 2.6 f), so position 0 is the sweep line itself.
    {
        QConicalGradient g(c, -phi * 180 / pi);
        const double span = 2.6 / (2 * pi);
        for (int k = 0; k <= 16; ++k) {
            const double f = k / 16.0;
            g.setColorAt(f * span, pal::withOpacity(pal::accentRed, radar::trailOpacity(f)));
        }
        g.setColorAt(std::min(1.0, radar::trailSpan / (2 * pi)), pal::withOpacity(pal::accentRed, 0));
        g.setColorAt(1, pal::withOpacity(pal::accentRed, 0));
        QPainterPath pie;
        pie.moveTo(c);
        pie.arcTo(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), -phi * 180 / pi, radar::trailSpan * 180 / pi);
        pie.closeSubpath();
        p.setPen(Qt::NoPen);
        p.setBrush(g);
        p.drawPath(pie);
    }

    // 8. Sparks.
    p.setPen(Qt::NoPen);
    for (int j = 0; j < 18; ++j) {
        const radar::Spark sp = radar::spark(j);
        const double a = phi + sp.angleOffset;
        const double d = r * sp.distanceFraction;
        p.setBrush(pal::withOpacity(pal::accentRed, sp.opacity));
        p.drawEllipse(c + d * QPointF(std::cos(a), std::sin(a)), sp.radius, sp.radius);
    }

    // 9. Sweep line with its bloom: the cached sprite, turned.
    {
        p.save();
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.translate(c);
        p.rotate(phi * 180 / pi);
        p.drawImage(-m_sweepPivot, m_sweep);
        p.restore();
    }

    // 10. Blips.
    const int n = radar::blipCount(m_threatCount);
    for (int i = 0; i < n; ++i) {
        const QPointF at = c + radar::blipOffset(i, s);
        const double pulse = radar::blipPulse(i, t);
        p.save();
        p.translate(at);
        p.rotate(std::fmod(30 * t, 360.0));
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(pal::withOpacity(pal::accentRed, pulse), 1.5));
        p.drawPath(radar::lockOnReticle(QRectF(-12, -12, 24, 24)));
        p.restore();
        const double dotHalf = m_blipDot.width() / m_blipDot.devicePixelRatio() / 2;
        p.drawImage(at - QPointF(dotHalf, dotHalf), m_blipDot);
        const QImage &label = labelImage(radar::blipLabel(i, m_labels));
        const double lw = label.width() / label.devicePixelRatio();
        p.drawImage(at + QPointF(-lw / 2, 14), label);
    }

    // 11. Centre: ring and dot, both scaled by the pulse.
    {
        const double k = radar::centrePulse(t);
        const QColor col = m_active ? pal::accentGreen : pal::textTertiary;
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(pal::withOpacity(col, 0.5), 1.5 * k));
        p.drawEllipse(c, 8 * k, 8 * k);
        const double half = m_centreDot.width() / m_centreDot.devicePixelRatio() / 2 * k;
        p.save();
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.drawImage(QRectF(c.x() - half, c.y() - half, 2 * half, 2 * half), m_centreDot);
        p.restore();
    }
}

void RadarView::paintEvent(QPaintEvent *)
{
    const double t = FrameClock::now();
    beginFrame(t);
    if (m_base.isNull() || m_base.size() != (QSizeF(size()) * devicePixelRatioF()).toSize())
        buildBase();
    if (m_sweep.isNull())
        buildSprites();

    QPainter p(this);
    p.drawImage(QPoint(0, 0), m_base);
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(origin());
    paintMoving(p, t);

    if (const auto *scan = effects::find(effects::scanlineName))
        scan->drawOver(p, QPoint(0, 0), m_disc, effects::timeArgument(t), scanlineStrength);

    // 12. The read-outs that change every frame. Drawn over the scope, unclipped: the
    // corners lie outside the disc.
    const double s = m_size;
    const QPointF c(s / 2, s / 2);
    p.setFont(readoutFont());
    p.setPen(pal::withOpacity(pal::accentBlue, 0.85));
    paintReadout(p, radar::bottomLeftReadout(radar::bearing(radar::sweepPhase(t))),
                 c + QPointF(-s / 2 + 26, s / 2 - 22), false);
    paintReadout(p, radar::bottomRightReadout(m_active, t), c + QPointF(s / 2 - 26, s / 2 - 22), true);
}

} // namespace tsav
