#include "kit/instruments/radarview.h"

#include "kit/frameclock.h"
#include "kit/instruments/effects.h"
#include "kit/instruments/glow.h"
#include "kit/instruments/pixels.h"
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

// Made once (never freed, like every font the instruments keep): a font built afresh
// looks its engine up again for each measure, and the read-outs are measured every frame.
const QFont &readoutFont()
{
    static const QFont *f = new QFont(fonts::mono(8, fonts::Weight::Bold));
    return *f;
}
const QFont &labelFont()
{
    static const QFont *f = new QFont(fonts::mono(7, fonts::Weight::Bold));
    return *f;
}

QImage dotWithGlow(double diameter, const QColor &c, double glowRadius, qreal dpr)
{
    QImage dot = blankImage(QSizeF(diameter, diameter), dpr);
    {
        QPainter p(&dot);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(c);
        p.drawEllipse(QRectF(0, 0, diameter, diameter));
    }
    QImage out = glowOf(dot, c, glowRadius);
    {
        QPainter p(&out);
        const double pad = glowPadding(glowRadius, dpr) / dpr;
        p.drawImage(QPointF(pad, pad), dot);
    }
    return withoutPainter(out);
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
    m_reticles.clear();
    m_trailMapSize = QSize();
    m_glyphs.clear();
}

// Read-outs are drawn a character at a time from cached glyphs (the font is monospaced):
// shaping the changing lines anew each frame cost more than the rest of the scope.
void RadarView::paintReadout(QPainter &p, const QStringList &lines, QPointF anchor, bool trailing)
{
    const QFont &font = readoutFont();
    const QFontMetricsF fm(font);
    const double lineH = fm.height() - 1;
    const qreal dpr = devicePixelRatioF();
    const QColor colour = pal::withOpacity(pal::accentBlue, 0.85);
    double y = anchor.y() - lineH * lines.size() / 2 + fm.ascent();
    for (const QString &line : lines) {
        double w = 0;
        for (QChar ch : line) {
            auto it = m_glyphs.find(ch);
            if (it == m_glyphs.end())
                it = m_glyphs.insert(
                    ch, Glyph{withoutPainter(textImage(QString(ch), font, colour, dpr)), fm.horizontalAdvance(ch)});
            w += it->advance;
        }
        double x = trailing ? anchor.x() - w : anchor.x();
        for (QChar ch : line) {
            const Glyph &g = m_glyphs[ch];
            p.drawImage(QPointF(x, y - fm.ascent()), g.image);
            x += g.advance;
        }
        y += lineH;
    }
}

void RadarView::buildBase()
{
    const qreal dpr = devicePixelRatioF();
    m_base = backdropImage(BackdropCopy::drop);
    QPainter p(&m_base);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.translate(origin());

    const double s = m_size;
    const QPointF c(s / 2, s / 2);
    const double r6 = s / 2 - 6;

    // Disc, spokes, rings and ticks are written as pixels: antialiased paths as tall as
    // the scope would each be split across Qt's thread pool.
    const QPointF o = origin();
    auto dev = [&](QPointF scope) { return (o + scope) * dpr; };

    // 1. Background disc: a radial gradient from the centre to the rim.
    {
        const QColor inner = QColor::fromRgbF(0.02f, 0.06f, 0.10f), outer = QColor::fromRgbF(0.0f, 0.02f, 0.05f);
        const QPointF cd = dev(c);
        const double rd = s / 2 * dpr;
        const int y0 = std::max(0, int(std::floor(cd.y() - rd - 1))), y1 = std::min(m_base.height() - 1, int(std::ceil(cd.y() + rd + 1)));
        const int x0 = std::max(0, int(std::floor(cd.x() - rd - 1))), x1 = std::min(m_base.width() - 1, int(std::ceil(cd.x() + rd + 1)));
        for (int y = y0; y <= y1; ++y) {
            auto *row = reinterpret_cast<QRgb *>(m_base.scanLine(y));
            const float dy = float(y + 0.5 - cd.y());
            for (int x = x0; x <= x1; ++x) {
                const float dx = float(x + 0.5 - cd.x());
                const float d = std::sqrt(dx * dx + dy * dy);
                const float cover = std::clamp(float(rd) + 0.5f - d, 0.0f, 1.0f);
                if (cover <= 0)
                    continue;
                const float k = std::min(d / float(rd), 1.0f);
                pixels::blendPixel(row + x, int(float(inner.red()) + float(outer.red() - inner.red()) * k + 0.5f),
                                   int(float(inner.green()) + float(outer.green() - inner.green()) * k + 0.5f),
                                   int(float(inner.blue()) + float(outer.blue() - inner.blue()) * k + 0.5f),
                                   int(255 * cover + 0.5f));
            }
        }
    }

    QImage disc = blankImage(QSizeF(s, s), dpr);
    pixels::blendDisc(disc, c * dpr, s / 2 * dpr, qRgb(255, 255, 255), 1.0);
    m_disc = disc.convertToFormat(QImage::Format_Alpha8); // only its coverage is used

    const QRgb blue = pal::accentBlue.rgb();
    // 4. Spokes.
    for (int k = 0; k < 8; ++k) {
        const double a = k * pi / 4;
        pixels::blendSegment(m_base, dev(c), dev(c + (s / 2 - 8) * QPointF(std::cos(a), std::sin(a))), 0.5 * dpr,
                             blue, 0.08, 0.08);
    }

    // 5. Rings, cross-hair, centre cross and rim ticks.
    pixels::blendRing(m_base, dev(c), r6 * dpr, 1.5 * dpr, blue, 0.60);
    for (double f : {0.25, 0.5, 0.75})
        pixels::blendRing(m_base, dev(c), r6 * f * dpr, dpr, blue, 0.25);
    auto line = [&](QPointF p0, QPointF p1, double width, double opacity) {
        pixels::blendSegment(m_base, dev(p0), dev(p1), width * dpr, blue, opacity, opacity);
    };
    line(QPointF(c.x() - r6, c.y()), QPointF(c.x() + r6, c.y()), 1, 0.20);
    line(QPointF(c.x(), c.y() - r6), QPointF(c.x(), c.y() + r6), 1, 0.20);
    line(QPointF(c.x() - 6, c.y()), QPointF(c.x() + 6, c.y()), 1, 0.55);
    line(QPointF(c.x(), c.y() - 6), QPointF(c.x(), c.y() + 6), 1, 0.55);
    for (int k = 0; k < 36; ++k) {
        const double a = -pi / 2 + k * pi / 18;
        const bool major = k % 3 == 0;
        const QPointF dir(std::cos(a), std::sin(a));
        line(c + r6 * dir, c + (r6 - (major ? 6 : 3)) * dir, major ? 2 : 1, major ? 0.80 : 0.30);
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
    paintReadout(p, radar::topLeftReadout(), c + QPointF(-s / 2 + 26, -s / 2 + 18), false);
    paintReadout(p, radar::topRightReadout(m_threatCount), c + QPointF(s / 2 - 26, -s / 2 + 18), true);
    p.end();
    m_base = withoutPainter(m_base);
    markOpaque(m_base);
}

void RadarView::buildSprites()
{
    const qreal dpr = devicePixelRatioF();
    const double r = m_size / 2 - 8;
    // The sweep line along +x from the pivot, with its tip dot, then its bloom.
    QImage line = blankImage(QSizeF(r + 8, 12), dpr);
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
        it = m_labelCache.insert(label,
                                 withoutPainter(textImage(label, labelFont(), pal::accentRed, devicePixelRatioF())));
    }
    return *it;
}

// The lock-on reticle turned by `degrees`, at full opacity. Its four brackets repeat
// every quarter turn, so 90 one-degree steps cover every angle; each is drawn once and
// kept as its visible pixels (about a sixth of the square).
const pixels::SparseImage &RadarView::reticlePixels(double degrees)
{
    const int step = int(std::floor(std::fmod(std::fmod(degrees, 90.0) + 90.0, 90.0))) % 90;
    const qreal dpr = devicePixelRatioF();
    if (m_reticles.size() != 90 || m_reticlesDpr != dpr) {
        m_reticles.assign(90, pixels::SparseImage());
        m_reticlesDpr = dpr;
    }
    pixels::SparseImage &img = m_reticles[size_t(step)];
    if (img.isNull()) {
        constexpr double side = 36; // the 24-point reticle turned, with its pen
        QImage drawn = blankImage(QSizeF(side, side), dpr);
        {
            QPainter p(&drawn);
            p.setRenderHint(QPainter::Antialiasing);
            p.translate(side / 2, side / 2);
            p.rotate(step);
            p.setBrush(Qt::NoBrush);
            p.setPen(QPen(pal::accentRed, 1.5));
            p.drawPath(radar::lockOnReticle(QRectF(-12, -12, 24, 24)));
        }
        img = pixels::SparseImage(drawn);
    }
    return img;
}

// 2. Stars and 3. ripples, written straight into the frame: seventy dots and three thin
// rings through the path filler cost more than the rest of the frame together.
void RadarView::paintUnderTrail(double t)
{
    const qreal dpr = m_frame.devicePixelRatio();
    const double s = m_size;
    const QPointF c = (origin() + QPointF(s / 2, s / 2)) * dpr;
    const double r6 = s / 2 - 6;

    for (int j = 0; j < 70; ++j) {
        const radar::Star st = radar::star(j, s, t);
        pixels::blendDisc(m_frame, c + st.offset * dpr, st.radius * dpr, qRgb(255, 255, 255), st.opacity);
    }
    const QRgb blue = pal::accentBlue.rgb();
    for (int k = 0; k < 3; ++k) {
        const radar::Ripple rp = radar::ripple(k, t, r6);
        if (rp.radius < 0.5)
            continue;
        pixels::blendRing(m_frame, c, rp.radius * dpr, dpr, blue, rp.opacity);
    }
}

// The angle of every pixel of the frame around the scope's centre, in 65536ths of a turn,
// and how much of it lies inside the trail's circle (255 within, 0 outside): made once
// per size, so that a frame's trail needs no trigonometry at all.
void RadarView::buildTrailMap()
{
    const qreal dpr = m_frame.devicePixelRatio();
    const QPointF o = origin();
    const double r = (m_size / 2 - 8) * dpr;
    const double cx = (o.x() + m_size / 2) * dpr, cy = (o.y() + m_size / 2) * dpr;
    const int w = m_frame.width(), h = m_frame.height();
    m_trailAngle.assign(size_t(w) * size_t(h), 0);
    m_trailCover.assign(size_t(w) * size_t(h), 0);
    // Only the pixels inside the circle need an angle (the trail is drawn nowhere else).
    const float reach2 = float((r + 1) * (r + 1));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const float dx = float(x + 0.5 - cx), dy = float(y + 0.5 - cy);
            const float d2 = dx * dx + dy * dy;
            if (d2 > reach2)
                continue;
            const float cover = std::clamp(float(r) + 0.5f - std::sqrt(d2), 0.0f, 1.0f);
            const size_t i = size_t(y) * size_t(w) + size_t(x);
            m_trailCover[i] = quint8(255 * cover + 0.5f);
            float a = std::atan2(dy, dx) * float(1 / (2 * pi));
            if (a < 0)
                a += 1;
            m_trailAngle[i] = quint16(int(a * 65536 + 0.5f) & 0xffff);
        }
    m_trailMapSize = m_frame.size();
}

// 7. The trail, straight into the frame: the pixels of the sector behind the line get
// accentRed at 0.4 (1 - f)^2.4, f the angle behind the line over the trail's span.
void RadarView::paintTrail(double t)
{
    if (m_trailMapSize != m_frame.size())
        buildTrailMap();
    const qreal dpr = m_frame.devicePixelRatio();
    const QPointF o = origin();
    const double r = (m_size / 2 - 8) * dpr;
    const double cx = (o.x() + m_size / 2) * dpr, cy = (o.y() + m_size / 2) * dpr;
    const double phi = radar::sweepAngle(t);
    constexpr double span = 2.6;

    // Opacity by angle behind the line.
    static const pixels::TrailOpacity lut = [] {
        pixels::TrailOpacity l{};
        for (size_t i = 0; i < l.size(); ++i) {
            const double behind = (i + 0.5) / l.size() * 2 * pi;
            l[i] = behind >= span ? 0 : quint8(std::lround(255 * radar::trailOpacity(behind / span)));
        }
        return l;
    }();
    const quint32 red = pal::accentRed.rgb() | 0xff000000u;
    double phiTurn = std::fmod(phi / (2 * pi), 1.0);
    if (phiTurn < 0)
        phiTurn += 1;
    const quint16 phiFixed = quint16(int(std::lround(phiTurn * 65536)) & 0xffff);

    // The sector is convex (span < π): on each row it is one run of pixels, bounded by
    // the two edges' half-planes and the circle. Only that run (a pixel and a half wider
    // on each side) is visited; the angle map decides each pixel.
    const double e1x = std::cos(phi - span), e1y = std::sin(phi - span); // trailing edge
    const double e2x = std::cos(phi), e2y = std::sin(phi);               // the sweep line
    auto runOf = [&](double dy, double &lo, double &hi) {
        const double reach2 = (r + 1) * (r + 1) - dy * dy;
        if (reach2 < 0)
            return false;
        lo = -std::sqrt(reach2);
        hi = -lo;
        // Inside: e1 × p >= 0 (at or past the trailing edge) and p × e2 >= 0.
        auto bound = [&](double a, double b) { // a + b dx >= 0
            if (std::abs(b) < 1e-9)
                return a >= -1.5;
            const double x = -a / b;
            if (b > 0)
                lo = std::max(lo, x - 1.5);
            else
                hi = std::min(hi, x + 1.5);
            return true;
        };
        if (!bound(e1x * dy, -e1y) || !bound(-dy * e2x, e2y))
            return false;
        return lo <= hi;
    };
    const int w = m_frame.width();
    const int y0 = std::max(0, int(std::floor(cy - r - 1))), y1 = std::min(m_frame.height() - 1, int(std::ceil(cy + r + 1)));
    const pixels::Rows rows(m_frame);
    for (int y = y0; y <= y1; ++y) {
        double lo, hi;
        if (!runOf(y + 0.5 - cy, lo, hi))
            continue;
        const int xa = std::max(0, int(std::floor(cx + lo - 0.5)));
        const int xb = std::min(w - 1, int(std::ceil(cx + hi - 0.5)));
        const size_t at = size_t(y) * size_t(w);
        pixels::blendTrailRun(rows[y], m_trailAngle.data() + at, m_trailCover.data() + at, xa, xb, phiFixed, lut, red);
    }
}

void RadarView::paintOverTrail(QPainter &p, double t)
{
    const double s = m_size;
    const QPointF c(s / 2, s / 2);
    const double r = s / 2 - 8;
    const double phi = radar::sweepAngle(t);

    // 8. Sparks, straight into the frame like the stars.
    {
        const qreal dpr = m_frame.devicePixelRatio();
        const QPointF cd = (origin() + c) * dpr;
        const QRgb red = pal::accentRed.rgb();
        for (int j = 0; j < 18; ++j) {
            const radar::Spark sp = radar::spark(j);
            const double a = phi + sp.angleOffset;
            const double d = r * sp.distanceFraction;
            pixels::blendDisc(m_frame, cd + d * dpr * QPointF(std::cos(a), std::sin(a)), sp.radius * dpr, red,
                              sp.opacity);
        }
    }

    // 9. Sweep line with its bloom: the cached sprite, turned (in bands).
    {
        const double reach = r + sweepBloomOffset + 8;
        const QPointF tip = c + reach * QPointF(std::cos(phi), std::sin(phi));
        const QRectF box = QRectF(c, tip).normalized().adjusted(-sweepBloomOffset - 8, -sweepBloomOffset - 8,
                                                                  sweepBloomOffset + 8, sweepBloomOffset + 8);
        // Without antialiasing: the sprite's own edges are transparent, and the extra
        // edge spans of an antialiased blit would hand each band to the thread pool.
        inBands(p, box, [&] {
            p.save();
            p.setRenderHint(QPainter::Antialiasing, false);
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
        const pixels::SparseImage &ret = reticlePixels(30 * t);
        const double half = ret.size().width() / ret.devicePixelRatio() / 2;
        const QPointF corner = at - QPointF(half, half);
        p.setOpacity(std::clamp(pulse, 0.0, 1.0));
        // Where the painter only moves the frame's pixels, the reticle is written straight
        // into the frame where it would have put it; otherwise the painter places it.
        if (p.deviceTransform().type() <= QTransform::TxTranslate) {
            const QPointF d = p.deviceTransform().map(corner);
            ret.drawOver(m_frame, QPoint(qRound(d.x()), qRound(d.y())), int(p.opacity() * 256));
        } else {
            p.drawImage(corner, ret.toImage());
        }
        p.setOpacity(1);
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
        const qreal dpr = m_frame.devicePixelRatio();
        pixels::blendRing(m_frame, (origin() + c) * dpr, 8 * k * dpr, 1.5 * k * dpr, col.rgb(), 0.5);
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
    if (m_frame.size() != m_base.size() || m_frame.devicePixelRatio() != m_base.devicePixelRatio()
        || m_frame.format() != m_base.format()) {
        m_frame = QImage(m_base.size(), m_base.format());
        m_frame.setDevicePixelRatio(m_base.devicePixelRatio());
    }
    std::memcpy(m_frame.bits(), m_base.constBits(), size_t(m_base.sizeInBytes()));
    paintUnderTrail(t);
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
    paintReadout(p, radar::bottomLeftReadout(radar::bearing(radar::sweepPhase(t))),
                 c + QPointF(-s / 2 + 26, s / 2 - 22), false);
    paintReadout(p, radar::bottomRightReadout(m_active, t), c + QPointF(s / 2 - 26, s / 2 - 22), true);
    p.end();

    QPainter w(this);
    if (testAttribute(Qt::WA_OpaquePaintEvent))
        w.setCompositionMode(QPainter::CompositionMode_Source);
    drawImageInBands(w, QPointF(0, 0), m_frame);
}

} // namespace tsav
