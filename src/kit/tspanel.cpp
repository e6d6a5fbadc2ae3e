#include "kit/tspanel.h"

#include "kit/frameclock.h"
#include "kit/palette.h"
#include "kit/poolpaint.h"

#include <QBackingStore>
#include <QHash>
#include <QLinearGradient>
#include <QPainter>
#include <QPaintEngine>
#include <QPainterPath>
#include <QPaintEvent>
#include <QVBoxLayout>

#include <cmath>
#include <cstring>
#include <limits>

namespace tsav {

namespace {

constexpr qreal kRadius = 14;
constexpr int kInset = 18;
// The breathing: alpha = kMid + kSwing sin(kRate t).
constexpr double kMid = 0.18 + 0.15 * 0.5, kSwing = 0.15 * 0.5, kRate = 0.4;
// Width of the strip repainted for the border: the 1-point stroke, its antialiasing
// and the rounded corners' curve all fit in it.
constexpr int kRingStrip = 3;

QPainterPath panelShape(const QRectF &r)
{
    QPainterPath path;
    path.addRoundedRect(r, kRadius, kRadius);
    return path;
}

// Every panel asks at the same times: the next change is worked out once per level.
double sharedNextChange(double t)
{
    static double from = std::numeric_limits<double>::quiet_NaN(), next = from;
    if (!(t >= from && t < next)) {
        from = t;
        next = TSPanel::nextBorderChange(t);
    }
    return next;
}

// The overlay that paints only the breathing ring, above the panel's content. Its mask is
// the ring, so content repainting under it (an instrument's frame) does not make it paint.
//
// A change of the breathing level would make the window repaint everything under the ring
// (background, panel fill and sheen, each a path as large as the panel) before the ring
// itself. So the first time the ring is painted over a fresh paint of what lies under it,
// those pixels are copied from the window's backing store, and from then on the overlay
// is opaque: it puts the copy back and strokes the ring over it, the same pixels for a
// fraction of the work. Anything that could change what lies under the ring (this panel
// resized, the panel or any ancestor moved or resized, a device pixel ratio change) drops
// the copy and makes the overlay transparent again until the next paint takes a new one.
class PanelBorder : public QWidget {
public:
    explicit PanelBorder(QWidget *parent) : QWidget(parent)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
        setFocusPolicy(Qt::NoFocus);
        wakeAtNextLevel(FrameClock::now());
        watchAncestors();
    }

    void fitTo(const QRect &r)
    {
        setGeometry(r);
        m_ring = ringRegion();
        setMask(m_ring);
        dropUnderlay();
    }

    // The strip along the edge: the only pixels the border touches.
    QRegion ringRegion() const
    {
        const QRect r = rect();
        if (r.width() <= 2 * kRingStrip || r.height() <= 2 * kRingStrip)
            return QRegion(r);
        // The corners' curve lies inside a radius-sized square; include those squares.
        const int c = int(std::ceil(kRadius)) + 1;
        QRegion ring(r);
        ring -= QRegion(r.adjusted(kRingStrip, kRingStrip, -kRingStrip, -kRingStrip));
        const QRect corner(0, 0, c, c);
        ring += corner.translated(r.topLeft());
        ring += corner.translated(r.right() - c + 1, r.top());
        ring += corner.translated(r.left(), r.bottom() - c + 1);
        ring += corner.translated(r.right() - c + 1, r.bottom() - c + 1);
        return ring;
    }

    bool hasUnderlay() const { return !m_under.isEmpty(); }

protected:
    void paintEvent(QPaintEvent *e) override
    {
        const double t = FrameClock::now();
        m_paintedLevel = TSPanel::borderLevel(t);
        // Opaque means the window painted nothing under the ring in this pass.
        const bool opaque = testAttribute(Qt::WA_OpaquePaintEvent);
        // Under a graphics effect (a dimmed panel) the ring is painted into the effect's
        // own image, where what lies under it is not the window's picture.
        const bool effect = underEffect();
        if (!m_under.isEmpty() && (effect || m_underDpr != devicePixelRatioF())) {
            dropUnderlay();
            update(m_ring); // painted again, with what lies under it
        }
        QPainter p(this);
        // The paint that copies the underlay strokes the ring as it is; the ring's pixels
        // are looked for from the next level on, so that a window's first frame (every
        // panel's first paint) does not wait for them.
        const bool tookUnderlay = m_under.isEmpty() && !opaque && !effect && takeUnderlay(p, e->region());
        QImage *device = m_under.isEmpty() || tookUnderlay ? nullptr : ringDevice(p, e->region());
        if (device) {
            if (const auto it = m_levels.constFind(m_paintedLevel); it != m_levels.constEnd()) {
                writeLevel(*device, *it);
                return;
            }
        }
        if (!m_under.isEmpty())
            putUnderlay(p);
        strokeRing(p, ringBrush());
        if (device)
            m_levels.insert(m_paintedLevel, readLevel(*device));
    }

    bool eventFilter(QObject *, QEvent *e) override
    {
        switch (e->type()) {
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::ParentChange:
        case QEvent::Show:
        case QEvent::Hide:
            dropUnderlay();
            break;
        default:
            break;
        }
        return false;
    }

    void changeEvent(QEvent *e) override
    {
        QWidget::changeEvent(e);
        if (e->type() == QEvent::ParentChange)
            watchAncestors();
    }

private:
    void wakeAtNextLevel(double t)
    {
        FrameClock::instance().wakeAt(this, sharedNextChange(t), [this](double now) {
            if (TSPanel::borderLevel(now) != m_paintedLevel)
                update(m_ring);
            wakeAtNextLevel(now);
        });
    }

    QBrush ringBrush() const
    {
        const QRectF r = ringRect();
        QLinearGradient g(r.topLeft(), r.bottomRight());
        g.setColorAt(0, palette::hairline);
        g.setColorAt(0.5, palette::withOpacity(palette::accentBlue, m_paintedLevel / 255.0));
        g.setColorAt(1, palette::hairline);
        return QBrush(g);
    }

    QRectF ringRect() const { return QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5); }

    void strokeRing(QPainter &p, const QBrush &brush) const
    {
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(brush, 1));
        p.setBrush(Qt::NoBrush);
        p.drawPath(panelShape(ringRect()));
    }

    // The window's picture, when this paint goes straight to it, covers the whole ring
    // that can be seen, and maps this widget to whole device pixels: then the ring's
    // pixels can be read and written where they lie.
    QImage *ringDevice(QPainter &p, const QRegion &painted)
    {
        if (!(m_seen - painted).isEmpty())
            return nullptr;
        QPaintEngine *engine = p.paintEngine();
        QBackingStore *store = window()->backingStore();
        if (!engine || !store || engine->paintDevice() != store->paintDevice()
            || engine->paintDevice()->devType() != QInternal::Image)
            return nullptr;
        auto *device = static_cast<QImage *>(engine->paintDevice());
        if (device->depth() != 32 || device->size() != m_underDevice)
            return nullptr;
        const QTransform t = p.deviceTransform();
        const qreal dpr = devicePixelRatioF();
        if (t.type() > QTransform::TxScale || t.m11() != dpr || t.m22() != dpr || t.dx() != std::floor(t.dx())
            || t.dy() != std::floor(t.dy()))
            return nullptr;
        const QPoint origin(int(t.dx()), int(t.dy()));
        if (m_pixels.isEmpty() || origin != m_pixelsOrigin || device->size() != m_pixelsDevice)
            findRingPixels(origin, device->rect(), t);
        return m_pixels.isEmpty() ? nullptr : device;
    }

    // The device pixels the ring touches, found once from its coverage.
    void findRingPixels(QPoint origin, const QRect &deviceRect, const QTransform &toDevice)
    {
        m_pixels.clear();
        m_levels.clear();
        m_pixelsOrigin = origin;
        m_pixelsDevice = deviceRect.size();
        const qreal dpr = devicePixelRatioF();
        // Coverage only: one byte a pixel (a panel-sized picture is otherwise a few MB to
        // clear).
        QImage cover((QSizeF(size()) * dpr).toSize(), QImage::Format_Alpha8);
        cover.setDevicePixelRatio(dpr);
        cover.fill(Qt::transparent);
        {
            QPainter c(&cover);
            strokeRing(c, Qt::white);
        }
        QRegion seen;
        for (const QRect &r : m_seen)
            seen += toDevice.mapRect(QRectF(r)).toAlignedRect();
        for (int y = 0; y < cover.height(); ++y) {
            const uchar *line = cover.constScanLine(y);
            for (int x = 0; x < cover.width(); ++x) {
                const QPoint at = origin + QPoint(x, y);
                if (line[x] && deviceRect.contains(at) && seen.contains(at))
                    m_pixels.append(quint32(at.x()) << 16 | quint32(at.y()));
            }
        }
    }

    QList<quint32> readLevel(const QImage &device) const
    {
        QList<quint32> values;
        values.reserve(m_pixels.size());
        for (const quint32 at : m_pixels)
            values.append(reinterpret_cast<const quint32 *>(device.constScanLine(int(at & 0xffff)))[at >> 16]);
        return values;
    }

    // Puts back the ring as it was painted at a level before, over the same underlay.
    // (Written in place: through the painter, a copy as tall as a panel's side is split
    // across threads.)
    void writeLevel(QImage &device, const QList<quint32> &values) const
    {
        const uchar *bits = device.constBits(); // the window's own buffer, never shared
        const qsizetype stride = device.bytesPerLine();
        // The whole strip first, as putUnderlay would: this paint may also be repairing
        // the strip where something else was drawn over it.
        for (const Piece &piece : m_under) {
            const QRect &d = piece.device;
            for (int y = 0; y < d.height(); ++y)
                std::memcpy(const_cast<uchar *>(bits) + stride * (d.top() + y) + 4 * d.left(),
                            piece.pixels.constScanLine(y), size_t(d.width()) * 4);
        }
        for (qsizetype i = 0; i < m_pixels.size(); ++i) {
            const quint32 at = m_pixels[i];
            auto *line = reinterpret_cast<quint32 *>(const_cast<uchar *>(bits) + stride * qsizetype(at & 0xffff));
            line[at >> 16] = values[i];
        }
    }

    struct Piece {
        QRect rect;  // in this widget
        QImage pixels;
        QRect device; // where the pixels were copied from in the window's picture
    };

    void watchAncestors()
    {
        for (QWidget *w = parentWidget(); w; w = w->parentWidget()) {
            w->removeEventFilter(this);
            w->installEventFilter(this);
            if (w->isWindow())
                break;
        }
    }

    bool underEffect() const
    {
        for (const QWidget *w = this; w; w = w->parentWidget()) {
            if (w->graphicsEffect())
                return true;
            if (w->isWindow())
                break;
        }
        return false;
    }

    void dropUnderlay()
    {
        m_under.clear();
        m_pixels.clear();
        m_levels.clear();
        m_seen = QRegion();
        if (testAttribute(Qt::WA_OpaquePaintEvent))
            setAttribute(Qt::WA_OpaquePaintEvent, false);
    }

    // Copies what the window has just painted under the ring, when this paint covers the
    // whole ring and goes straight to the window's backing store (not to a grab, or to a
    // graphics effect's own image).
    bool takeUnderlay(QPainter &p, const QRegion &painted)
    {
        m_under.clear();
        // Only the part of the ring that can be seen (a panel may reach past the bottom of
        // a scroll area or the window); any move drops the copy before the rest shows.
        const QRegion seen = m_ring & visibleRegion();
        if (seen.isEmpty() || !(seen - painted).isEmpty())
            return false;
        QPaintEngine *engine = p.paintEngine();
        QBackingStore *store = window()->backingStore();
        if (!engine || !store || engine->paintDevice() != store->paintDevice()
            || engine->paintDevice()->devType() != QInternal::Image)
            return false;
        const auto *device = static_cast<const QImage *>(engine->paintDevice());
        const QTransform toDevice = p.deviceTransform();
        if (!toDevice.isAffine() || toDevice.isRotating())
            return false;
        const qreal dpr = devicePixelRatioF();
        QList<Piece> pieces;
        const QTransform fromDevice = toDevice.inverted();
        for (const QRect &r : seen) {
            const QRect d = toDevice.mapRect(QRectF(r)).toAlignedRect() & device->rect();
            if (d.isEmpty())
                continue;
            const QRect back = fromDevice.mapRect(QRectF(d)).toAlignedRect();
            if (toDevice.mapRect(QRectF(back)).toAlignedRect() != d)
                return false; // a fractional scale: no exact copy
            QImage pixels = device->copy(d);
            pixels.setDevicePixelRatio(dpr);
            pieces.append({back, pixels, d});
        }
        if (pieces.isEmpty())
            return false;
        m_under = pieces;
        m_underDpr = dpr;
        m_seen = seen;
        m_underDevice = device->size();
        setAttribute(Qt::WA_OpaquePaintEvent, true);
        return true;
    }

    void putUnderlay(QPainter &p)
    {
        p.save();
        p.setCompositionMode(QPainter::CompositionMode_Source);
        for (const Piece &piece : std::as_const(m_under))
            p.drawImage(piece.rect.topLeft(), piece.pixels);
        p.restore();
    }

    int m_paintedLevel = -1;
    QRegion m_ring;
    QList<Piece> m_under;
    qreal m_underDpr = 0;
    QRegion m_seen; // the ring as far as it could be seen when the underlay was copied
    QSize m_underDevice; // the size of the window's picture it was copied from
    // Once the underlay is held, each breathing level is stroked once: the ring's pixels
    // (device positions, x << 16 | y) as that stroke left them are kept by level and put
    // back when the level comes round again. A breath has some forty levels.
    QList<quint32> m_pixels;
    QPoint m_pixelsOrigin;
    QSize m_pixelsDevice;
    QHash<int, QList<quint32>> m_levels;
};

} // namespace

TSPanel::TSPanel(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_StyledBackground, false);
    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(kInset, kInset, kInset, kInset);
    m_layout->setSpacing(10);
    m_border = new PanelBorder(this);
    m_border->raise();
}

QVBoxLayout *TSPanel::contentLayout() const { return m_layout; }

void TSPanel::addWidget(QWidget *w, int stretch)
{
    m_layout->addWidget(w, stretch);
    m_border->raise();
}

double TSPanel::borderAlpha(double t)
{
    return kMid + kSwing * std::sin(kRate * t);
}

int TSPanel::borderLevel(double t) { return int(std::lround(borderAlpha(t) * 255.0)); }

double TSPanel::nextBorderChange(double t)
{
    // The level stays while alpha * 255 lies within its half-level bounds; the next change
    // is the first time after t that sin(kRate t) reaches either bound.
    const double period = 2 * M_PI / kRate;
    double from = t;
    for (int attempt = 0; attempt < 4; ++attempt) {
        const int level = borderLevel(from);
        double next = from + period;
        for (const double bound : {level - 0.5, level + 0.5}) {
            const double s = (bound / 255.0 - kMid) / kSwing;
            if (s < -1 || s > 1)
                continue;
            const double a = std::asin(s);
            for (const double phase : {a, M_PI - a}) {
                // The times kRate t' = phase + 2 pi k, the first after `from`.
                const double k = std::floor((kRate * from - phase) / (2 * M_PI)) + 1;
                next = std::min(next, (phase + 2 * M_PI * k) / kRate);
            }
        }
        // The bound itself may still round to the old level: a moment later it does not
        // (a touch of the bound at the top or bottom of the breath is no change at all).
        const double after = next + 1e-4;
        if (borderLevel(after) != level)
            return after;
        from = after;
    }
    return from;
}

void TSPanel::paintEvent(QPaintEvent *e)
{
    QPainter p(this);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const QPainterPath shape = panelShape(r);
    QLinearGradient sheen(r.topLeft(), QPointF(r.left(), r.center().y()));
    sheen.setColorAt(0, QColor(255, 255, 255, 10)); // white at 0.04
    sheen.setColorAt(1, QColor(255, 255, 255, 0));
    paintPreferPool(p, [&](QPainter &q) {
        q.setRenderHint(QPainter::Antialiasing);
        q.setClipRegion(e->region(), Qt::IntersectClip);
        q.fillPath(shape, palette::panelBase);
        q.fillPath(shape, sheen);
    });
}

void TSPanel::resizeEvent(QResizeEvent *e)
{
    QWidget::resizeEvent(e);
    static_cast<PanelBorder *>(m_border)->fitTo(rect());
    m_border->raise();
}

void TSPanel::childEvent(QChildEvent *e)
{
    QWidget::childEvent(e);
    // Content added later (directly as children) must stay under the ring.
    if (e->added() && m_border && e->child() != m_border && e->child()->isWidgetType())
        QMetaObject::invokeMethod(m_border, "raise", Qt::QueuedConnection);
}

} // namespace tsav
