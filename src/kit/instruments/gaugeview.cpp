#include "kit/instruments/gaugeview.h"

#include "kit/frameclock.h"
#include "kit/instruments/effects.h"
#include "kit/instruments/pixels.h"
#include "kit/palette.h"
#include "kit/typography.h"

#include <QConicalGradient>
#include <QFontMetricsF>
#include <QHash>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPaintEvent>

#include <array>
#include <climits>
#include <cstring>
#include <memory>
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
// The ticks turn in steps of a 432nd of a turn (about a pixel at the rim); their pattern
// repeats every twelfth of a turn, i.e. every 36 steps.
constexpr int tickStepsPerTurn = 432;
constexpr int tickSteps = tickStepsPerTurn / 12;
constexpr double tickStepRadians = 2 * M_PI / tickStepsPerTurn;
// The arc's largest animated extent (a spring overshoots), and how far past its end the
// glow fades out.
constexpr double arcMaxFraction = 1.1;
constexpr double arcGlowFade = 0.08;

// Made once: a font built afresh has to find its engine again for every measure, and the
// read-out is measured on every frame. (Never freed: fonts outliving the application
// would be torn down after the font database.)
const QFont &numberFont()
{
    static const QFont *f = new QFont(fonts::monoDigits(fonts::rounded(22, fonts::Weight::Bold)));
    return *f;
}
const QFont &unitFont()
{
    static const QFont *f = new QFont(fonts::tracked(fonts::system(9, fonts::Weight::Semibold), 0.8));
    return *f;
}
const QFont &captionFont()
{
    static const QFont *f = new QFont(fonts::tracked(fonts::system(9, fonts::Weight::Semibold), 1.2));
    return *f;
}

} // namespace

struct GaugeView::Frame {
    int rotationStep = 0; // tick rotation in 1/432 turns: about one pixel at the rim
    int springStep = 0;   // animated fraction in 1/arcSteps
    QRgb colour = 0;
    bool live = false;
    int rollStep = 20;    // read-out roll progress in twentieths
    int band = INT_MIN;   // scan-line centre row over the arc, when visible
    std::int64_t text = 0; // the read-out's text (a value above max moves no needle)

    FrameKey key(bool withBand) const
    {
        FrameKey k;
        k.add(rotationStep).add(springStep).add(std::int64_t(colour)).add(live ? 1 : 0).add(rollStep).add(text);
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
    // Every poll sets every dial; most of them show the same look, many the same value.
    const bool sameLook = spec.title == m_spec.title && spec.max == m_spec.max && spec.unit == m_spec.unit
                          && spec.format == m_spec.format && spec.centerText == m_spec.centerText
                          && spec.zones == m_spec.zones && spec.reverseColors == m_spec.reverseColors;
    if (sameLook && spec.value == m_spec.value)
        return;
    const QColor colourBefore = zoneColor();
    const bool liveBefore = fraction() > 0.02;
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
    // A new value on the same dial moves only what the frames redraw anyway (the caches
    // are keyed by what they show); a new zone colour or a dial going dim also repaints
    // the glow line under it.
    if (!sameLook)
        inputsChanged();
    else
        valueChanged(zoneColor() != colourBefore || (fraction() > 0.02) != liveBefore);
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

namespace {
int springStepAt(const Spring &spring, double t)
{
    return int(std::lround(std::clamp(spring.value(t), -0.1, 1.1) * arcSteps));
}
} // namespace

GaugeView::Frame GaugeView::frameAt(double t) const
{
    Frame f;
    f.rotationStep = int(std::floor(std::fmod(gauge::tickRotation(m_spec.value, t), 2 * M_PI) / tickStepRadians));
    f.springStep = springStepAt(m_spring, t);
    f.colour = zoneColor().rgba();
    f.live = fraction() > 0.02;
    f.rollStep = m_text.step(t);
    f.text = std::int64_t(qHash(m_text.text()));
    if (f.springStep > 0 && effects::find(effects::scanlineName)) {
        const double logical = dialSize + (effects::find(effects::bloomName) ? 2 * arcInset : 0);
        const int layerHeight = int(std::lround(logical * devicePixelRatioF()));
        f.band = effects::scanlineCentre(effects::timeArgument(t), layerHeight);
    }
    return f;
}

// While the ticks turn (about ten steps a second), the scan-line band moving down the arc
// (about eight rows a second) does not ask for frames of its own: it is painted where it
// is at each step of the ticks. Each frame still shows the dial as it is at that moment;
// there are just fewer of them, one wake-up and one trip to the X server less per row.
FrameKey GaugeView::frameKey(double t) const
{
    return frameAt(t).key(!gauge::ticksTurn(m_spec.value));
}

// At rest with its ticks turning, the frame changes at each step of the ticks (10.3 a
// second; the band rides on them) and at no other time. Alone on screen, the dial has the
// clock wake a little more often than that: every step still shows, where 30 wake-ups a
// second found the same frame two times in three.
int GaugeView::restWakeFps(double t) const
{
    // The slow end of a motion has a step to show at every 30th of a second.
    if (!gauge::ticksTurn(m_spec.value) || !m_spring.settled(t) || m_text.rolling(t))
        return restFps;
    const double stepsPerSecond = gauge::tickAngularSpeed / tickStepRadians;
    return std::min(restFps, int(std::ceil(stepsPerSecond)) + 1);
}

// Ticks, arc (with its bloom and scan-line band), needle and read-out all lie within the
// dial grown by the bloom's reach; the ring's surroundings, glow line and caption change
// only with the inputs.
QRect GaugeView::animatedRect() const
{
    return dialRect().adjusted(-arcInset, -arcInset, arcInset, arcInset).toAlignedRect() & rect();
}

// A dial at rest whose ticks stand still moves only its scan-line band, a row at a time:
// then only the rows the band leaves and enters are repainted (and sent to the screen),
// not the whole dial. (While the ticks turn, the band is painted with their steps, which
// repaint the whole dial.)
QRect GaugeView::changedRect(double t)
{
    const Frame f = frameAt(t);
    if (m_composite.isNull() || (m_arc.isNull() && f.springStep > 0) || f.key(false).value() != m_compositeKey)
        return animatedRect();
    // The band as the paint (a moment later) will find it, and as the screen shows it now.
    int first = INT_MAX, last = INT_MIN;
    for (const int c : {f.band, frameAt(t + 0.05).band, m_paintedBand}) {
        if (c == INT_MIN)
            continue;
        first = std::min(first, c);
        last = std::max(last, c);
    }
    if (first > last)
        return {};
    return bandRect(first, last);
}

// The rows of the arc's layer from the band centred on `first` to the one centred on
// `last`, in this widget.
QRect GaugeView::bandRect(int first, int last) const
{
    const qreal dpr = devicePixelRatioF();
    const int top = first - effects::scanlineHalfHeight - 1, bottom = last + effects::scanlineHalfHeight + 1;
    const QPointF at = dialRect().topLeft() + QPointF(m_arcOrigin);
    const QRectF rows(at.x(), at.y() + top / dpr, m_arc.width() / dpr, (bottom - top + 1) / dpr);
    return rows.toAlignedRect() & animatedRect();
}

// The arc springs to a new value and the read-out rolls for most of a second, but only
// the first third of that moves faster than a step per 30th of a second. After it, the
// dial is served the frames the radar and the other dials get.
bool GaugeView::inMotion(double t) const
{
    if (!m_text.rolling(t) && m_spring.settled(t))
        return false;
    const double next = t + 1.0 / restFps;
    return skipsAtRest(springStepAt(m_spring, t), springStepAt(m_spring, next))
           || skipsAtRest(m_text.step(t), m_text.step(next));
}

void GaugeView::invalidateCaches()
{
    m_composite = m_static = QImage();
    m_arc = m_glow = QImage();
    m_arcKey = m_glowKey = m_staticKey = 0;
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

namespace {

// Images every dial of the process shares: they depend only on the dial's size (fixed),
// the device pixel ratio, the colour and whether the bloom is on.
struct SharedDialImages {
    qreal dpr = 0;
    // The ticks at each of their 36 rotation steps, as their visible pixels only (about
    // 5 KB a step at ratio 1, where a whole picture of the dial takes 78 KB): every turning
    // dial is at the same step at the same time, and each step is drawn once.
    std::array<pixels::SparseImage, tickSteps> ticks;
    QHash<quint64, std::shared_ptr<const pixels::AngularLayer>> arcs;
    QHash<QRgb, QImage> tips;
};

SharedDialImages &sharedImages(qreal dpr)
{
    static SharedDialImages images;
    if (images.dpr != dpr) {
        images = SharedDialImages();
        images.dpr = dpr;
    }
    return images;
}

constexpr double arcRadius = GaugeView::dialSize / 2.0 - arcInset;

} // namespace

// The whole arc (to the largest overshoot) with its gradient and bloom, made once per
// colour; a frame shows the prefix of it up to the animated fraction.
std::shared_ptr<const pixels::AngularLayer> GaugeView::arcPixels(QRgb colour) const
{
    const qreal dpr = devicePixelRatioF();
    const auto *bloom = effects::find(effects::bloomName);
    auto &shared = sharedImages(dpr);
    const quint64 key = quint64(colour) << 1 | (bloom ? 1 : 0);
    if (auto it = shared.arcs.constFind(key); it != shared.arcs.constEnd())
        return *it;
    const QColor c = QColor::fromRgba(colour);
    QImage core = blankImage(QSizeF(dialSize, dialSize), dpr);
    {
        QPainter p(&core);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF dial(0, 0, dialSize, dialSize);
        const QRectF arcRect = dial.adjusted(arcInset, arcInset, -arcInset, -arcInset);
        // Angular gradient clockwise from straight down (the arc's gap), as the arc is
        // turned by a quarter; Qt's conical gradient runs counter-clockwise, so the
        // stops are mirrored.
        QConicalGradient g(dial.center(), 270);
        g.setColorAt(0, palette::withOpacity(c, 0.95));
        g.setColorAt(0.5, c);
        g.setColorAt(1, palette::withOpacity(c, 0.30));
        QPainterPath arc;
        arc.arcMoveTo(arcRect, -135);
        arc.arcTo(arcRect, -135, -270 * arcMaxFraction);
        p.setPen(QPen(QBrush(g), arcWidth, Qt::SolidLine, Qt::RoundCap));
        p.drawPath(arc);
    }
    QImage full = core;
    QImage paddedCore = core;
    int pad = 0;
    if (bloom) {
        full = bloom->apply(core, 10.0f, 1.4f, QSize(int(arcInset), int(arcInset)));
        pad = (full.width() - core.width()) / 2;
        paddedCore = QImage(full.size(), QImage::Format_ARGB32_Premultiplied);
        paddedCore.fill(Qt::transparent);
        QPainter p(&paddedCore);
        QImage src = core;
        src.setDevicePixelRatio(1);
        p.drawImage(QPoint(pad, pad), src);
    }
    const double centre = pad + dialSize * dpr / 2;
    const double turn = 360.0 / 270.0;
    auto layer = std::make_shared<const pixels::AngularLayer>(
        full, withoutPainter(paddedCore), QPointF(centre, centre), 135.0, 270.0, (arcMaxFraction + turn) / 2);
    shared.arcs.insert(key, layer);
    return layer;
}

const QImage &GaugeView::arcLayer(const Frame &f)
{
    const bool bloom = effects::find(effects::bloomName) != nullptr;
    const std::uint64_t key = FrameKey().add(f.springStep).add(std::int64_t(f.colour)).add(bloom ? 1 : 0).value();
    if (m_arcKey != 0 && key == m_arcKey)
        return m_arc; // null while the dial shows no arc
    const qreal dpr = devicePixelRatioF();
    const double frac = std::min(double(f.springStep) / arcSteps, arcMaxFraction);
    if (!(frac > 0)) {
        // No arc to show (a dial that has not moved yet, as in the window's first frame):
        // the arc's pixels are not made until it has.
        m_arc = QImage();
        m_arcKey = key;
        return m_arc;
    }
    const auto layer = arcPixels(f.colour);
    layer->render(m_arc, frac, arcGlowFade);
    // The cut end gets the arc's round cap, in the colour the arc has there.
    if (frac < arcMaxFraction) {
        const QRgb cap = layer->coreColourAt(frac, arcRadius * dpr);
        if (qAlpha(cap) > 0)
            pixels::blendDisc(m_arc, layer->pointAt(frac, arcRadius * dpr), arcWidth / 2 * dpr, cap,
                              qAlpha(cap) / 255.0);
    }
    m_arc.setDevicePixelRatio(dpr);
    const int padPt = int(std::lround((layer->size().width() / dpr - dialSize) / 2));
    m_arcOrigin = QPoint(-padPt, -padPt);
    m_arcKey = key;
    return m_arc;
}

const pixels::SparseImage &GaugeView::tickPixels(int step) const
{
    const qreal dpr = devicePixelRatioF();
    const int wrapped = ((step % tickSteps) + tickSteps) % tickSteps;
    auto &slot = sharedImages(dpr).ticks[size_t(wrapped)];
    if (slot.isNull()) {
        QImage image = blankImage(QSizeF(dialSize, dialSize), dpr);
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        paintTicks(p, QRectF(0, 0, dialSize, dialSize), wrapped * tickStepRadians);
        p.end();
        slot = pixels::SparseImage(image);
    }
    return slot;
}

// The needle's tip: a dot with its glow, once per colour.
const QImage &GaugeView::tipImage(QRgb colour) const
{
    const qreal dpr = devicePixelRatioF();
    auto &tips = sharedImages(dpr).tips;
    if (auto it = tips.constFind(colour); it != tips.constEnd())
        return *it;
    const QColor c = QColor::fromRgba(colour);
    QImage dot = blankImage(QSizeF(7, 7), dpr);
    {
        QPainter dp(&dot);
        dp.setRenderHint(QPainter::Antialiasing);
        dp.setPen(Qt::NoPen);
        dp.setBrush(c);
        dp.drawEllipse(QRectF(0, 0, 7, 7));
    }
    QImage out = glowOf(dot, c, 8);
    {
        QPainter p(&out);
        const double pad = glowPadding(8, dpr) / dpr;
        p.drawImage(QPointF(pad, pad), dot);
    }
    return *tips.insert(colour, withoutPainter(out));
}

const QImage &GaugeView::readoutGlow(const QColor &c)
{
    const QString text = m_text.text();
    const std::uint64_t key = FrameKey().add(std::int64_t(qHash(text))).add(std::int64_t(c.rgba())).value();
    if (!m_glow.isNull() && key == m_glowKey)
        return m_glow;
    const QImage shape = textImage(text, numberFont(), Qt::white, devicePixelRatioF());
    m_glow = withoutPainter(glowOf(shape, palette::withOpacity(c, 0.6), 8));
    m_glowKey = key;
    return m_glow;
}

// Everything that changes only with the inputs and the zone: the backdrop, ring and
// track, unit, glow line and caption.
void GaugeView::buildStatic(const Frame &f)
{
    m_static = backdropImage(BackdropCopy::drop);
    QPainter p(&m_static);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF dial = dialRect();
    const QColor c = QColor::fromRgba(f.colour);
    paintDialBase(p, dial);

    if (!m_spec.unit.isEmpty()) {
        const QFontMetricsF nfm(numberFont());
        const double unitH = QFontMetricsF(unitFont()).height();
        const double top = dial.center().y() - (nfm.height() + unitH) / 2;
        p.setFont(unitFont());
        p.setPen(palette::textSecondary);
        p.drawText(QRectF(dial.left(), top + nfm.height(), dial.width(), unitH), Qt::AlignCenter, m_spec.unit);
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
    p.end();
    m_static = withoutPainter(m_static);
    markOpaque(m_static);
    m_staticKey = FrameKey().add(std::int64_t(f.colour)).add(f.live ? 1 : 0).value();
    ++m_staticGeneration;
}

void GaugeView::buildComposite(const Frame &f, double t)
{
    const qreal dpr = devicePixelRatioF();
    const std::uint64_t staticKey = FrameKey().add(std::int64_t(f.colour)).add(f.live ? 1 : 0).value();
    if (m_static.isNull() || staticKey != m_staticKey || m_static.size() != (QSizeF(size()) * dpr).toSize())
        buildStatic(f);
    if (m_composite.size() != m_static.size() || m_composite.devicePixelRatio() != dpr
        || m_composite.format() != m_static.format()) {
        m_composite = QImage(m_static.size(), m_static.format());
        m_composite.setDevicePixelRatio(dpr);
        m_compositeFilledFrom = 0;
    }
    if (m_compositeFilledFrom != m_staticGeneration) {
        std::memcpy(m_composite.bits(), m_static.constBits(), size_t(m_static.sizeInBytes()));
        m_compositeFilledFrom = m_staticGeneration;
    } else {
        // Outside the animated part the composite already holds the still image.
        const QRect area = QRectF(QRectF(animatedRect()).topLeft() * dpr, QRectF(animatedRect()).size() * dpr)
                               .toAlignedRect() & m_static.rect();
        const pixels::Rows to(m_composite);
        const pixels::ConstRows from(m_static);
        for (int y = area.top(); y <= area.bottom(); ++y)
            std::memcpy(to[y] + area.left(), from[y] + area.left(), size_t(area.width()) * 4);
    }

    const QRectF dial = dialRect();
    const QColor c = QColor::fromRgba(f.colour);

    // The ticks go straight into the frame where the dial starts on a whole device pixel
    // (always at ratios 1 and 2); elsewhere the painter places them as it would an image.
    const pixels::SparseImage &ticks = tickPixels(f.rotationStep);
    const QPointF ticksAt = dial.topLeft() * dpr;
    const bool ticksAligned = ticksAt == QPointF(ticksAt.toPoint());
    if (ticksAligned)
        ticks.drawOver(m_composite, ticksAt.toPoint());
    QPainter p(&m_composite);
    if (!ticksAligned)
        drawImageInBands(p, dial.topLeft(), ticks.toImage());
    if (const QImage &arc = arcLayer(f); !arc.isNull())
        drawImageInBands(p, dial.topLeft() + QPointF(m_arcOrigin), arc);

    // Needle: a line fading in from the centre, written straight into the frame (an
    // antialiased stroke this tall would be handed to the thread pool), and the cached tip.
    const double opacity = f.live ? 0.85 : 0.15;
    const double deg = 270.0 * std::clamp(double(f.springStep) / arcSteps, 0.0, 1.0) - 135.0;
    const QPointF c0 = dial.center();
    const QPointF tip = dial.topLeft() + gauge::needleTip(deg, dialSize, dialSize);
    pixels::blendSegment(m_composite, c0 * dpr, tip * dpr, 2 * dpr, c.rgb(), 0, opacity * c.alphaF());
    p.setOpacity(opacity);
    const QImage &tipImg = tipImage(f.colour);
    const double half = tipImg.width() / dpr / 2;
    p.drawImage(tip - QPointF(half, half), tipImg);
    p.setOpacity(1);

    // Read-out: number with its glow, centred on the dial above the unit.
    const QFont &nf = numberFont();
    const QFontMetricsF nfm(nf);
    const double numberH = nfm.height();
    const double unitH = m_spec.unit.isEmpty() ? 0 : QFontMetricsF(unitFont()).height();
    const double top = dial.center().y() - (numberH + unitH) / 2;
    const QRectF numberRect(dial.left(), top, dial.width(), numberH);
    const QImage &glow = readoutGlow(c);
    const double glowPad = glowPadding(8, dpr) / dpr;
    const double textW = m_text.width(nf);
    p.drawImage(QPointF(numberRect.center().x() - textW / 2 - glowPad, numberRect.top() - glowPad), glow);
    m_text.draw(p, numberRect, Qt::AlignHCenter, nf, palette::textPrimary, t);

    m_compositeKey = f.key(false).value();
}

void GaugeView::paintEvent(QPaintEvent *e)
{
    const double t = FrameClock::now();
    beginFrame(t);
    const Frame f = frameAt(t);
    if (m_composite.isNull() || f.key(false).value() != m_compositeKey) {
        buildComposite(f, t);
        // The ticks turned between the tick that asked for a band's rows and this paint:
        // the rest of the dial follows at once.
        if (!e->region().contains(animatedRect()))
            update(animatedRect());
    }
    QPainter p(this);
    drawImageInBands(p, QPointF(0, 0), m_composite);
    m_paintedBand = m_arc.isNull() ? INT_MIN : f.band;
    if (m_paintedBand != INT_MIN) {
        const QRect band = bandRect(m_paintedBand, m_paintedBand);
        if (!e->region().contains(band))
            update(band); // the band moved on past the rows asked for: show it whole
    }
    if (f.band != INT_MIN && !m_arc.isNull()) {
        if (const auto *scan = effects::find(effects::scanlineName)) {
            const QPoint at = dialRect().topLeft().toPoint() + m_arcOrigin;
            scan->drawOver(p, at, m_arc, effects::timeArgument(t), scanlineStrength);
        }
    }
}

} // namespace tsav
