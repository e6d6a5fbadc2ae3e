#include "kit/instruments/lineargauge.h"

#include "kit/frameclock.h"
#include "kit/instruments/effects.h"
#include "kit/palette.h"
#include "kit/typography.h"

#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>

#include <cmath>

namespace tsav {

namespace {
constexpr double headerHeight = 16;
constexpr double barTop = headerHeight + 6;
constexpr int bloomOffset = 10;
constexpr float scanlineStrength = 0.25f;
constexpr int noBand = -1 << 30;

QFont titleFont() { return fonts::system(11, fonts::Weight::Medium); }
QFont readoutFont() { return fonts::monoDigits(fonts::system(11, fonts::Weight::Semibold)); }
} // namespace

LinearGauge::LinearGauge(LinearGaugeSpec spec, QWidget *parent) : Instrument(maxFps, parent), m_spec(std::move(spec))
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_spring.snapTo(fraction());
    m_text.set(readoutText(), FrameClock::now());
}

LinearGauge::LinearGauge(QString title, double value, double max, QString unit, QString format,
                         QColor tint, QWidget *parent)
    : LinearGauge(LinearGaugeSpec{std::move(title), value, max, std::move(unit), std::move(format), tint},
                  parent)
{
}

void LinearGauge::setSpec(const LinearGaugeSpec &spec)
{
    const double now = FrameClock::now();
    const bool tintChanged = spec.tint != m_spec.tint;
    m_spec = spec;
    // A frozen clock never advances (a snapshot renders once): show the settled end
    // state rather than the first frame of the motion.
    const bool animate = !FrameClock::frozen();
    if (animate)
        m_spring.retarget(fraction(), now);
    else
        m_spring.snapTo(fraction());
    m_text.set(readoutText(), now, animate);
    if (tintChanged)
        m_fillKey = -1;
    inputsChanged();
}

void LinearGauge::setValue(double value)
{
    LinearGaugeSpec s = m_spec;
    s.value = value;
    setSpec(s);
}

QRectF LinearGauge::barRect() const { return {0, barTop, double(width()), barHeight}; }

QSize LinearGauge::sizeHint() const { return {200, int(barTop + barHeight + 8)}; }
QSize LinearGauge::minimumSizeHint() const { return {40, int(barTop + barHeight + 8)}; }

int LinearGauge::fillPxAt(double t) const
{
    return int(std::lround(std::clamp(m_spring.value(t), 0.0, 1.0) * width()));
}

LinearGauge::Frame LinearGauge::frameAt(double t) const
{
    Frame f;
    f.fillPx = fillPxAt(t);
    f.rollStep = m_text.step(t);
    if (f.fillPx > 0 && effects::find(effects::scanlineName)) {
        const double logical = barHeight + (effects::find(effects::bloomName) ? 2 * bloomOffset : 0);
        f.band = effects::scanlineCentre(effects::timeArgument(t), int(std::lround(logical * devicePixelRatioF())));
    }
    return f;
}

FrameKey LinearGauge::frameKey(double t) const
{
    const Frame f = frameAt(t);
    return FrameKey().add(f.fillPx).add(f.rollStep).add(f.band);
}

// As a dial's arc: only the part of the motion that moves more than a pixel or a roll's
// step per 30th of a second needs more frames than an instrument at rest gets.
bool LinearGauge::inMotion(double t) const
{
    if (!m_text.rolling(t) && m_spring.settled(t))
        return false;
    const double next = t + 1.0 / restFps;
    return skipsAtRest(fillPxAt(t), fillPxAt(next)) || skipsAtRest(m_text.step(t), m_text.step(next));
}

void LinearGauge::invalidateCaches()
{
    m_composite = QImage();
    m_fill = QImage();
    m_fillKey = -1;
}

const QImage &LinearGauge::fillLayer(int fillPx)
{
    if (!m_fill.isNull() && fillPx == m_fillKey)
        return m_fill;
    const qreal dpr = devicePixelRatioF();
    QImage layer = blankImage(QSizeF(std::max(fillPx, 1), barHeight), dpr);
    if (fillPx > 0) {
        QPainter p(&layer);
        p.setRenderHint(QPainter::Antialiasing);
        QLinearGradient g(0, 0, fillPx, 0);
        g.setColorAt(0, palette::withOpacity(m_spec.tint, 0.5));
        g.setColorAt(1, m_spec.tint);
        p.setPen(Qt::NoPen);
        p.setBrush(g);
        p.drawRoundedRect(QRectF(0, 0, fillPx, barHeight), 4, 4);
    }
    m_fillOrigin = QPoint(0, 0);
    if (const auto *bloom = effects::find(effects::bloomName); bloom && fillPx > 0) {
        m_fill = bloom->apply(layer, 7.0f, 1.1f, QSize(bloomOffset, bloomOffset));
        m_fillOrigin = QPoint(-bloomOffset, -bloomOffset);
    } else {
        m_fill = layer;
    }
    m_fillKey = fillPx;
    return m_fill;
}

void LinearGauge::buildComposite(const Frame &f, double t)
{
    const qreal dpr = devicePixelRatioF();
    if (m_composite.size() != (QSizeF(size()) * dpr).toSize()) {
        m_composite = QImage((QSizeF(size()) * dpr).toSize(), QImage::Format_ARGB32_Premultiplied);
        m_composite.setDevicePixelRatio(dpr);
    }
    m_composite.fill(Qt::transparent);
    QPainter p(&m_composite);
    paintBackdrop(p);
    p.setRenderHint(QPainter::Antialiasing);

    const QRectF header(0, 0, width(), headerHeight);
    p.setFont(titleFont());
    p.setPen(palette::textSecondary);
    p.drawText(header, Qt::AlignLeft | Qt::AlignVCenter, m_spec.title);
    m_text.draw(p, header, Qt::AlignRight, readoutFont(), palette::textPrimary, t);

    const QRectF bar = barRect();
    p.setPen(Qt::NoPen);
    p.setBrush(palette::hairline);
    p.drawRoundedRect(bar, 4, 4);
    p.setPen(QPen(QColor(255, 255, 255, 10), 0.5));
    for (double x : gauge::gridLines(bar.width()))
        p.drawLine(QPointF(x, bar.top()), QPointF(x, bar.bottom()));

    if (f.fillPx > 0) {
        const QImage &fill = fillLayer(f.fillPx);
        p.drawImage(bar.topLeft() + QPointF(m_fillOrigin), fill);
    }
    m_compositeKey = FrameKey().add(f.fillPx).add(f.rollStep).value();
}

void LinearGauge::paintEvent(QPaintEvent *)
{
    const double t = FrameClock::now();
    beginFrame(t);
    const Frame f = frameAt(t);
    if (m_composite.isNull() || FrameKey().add(f.fillPx).add(f.rollStep).value() != m_compositeKey)
        buildComposite(f, t);
    QPainter p(this);
    drawImageInBands(p, QPointF(0, 0), m_composite);
    if (f.band != noBand && f.fillPx > 0 && !m_fill.isNull())
        if (const auto *scan = effects::find(effects::scanlineName))
            scan->drawOver(p, barRect().topLeft().toPoint() + m_fillOrigin, m_fill, effects::timeArgument(t), scanlineStrength);
}

} // namespace tsav
