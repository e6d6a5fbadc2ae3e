#include "kit/instruments/gaugeview.h"

#include "kit/frameclock.h"
#include "kit/instruments/effects.h"
#include "kit/palette.h"
#include "kit/typography.h"

#include <QConicalGradient>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <climits>
#include <cmath>

namespace tsav {

namespace {

constexpr double arcInset = 14;
constexpr double arcWidth = 12;
constexpr double trackWidth = 10;
constexpr int arcSteps = 540;         // spring fraction quantum: half a degree of arc
constexpr double glowLineWidth = 77;
constexpr double glowLineTop = GaugeView::dialSize + 8;
constexpr double captionTop = glowLineTop + 8;
constexpr double captionHeight = 14;
constexpr float scanlineStrength = 0.16f;

QFont numberFont() { return fonts::monoDigits(fonts::rounded(22, fonts::Weight::Bold)); }
QFont unitFont() { return fonts::tracked(fonts::system(9, fonts::Weight::Semibold), 0.8); }
QFont captionFont() { return fonts::tracked(fonts::system(9, fonts::Weight::Semibold), 1.2); }

QImage blankImage(QSizeF logical, qreal dpr)
{
    QImage img((logical * dpr).toSize(), QImage::Format_ARGB32_Premultiplied);
    img.setDevicePixelRatio(dpr);
    img.fill(Qt::transparent);
    return img;
}

} // namespace

struct GaugeView::Frame {
    int rotationStep = 0; // tick rotation in steps of one pixel at the rim
    int springStep = 0;   // animated fraction in 1/arcSteps
    QRgb colour = 0;
    bool live = false;
    int rollStep = 20;    // read-out roll progress in twentieths
    int band = INT_MIN;   // scan-line centre row over the arc, when visible

    FrameKey key(bool withBand) const
    {
        FrameKey k;
        k.add(rotationStep).add(springStep).add(std::int64_t(colour)).add(live ? 1 : 0).add(rollStep);
        if (withBand)
            k.add(band);
        return k;
    }
};

GaugeView::GaugeView(GaugeSpec spec, QWidget *parent) : Instrument(maxFps, parent)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_spec = spec;
    m_spring.snapTo(gauge::fraction(spec.value, spec.max));
    m_text.set(readoutText(), FrameClock::now());
}

GaugeView::GaugeView(QString title, double value, double max, QString unit, QString format,
                     std::optional<QString> centerText, gauge::Zones zones, bool reverseColors,
                     QWidget *parent)
    : GaugeView(GaugeSpec{std::move(title), value, max, std::move(unit), std::move(format),
                          std::move(centerText), std::move(zones), reverseColors},
                parent)
{
}

GaugeView::~GaugeView() = default;

void GaugeView::setSpec(const GaugeSpec &spec)
{
    const double now = FrameClock::now();
    m_spec = spec;
    // A frozen clock never advances (a snapshot renders once): show the settled end
    // state rather than the first frame of the motion.
    const bool animate = !FrameClock::frozen();
    if (animate)
        m_spring.retarget(gauge::fraction(spec.value, spec.max), now);
    else
        m_spring.snapTo(gauge::fraction(spec.value, spec.max));
    m_text.set(readoutText(), now, animate);
    inputsChanged();
}

void GaugeView::setValue(double value)
{
    GaugeSpec s = m_spec;
    s.value = value;
    setSpec(s);
}

double GaugeView::fraction() const { return gauge::fraction(m_spec.value, m_spec.max); }

QColor GaugeView::zoneColor() const
{
    return gauge::zoneColor(m_spec.zones, fraction(), m_spec.reverseColors);
}

QString GaugeView::readoutText() const
{
    return gauge::readout(m_spec.value, m_spec.format,
                          m_spec.centerText ? &*m_spec.centerText : nullptr);
}

QSize GaugeView::sizeHint() const { return {dialSize + 20, int(captionTop + captionHeight + 2)}; }
QSize GaugeView::minimumSizeHint() const { return {dialSize, int(captionTop + captionHeight + 2)}; }

QRectF GaugeView::dialRect() const
{
    return {std::floor((width() - dialSize) / 2.0), 0, double(dialSize), double(dialSize)};
}

GaugeView::Frame GaugeView::frameAt(double t) const
{
    Frame f;
    const double rim = dialSize / 2.0 - 1;
    f.rotationStep = int(std::floor(gauge::tickRotation(m_spec.value, t) * rim));
    const double animated = std::clamp(m_spring.value(t), -0.1, 1.1);
    f.springStep = int(std::lround(animated * arcSteps));
    f.colour = zoneColor().rgba();
    f.live = fraction() > 0.02;
    f.rollStep = int(std::floor(m_text.progress(t) * 20));
    if (f.springStep > 0 && effects::find(effects::scanlineName)) {
        const double logical = dialSize + (effects::find(effects::bloomName) ? 2 * arcInset : 0);
        const int layerHeight = int(std::lround(logical * devicePixelRatioF()));
        f.band = effects::scanlineCentre(effects::timeArgument(t), layerHeight);
    }
    return f;
}

FrameKey GaugeView::frameKey(double t) const
{
    return frameAt(t).key(true);
}

void GaugeView::invalidateCaches()
{
    m_composite = QImage();
    m_arc = m_needle = m_glow = QImage();
    m_arcKey = m_needleKey = m_glowKey = 0;
}

void GaugeView::paintDialBase(QPainter &p, const QRectF &dial) const
{
    const QPointF c = dial.center();
    const double r = dial.width() / 2 - 1;
    p.setPen(QPen(palette::hairline, 1));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(c, r, r);

    // Track: the whole 270-degree arc.
    const QRectF arcRect = dial.adjusted(arcInset, arcInset, -arcInset, -arcInset);
    QLinearGradient g(arcRect.topLeft(), arcRect.topRight());
    g.setColorAt(0, palette::hairline);
    g.setColorAt(1, palette::withOpacity(palette::hairline, 0.4));
    QPainterPath track;
    track.arcMoveTo(arcRect, -135);
    track.arcTo(arcRect, -135, -270);
    p.setPen(QPen(QBrush(g), trackWidth, Qt::SolidLine, Qt::RoundCap));
    p.drawPath(track);
}

void GaugeView::paintTicks(QPainter &p, const QRectF &dial, double rotation) const
{
    const QPointF c = dial.center();
    const double r = dial.width() / 2 - 1;
    QLineF major[12], minor[48];
    int nm = 0, nn = 0;
    for (int i = 0; i < 60; ++i) {
        const double a = rotation + 2 * M_PI * i / 60;
        const QPointF dir(std::cos(a), std::sin(a));
        const double len = (i % 5 == 0) ? 5 : 2.5;
        const QLineF l(c + (r - len) * dir, c + r * dir);
        if (i % 5 == 0)
            major[nm++] = l;
        else
            minor[nn++] = l;
    }
    p.setPen(QPen(palette::withOpacity(palette::textSecondary, 0.45), 1.3));
    p.drawLines(major, nm);
    p.setPen(QPen(palette::withOpacity(palette::textSecondary, 0.20), 0.8));
    p.drawLines(minor, nn);
}

const QImage &GaugeView::arcLayer(const Frame &f)
{
    const std::uint64_t key = FrameKey().add(f.springStep).add(std::int64_t(f.colour)).value();
    if (!m_arc.isNull() && key == m_arcKey)
        return m_arc;
    const qreal dpr = devicePixelRatioF();
    QImage layer = blankImage(QSizeF(dialSize, dialSize), dpr);
    const double frac = std::clamp(double(f.springStep) / arcSteps, 0.0,
                                   (1.0 - gauge::arcStartTurn) / gauge::arcSpanTurn);
    if (frac > 0) {
        QPainter p(&layer);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF dial(0, 0, dialSize, dialSize);
        const QRectF arcRect = dial.adjusted(arcInset, arcInset, -arcInset, -arcInset);
        const QColor c = QColor::fromRgba(f.colour);
        // Angular gradient clockwise from straight down (the arc's gap), as the arc is
        // turned by a quarter; Qt's conical gradient runs counter-clockwise, so the
        // stops are mirrored.
        QConicalGradient g(dial.center(), 270);
        g.setColorAt(0, palette::withOpacity(c, 0.95));
        g.setColorAt(0.5, c);
        g.setColorAt(1, palette::withOpacity(c, 0.30));
        QPainterPath arc;
        arc.arcMoveTo(arcRect, -135);
        arc.arcTo(arcRect, -135, -270 * frac);
        p.setPen(QPen(QBrush(g), arcWidth, Qt::SolidLine, Qt::RoundCap));
        p.drawPath(arc);
    }
    m_arcOrigin = QPoint(0, 0);
    if (const auto *bloom = effects::find(effects::bloomName); bloom && frac > 0) {
        m_arc = bloom->apply(layer, 10.0f, 1.4f, QSize(int(arcInset), int(arcInset)));
        m_arcOrigin = QPoint(-int(arcInset), -int(arcInset));
    } else {
        m_arc = layer;
    }
    m_arcKey = key;
    return m_arc;
}

const QImage &GaugeView::needleLayer(const Frame &f)
{
    const std::uint64_t key =
        FrameKey().add(f.springStep).add(std::int64_t(f.colour)).add(f.live ? 1 : 0).value();
    if (!m_needle.isNull() && key == m_needleKey)
        return m_needle;
    const qreal dpr = devicePixelRatioF();
    const QColor c = QColor::fromRgba(f.colour);
    const int pad = glowPadding(8, dpr);
    const double padPt = pad / dpr;
    m_needle = blankImage(QSizeF(dialSize + 2 * padPt, dialSize + 2 * padPt), dpr);
    QPainter p(&m_needle);
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(padPt, padPt);
    p.setOpacity(f.live ? 0.85 : 0.15);
    const double deg = 270.0 * double(f.springStep) / arcSteps - 135.0;
    const QPointF c0(dialSize / 2.0, dialSize / 2.0);
    const QPointF tip = gauge::needleTip(deg, dialSize, dialSize);
    QLinearGradient g(c0, tip);
    g.setColorAt(0, palette::withOpacity(c, 0));
    g.setColorAt(1, c);
    p.setPen(QPen(QBrush(g), 2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(c0, tip);
    // Tip dot with its glow.
    QImage dot = blankImage(QSizeF(7, 7), dpr);
    {
        QPainter dp(&dot);
        dp.setRenderHint(QPainter::Antialiasing);
        dp.setPen(Qt::NoPen);
        dp.setBrush(c);
        dp.drawEllipse(QRectF(0, 0, 7, 7));
    }
    const QImage glow = glowOf(dot, c, 8);
    p.drawImage(tip - QPointF(3.5 + padPt, 3.5 + padPt), glow);
    p.drawImage(tip - QPointF(3.5, 3.5), dot);
    m_needleKey = key;
    return m_needle;
}

const QImage &GaugeView::readoutGlow(const QColor &c)
{
    const QString text = m_text.text();
    const std::uint64_t key = FrameKey().add(std::int64_t(qHash(text))).add(std::int64_t(c.rgba())).value();
    if (!m_glow.isNull() && key == m_glowKey)
        return m_glow;
    const QImage shape = textImage(text, numberFont(), Qt::white, devicePixelRatioF());
    m_glow = glowOf(shape, palette::withOpacity(c, 0.6), 8);
    m_glowKey = key;
    return m_glow;
}

void GaugeView::buildComposite(const Frame &f, double t)
{
    const qreal dpr = devicePixelRatioF();
    if (m_composite.size() != (QSizeF(size()) * dpr).toSize() || m_composite.devicePixelRatio() != dpr)
        m_composite = blankImage(size(), dpr);
    else
        m_composite.fill(Qt::transparent);

    QPainter p(&m_composite);
    paintBackdrop(p);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF dial = dialRect();
    const QColor c = QColor::fromRgba(f.colour);
    const double rim = dialSize / 2.0 - 1;

    paintDialBase(p, dial);
    paintTicks(p, dial, f.rotationStep / rim);

    const QImage &arc = arcLayer(f);
    p.drawImage(dial.topLeft() + QPointF(m_arcOrigin), arc);

    const QImage &needle = needleLayer(f);
    const double pad = (needle.width() / dpr - dialSize) / 2;
    p.drawImage(dial.topLeft() - QPointF(pad, pad), needle);

    // Read-out: number (with glow) and unit, centred on the dial.
    const QFont nf = numberFont();
    const QFontMetricsF nfm(nf);
    const bool hasUnit = !m_spec.unit.isEmpty();
    const double numberH = nfm.height();
    const double unitH = hasUnit ? QFontMetricsF(unitFont()).height() : 0;
    const double top = dial.center().y() - (numberH + unitH) / 2;
    const QRectF numberRect(dial.left(), top, dial.width(), numberH);
    const QImage &glow = readoutGlow(c);
    const double glowPad = glowPadding(8, dpr) / dpr;
    const double textW = nfm.horizontalAdvance(m_text.text());
    p.drawImage(QPointF(numberRect.center().x() - textW / 2 - glowPad, numberRect.top() - glowPad), glow);
    m_text.draw(p, numberRect, Qt::AlignHCenter, nf, palette::textPrimary, t);
    if (hasUnit) {
        p.setFont(unitFont());
        p.setPen(palette::textSecondary);
        p.drawText(QRectF(dial.left(), numberRect.bottom(), dial.width(), unitH), Qt::AlignCenter,
                   m_spec.unit);
    }

    // Glow line under the dial.
    const QRectF line(dial.center().x() - glowLineWidth / 2, glowLineTop, glowLineWidth, 1.5);
    QLinearGradient lg(line.topLeft(), line.topRight());
    lg.setColorAt(0, palette::withOpacity(c, 0));
    lg.setColorAt(0.5, palette::withOpacity(c, 0.5));
    lg.setColorAt(1, palette::withOpacity(c, 0));
    p.setOpacity(f.live ? 0.85 : 0.15);
    p.fillRect(line.adjusted(0, -0.5, 0, 0.5), QBrush(lg)); // the 0.5-point blur, approximated
    p.setOpacity(1);

    p.setFont(captionFont());
    p.setPen(palette::textTertiary);
    p.drawText(QRectF(0, captionTop, width(), captionHeight), Qt::AlignCenter, m_spec.title.toUpper());

    m_compositeKey = f.key(false).value();
}

void GaugeView::paintEvent(QPaintEvent *)
{
    const double t = FrameClock::now();
    beginFrame(t);
    const Frame f = frameAt(t);
    if (m_composite.isNull() || f.key(false).value() != m_compositeKey)
        buildComposite(f, t);
    QPainter p(this);
    p.drawImage(QPoint(0, 0), m_composite);
    if (f.band != INT_MIN && !m_arc.isNull()) {
        if (const auto *scan = effects::find(effects::scanlineName)) {
            const QPoint at = dialRect().topLeft().toPoint() + m_arcOrigin;
            scan->drawOver(p, at, m_arc, effects::timeArgument(t), scanlineStrength);
        }
    }
}

} // namespace tsav
