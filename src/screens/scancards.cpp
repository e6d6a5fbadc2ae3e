#include "screens/scancards.h"

#include "kit/flowlayout.h"
#include "kit/frameclock.h"
#include "kit/glow.h"
#include "kit/icons.h"
#include "kit/palette.h"
#include "kit/plaintext.h"
#include "kit/typography.h"
#include "screens/screenparts.h"

#include <QEnterEvent>
#include <QGraphicsDropShadowEffect>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace tsav {

using fonts::Weight;

namespace {

constexpr double kHoverSeconds = 0.18;
constexpr int kGlowRadius = 10;

QFont titleFont() { return fonts::tracked(fonts::rounded(22, Weight::Heavy), 1); }
QFont subtitleFont() { return fonts::system(12); }
QFont estimateFont() { return fonts::mono(11, Weight::Medium); }
QFont chipFont() { return fonts::mono(10, Weight::Semibold); }
QFont ctaFont() { return fonts::tracked(fonts::system(12, Weight::Heavy), 1.6); }

QImage glyphImage(const QString &icon, const QColor &color, int size)
{
    QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    icons::draw(p, QRectF(0, 0, size, size), icon, color, size);
    return img;
}

double easeOut(double x)
{
    x = std::clamp(x, 0.0, 1.0);
    return 1 - (1 - x) * (1 - x);
}

} // namespace

// --- ScanLaunchCard -------------------------------------------------------------------

ScanLaunchCard::ScanLaunchCard(scan::LaunchCardSpec spec, std::function<void()> action, QWidget *parent)
    : QAbstractButton(parent), m_spec(std::move(spec)), m_action(std::move(action))
{
    setFixedHeight(240);
    setMinimumWidth(220);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setCursor(Qt::PointingHandCursor);
    setText(m_spec.title);
    setAccessibleName(m_spec.title);
    setAccessibleDescription(m_spec.subtitle);
    connect(this, &QAbstractButton::clicked, this, [this] {
        if (m_action)
            m_action();
    });
}

QSize ScanLaunchCard::sizeHint() const { return {360, 240}; }

void ScanLaunchCard::setHovering(bool on)
{
    if (on == m_hovering)
        return;
    m_hovering = on;
    m_hoverChangedAt = FrameClock::now();
    if (on) {
        auto *shadow = new QGraphicsDropShadowEffect(this);
        shadow->setColor(palette::withOpacity(m_spec.tint, 0.30));
        shadow->setBlurRadius(28);
        shadow->setOffset(0, 2);
        setGraphicsEffect(shadow);
    } else {
        setGraphicsEffect(nullptr);
    }
    // Redraw through the hover transition, then stop asking for frames.
    FrameClock::instance().subscribe(this, 60, [this](double t) {
        update();
        if (t - m_hoverChangedAt > kHoverSeconds + 0.05)
            FrameClock::instance().unsubscribe(this);
    });
    update();
}

double ScanLaunchCard::hoverProgress(double t) const
{
    const double towards = easeOut((t - m_hoverChangedAt) / kHoverSeconds);
    return m_hovering ? towards : 1 - towards;
}

void ScanLaunchCard::enterEvent(QEnterEvent *e)
{
    QAbstractButton::enterEvent(e);
    setHovering(true);
}

void ScanLaunchCard::leaveEvent(QEvent *e)
{
    QAbstractButton::leaveEvent(e);
    setHovering(false);
}

void ScanLaunchCard::paintChips(QPainter &p, const QRectF &area) const
{
    const QFont f = chipFont();
    const QFontMetricsF fm(f);
    QList<QSizeF> sizes;
    for (const QString &path : m_spec.paths)
        sizes.append(QSizeF(fm.horizontalAdvance(path) + 16, fm.height() + 8));
    const FlowArrangement a = arrangeFlow(sizes, area.width(), 6, 6);
    for (int i = 0; i < a.frames.size() && i < m_spec.paths.size(); ++i) {
        const QRectF r = a.frames[i].translated(area.topLeft());
        QPainterPath capsule;
        capsule.addRoundedRect(r, r.height() / 2, r.height() / 2);
        p.fillPath(capsule, palette::withOpacity(m_spec.tint, 0.15));
        drawText(p, r, m_spec.paths[i], f, m_spec.tint, Qt::AlignCenter, Qt::ElideNone);
    }
}

void ScanLaunchCard::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const double hover = hoverProgress(FrameClock::now());
    const QColor tint = m_spec.tint;
    const QRectF card = QRectF(rect()).adjusted(1, 1, -1, -1);
    QPainterPath shape;
    shape.addRoundedRect(card, 18, 18);

    // 1-2. Fill and tint wash.
    p.fillPath(shape, palette::panelBase);
    QLinearGradient wash(card.topLeft(), card.bottomRight());
    wash.setColorAt(0, palette::withOpacity(tint, 0.22));
    wash.setColorAt(1, palette::withOpacity(tint, 0.0));
    p.fillPath(shape, wash);

    // 3. Border, brighter and wider while hovered.
    QLinearGradient border(card.topLeft(), card.bottomRight());
    border.setColorAt(0, palette::withOpacity(tint, 0.55 + 0.40 * hover));
    border.setColorAt(1, palette::withOpacity(tint, 0.10));
    const qreal bw = 1 + hover;
    QPainterPath inner;
    inner.addRoundedRect(card.adjusted(bw / 2, bw / 2, -bw / 2, -bw / 2), 18 - bw / 2, 18 - bw / 2);
    p.setPen(QPen(QBrush(border), bw));
    p.setBrush(Qt::NoBrush);
    p.drawPath(inner);

    // 4. Content.
    const QRectF content = card.adjusted(20, 20, -20, -20);
    constexpr int iconSize = 26;
    const QRectF iconRect(content.right() - iconSize, content.top(), iconSize, iconSize);
    if (m_iconGlow.isNull()) {
        const_cast<ScanLaunchCard *>(this)->m_iconGlow =
            glowImage(glyphImage(m_spec.icon, tint, iconSize), kGlowRadius, palette::withOpacity(tint, 0.6));
    }
    drawGlow(p, iconRect.topLeft(), m_iconGlow, kGlowRadius);
    icons::draw(p, iconRect, m_spec.icon, tint, iconSize);

    const QFont tf = titleFont(), sf = subtitleFont();
    const qreal textW = content.width() - iconSize - 12;
    qreal y = content.top();
    const qreal th = QFontMetricsF(tf).height();
    drawText(p, QRectF(content.left(), y, textW, th), m_spec.title, tf, palette::textPrimary,
             Qt::AlignLeft | Qt::AlignTop);
    y += th + 6;
    p.setFont(sf);
    p.setPen(palette::textSecondary);
    const QRectF sub = QFontMetricsF(sf).boundingRect(QRectF(content.left(), y, textW, 200),
                                                      Qt::TextWordWrap | Qt::AlignLeft, m_spec.subtitle);
    p.drawText(QRectF(content.left(), y, textW, sub.height()), Qt::TextWordWrap | Qt::AlignLeft, m_spec.subtitle);
    y = std::max(y + sub.height(), iconRect.bottom()) + 10;

    const QFont ef = estimateFont();
    const qreal eh = QFontMetricsF(ef).height();
    icons::draw(p, QRectF(content.left(), y, 10, eh), QStringLiteral("clock"), palette::textTertiary, 10);
    drawText(p, QRectF(content.left() + 16, y, content.width() - 16, eh), m_spec.estimate, ef,
             palette::textTertiary, Qt::AlignLeft | Qt::AlignVCenter);
    y += eh + 10;

    QList<QSizeF> chipSizes;
    const QFontMetricsF cfm(chipFont());
    for (const QString &path : m_spec.paths)
        chipSizes.append(QSizeF(cfm.horizontalAdvance(path) + 16, cfm.height() + 8));
    const FlowArrangement chips = arrangeFlow(chipSizes, content.width(), 6, 6);
    paintChips(p, QRectF(content.left(), y, content.width(), chips.size.height()));
    y += chips.size.height() + 10 + 4;

    const QFont cf = ctaFont();
    const QString cta = QStringLiteral("PORNEȘTE");
    const qreal cw = QFontMetricsF(cf).horizontalAdvance(cta);
    drawText(p, QRectF(content.left(), y, cw + 2, 20), cta, cf, tint, Qt::AlignLeft | Qt::AlignVCenter,
             Qt::ElideNone);
    icons::draw(p, QRectF(content.left() + cw + 8, y + 1, 18, 18), QStringLiteral("arrow.right.circle.fill"), tint, 18);
}

// --- ParticleField --------------------------------------------------------------------

ParticleField::ParticleField(QColor tint, qint64 count, QWidget *parent)
    : QWidget(parent), m_tint(tint), m_count(std::max<qint64>(count, 0))
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void ParticleField::paintEvent(QPaintEvent *)
{
    if (m_count == 0)
        return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath clip;
    clip.addRoundedRect(QRectF(rect()), 12, 12);
    p.setClipPath(clip);
    p.setOpacity(0.7);
    p.setPen(Qt::NoPen);
    const double T = FrameClock::now() - scan::referenceDateOffset;
    const double W = width(), H = height();
    for (qint64 i = 0; i < m_count; ++i) {
        const scan::Particle part = scan::particle(i, T, W, H);
        p.setBrush(palette::withOpacity(m_tint, part.opacity));
        p.drawEllipse(part.rect);
    }
}

// --- LiveScanHero ---------------------------------------------------------------------

namespace {
double heroPulse(double now) { return 0.55 + 0.45 * (0.5 + 0.5 * std::sin(now * 2 * 3.14159265358979 / 1.2)); }
double heroBarPhase(double now) { return std::fmod(now / 1.4, 1.0); }
} // namespace

// The pulse, the elapsed seconds, the progress bar and the particles move with time. The
// particles cover the header: each frame of it repaints them (on their own clock they
// would fall between its frames when the clock runs at 60 and double the work).
LiveScanHero::LiveScanHero(QWidget *parent) : Instrument(30, parent)
{
    setFixedHeight(160);
    m_particles = new ParticleField(palette::accentRed, 60, this);
    m_particles->lower();
}

void LiveScanHero::setScan(const ScanStatus &scan)
{
    m_scan = scan;
    update();
}

// The particles drift on every frame: a new frame every 30th of a second.
FrameKey LiveScanHero::frameKey(double t) const { return FrameKey().add(t, 1.0 / 30); }

void LiveScanHero::invalidateCaches() { m_still = QImage(); }

void LiveScanHero::resizeEvent(QResizeEvent *e)
{
    Instrument::resizeEvent(e);
    m_particles->setGeometry(0, 0, width(), 160);
}

// What moves each frame (the scope's pulse, the elapsed time, the bar's segment) lies
// apart from the rest (the title, the current file and the bar's track), which changes
// only with the scan: that rest is painted once over the panel's pixels and copied under
// each frame. Each pixel is painted in the same order as a paint from scratch would.
void LiveScanHero::paintEvent(QPaintEvent *)
{
    const double now = FrameClock::now();
    beginFrame(now);
    const QRectF content = QRectF(rect()).adjusted(16, 16, -16, -16);
    const QFont titleF = fonts::tracked(fonts::system(14, Weight::Heavy), 2);
    const QFont countF = fonts::mono(12, Weight::Semibold);
    const QString counter = scan::liveCounterText(m_scan, now);
    const qreal cw = QFontMetricsF(countF).horizontalAdvance(counter) + 2;
    const QString title = plainText(scan::liveTitle(m_scan), 80);
    const QString file = plainText(scan::currentFileText(m_scan));
    const QFont fileF = fonts::mono(12);
    const qreal y2 = content.top() + 22 + 10;
    const qreal lh = QFontMetricsF(fileF).height();
    const QRectF track(content.left(), y2 + lh + 4 + 10, content.width(), 4);
    QPainterPath trackPath;
    trackPath.addRoundedRect(track, 2, 2);

    auto paintStill = [&](QPainter &p) {
        // Row 1: the title, between the scope and the counters.
        drawText(p, QRectF(content.left() + 30, content.top(), content.width() - 30 - cw - 10, 22), title, titleF,
                 palette::accentRed);
        // Row 2: the current file, shortened in the middle.
        const QFont capF = fonts::tracked(fonts::system(9, Weight::Semibold), 1.2);
        const QString cap = QStringLiteral("FIȘIER CURENT");
        const qreal capW = QFontMetricsF(capF).horizontalAdvance(cap) + 4;
        drawText(p, QRectF(content.left(), y2, capW, lh), cap, capF, palette::textTertiary,
                 Qt::AlignLeft | Qt::AlignVCenter, Qt::ElideNone);
        drawText(p, QRectF(content.left() + capW + 10, y2, content.width() - capW - 10, lh), file, fileF,
                 palette::textPrimary, Qt::AlignLeft | Qt::AlignVCenter, Qt::ElideMiddle);
        // Row 3: the indeterminate bar's track.
        p.fillPath(trackPath, palette::withOpacity(palette::accentRed, 0.18));
    };

    QPainter p(this);
    const qreal dpr = devicePixelRatioF();
    if (testAttribute(Qt::WA_OpaquePaintEvent)) {
        // (A resize drops the picture: invalidateCaches.)
        const std::uint64_t key = FrameKey()
                                      .add(dpr, 1.0 / 64)
                                      .add(cw, 1.0 / 64)
                                      .add(std::int64_t(qHash(title)))
                                      .add(std::int64_t(qHash(file)))
                                      .value();
        if (m_still.isNull() || key != m_stillKey) {
            m_still = backdropImage();
            QPainter s(&m_still);
            s.setRenderHint(QPainter::Antialiasing);
            s.setRenderHint(QPainter::TextAntialiasing);
            paintStill(s);
            s.end();
            markOpaque(m_still);
            m_stillKey = key;
        }
        p.setCompositionMode(QPainter::CompositionMode_Source);
        drawImageInBands(p, QPointF(0, 0), m_still);
        p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    }
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    // Row 1: pulsing scope and counters. Faded through the colour, not the painter's
    // opacity: a glyph drawn under an opacity takes Qt's general span path, which hands
    // it to the thread pool on every frame.
    icons::draw(p, QRectF(content.left(), content.top(), 22, 22), QStringLiteral("scope"),
                palette::withOpacity(palette::accentRed, heroPulse(now)), 22);
    drawText(p, QRectF(content.right() - cw, content.top(), cw, 22), counter, countF, palette::textSecondary,
             Qt::AlignRight | Qt::AlignVCenter, Qt::ElideNone);
    if (!testAttribute(Qt::WA_OpaquePaintEvent))
        paintStill(p);

    // Row 3: the segment sweeping across the track.
    const qreal segW = track.width() * 0.3;
    const qreal x = track.left() - segW + (track.width() + segW) * heroBarPhase(now);
    p.save();
    p.setClipPath(trackPath);
    QPainterPath seg;
    seg.addRoundedRect(QRectF(x, track.top(), segW, track.height()), 2, 2);
    p.fillPath(seg, palette::accentRed);
    p.restore();
}

} // namespace tsav
