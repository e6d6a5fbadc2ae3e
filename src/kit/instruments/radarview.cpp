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

#include <array>
#include <cmath>
#include <cstring>
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

void RadarView::paintUnderTrail(QPainter &p, double t)
{
    const double s = m_size;
    const QPointF c(s / 2, s / 2);
    const double r6 = s / 2 - 6;

    // 2. Stars.
    p.setPen(Qt::NoPen);
    for (int j = 0; j < 70; ++j) {
        const radar::Star st = radar::star(j, s, t);
        p.setBrush(QColor(255, 255, 255, int(st.opacity * 255)));
        p.drawEllipse(c + st.offset, st.radius, st.radius);
    }

    // 3. Ripples, in bands: a ring as tall as the scope would be split across threads.
    p.setBrush(Qt::NoBrush);
    for (int k = 0; k < 3; ++k) {
        const radar::Ripple rp = radar::ripple(k, t, r6);
        if (rp.radius < 0.5)
            continue;
        p.setPen(QPen(pal::withOpacity(pal::accentBlue, rp.opacity), 1));
        const QRectF ring(c.x() - rp.radius - 1, c.y() - rp.radius - 1, 2 * rp.radius + 2, 2 * rp.radius + 2);
        inBands(p, ring, [&] { p.drawEllipse(c, rp.radius, rp.radius); });
    }
}

namespace {
// atan2 to within about 0.004 rad, which is a small fraction of a trail slice.
inline float fastAtan2(float y, float x)
{
    const float ax = std::abs(x), ay = std::abs(y);
    const float mx = std::max(ax, ay), mn = std::min(ax, ay);
    if (mx == 0)
        return 0;
    const float a = mn / mx;
    const float s = a * a;
    float r = ((-0.0464964749f * s + 0.15931422f) * s - 0.327622764f) * s * a + a;
    if (ay > ax)
        r = 1.57079637f - r;
    if (x < 0)
        r = 3.14159274f - r;
    return y < 0 ? -r : r;
}
} // namespace

// 7. The trail, straight into the frame: the pixels of the sector behind the line get
// accentRed at 0.4 (1 - f)^2.4, f the angle behind the line over 2.6 rad. One pass over
// the sector's bounding box; no gradient evaluation per pixel.
void RadarView::paintTrail(double t)
{
    const qreal dpr = m_frame.devicePixelRatio();
    const QPointF o = origin();
    const double s = m_size;
    const double r = (s / 2 - 8) * dpr;
    const double cx = (o.x() + s / 2) * dpr, cy = (o.y() + s / 2) * dpr;
    const double phi = radar::sweepAngle(t);
    constexpr double span = 2.6;

    // Bounding box of the sector [phi - span, phi].
    double x0 = cx, x1 = cx, y0 = cy, y1 = cy;
    auto include = [&](double a) {
        const double x = cx + r * std::cos(a), y = cy + r * std::sin(a);
        x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
    };
    include(phi);
    include(phi - span);
    for (int k = -8; k <= 8; ++k) {
        const double a = k * pi / 2;
        if (a <= phi && a >= phi - span)
            include(a);
    }
    const int ix0 = std::max(0, int(std::floor(x0)) - 1), ix1 = std::min(m_frame.width() - 1, int(std::ceil(x1)) + 1);
    const int iy0 = std::max(0, int(std::floor(y0)) - 1), iy1 = std::min(m_frame.height() - 1, int(std::ceil(y1)) + 1);

    static const std::array<quint8, 257> lut = [] {
        std::array<quint8, 257> l{};
        for (int i = 0; i <= 256; ++i)
            l[size_t(i)] = quint8(std::lround(255 * radar::trailOpacity(i / 256.0)));
        return l;
    }();
    const QRgb red = pal::accentRed.rgb();
    const int rr = qRed(red), rg = qGreen(red), rb = qBlue(red);
    const float fphi = float(std::fmod(phi, 2 * pi));
    const float r2max = float((r + 0.5) * (r + 0.5));
    for (int y = iy0; y <= iy1; ++y) {
        auto *row = reinterpret_cast<QRgb *>(m_frame.scanLine(y));
        const float dy = float(y + 0.5 - cy);
        for (int x = ix0; x <= ix1; ++x) {
            const float dx = float(x + 0.5 - cx);
            const float d2 = dx * dx + dy * dy;
            if (d2 > r2max)
                continue;
            // fphi is in (-2π, 0] and the angle in [-π, π]: one correction suffices.
            float behind = fphi - fastAtan2(dy, dx);
            if (behind < 0)
                behind += 6.2831853f;
            if (behind >= 6.2831853f)
                behind -= 6.2831853f;
            if (behind >= float(span))
                continue;
            int a = lut[size_t(int(behind / float(span) * 256))];
            const float edge = float(r) + 0.5f - std::sqrt(d2);
            if (edge < 1)
                a = int(a * std::max(edge, 0.0f));
            if (a == 0)
                continue;
            const QRgb d = row[x];
            const int inv = 255 - a;
            row[x] = qRgba((rr * a + qRed(d) * inv) / 255, (rg * a + qGreen(d) * inv) / 255,
                           (rb * a + qBlue(d) * inv) / 255, a + qAlpha(d) * inv / 255);
        }
    }
}

void RadarView::paintOverTrail(QPainter &p, double t)
{
    const double s = m_size;
    const QPointF c(s / 2, s / 2);
    const double r = s / 2 - 8;
    const double phi = radar::sweepAngle(t);

    // 8. Sparks.
    p.setPen(Qt::NoPen);
    for (int j = 0; j < 18; ++j) {
        const radar::Spark sp = radar::spark(j);
        const double a = phi + sp.angleOffset;
        const double d = r * sp.distanceFraction;
        p.setBrush(pal::withOpacity(pal::accentRed, sp.opacity));
        p.drawEllipse(c + d * QPointF(std::cos(a), std::sin(a)), sp.radius, sp.radius);
    }

    // 9. Sweep line with its bloom: the cached sprite, turned (in bands).
    {
        const double reach = r + sweepBloomOffset + 8;
        const QPointF tip = c + reach * QPointF(std::cos(phi), std::sin(phi));
        const QRectF box = QRectF(c, tip).normalized().adjusted(-sweepBloomOffset - 8, -sweepBloomOffset - 8,
                                                                  sweepBloomOffset + 8, sweepBloomOffset + 8);
        inBands(p, box, [&] {
            p.save();
            p.setRenderHint(QPainter::SmoothPixmapTransform);
            p.translate(c);
            p.rotate(phi * 180 / pi);
            p.drawImage(-m_sweepPivot, m_sweep);
            p.restore();
        });
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

    // The frame is composed in an image of our own (so the trail can be written
    // directly), starting from a copy of the still layers.
    if (m_frame.size() != m_base.size() || m_frame.devicePixelRatio() != m_base.devicePixelRatio()) {
        m_frame = QImage(m_base.size(), QImage::Format_ARGB32_Premultiplied);
        m_frame.setDevicePixelRatio(m_base.devicePixelRatio());
    }
    std::memcpy(m_frame.bits(), m_base.constBits(), size_t(m_base.sizeInBytes()));
    {
        QPainter p(&m_frame);
        p.setRenderHint(QPainter::Antialiasing);
        p.translate(origin());
        paintUnderTrail(p, t);
    }
    paintTrail(t);
    QPainter p(&m_frame);
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(origin());
    paintOverTrail(p, t);

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
    p.end();

    QPainter w(this);
    if (testAttribute(Qt::WA_OpaquePaintEvent))
        w.setCompositionMode(QPainter::CompositionMode_Source);
    w.drawImage(QPoint(0, 0), m_frame);
}

} // namespace tsav
