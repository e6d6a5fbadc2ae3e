#include "kit/instruments/instrument.h"

#include "kit/frameclock.h"
#include "kit/tspanel.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tsav {

FrameKey &FrameKey::add(std::int64_t v)
{
    unsigned char bytes[sizeof v];
    std::memcpy(bytes, &v, sizeof v);
    for (unsigned char b : bytes) {
        m_h ^= b;
        m_h *= 1099511628211ull;
    }
    return *this;
}

FrameKey &FrameKey::add(double v, double step)
{
    if (!std::isfinite(v))
        return add(std::int64_t(0x7ff0'0000'0000'0000));
    return add(std::int64_t(std::floor(v / step)));
}

void inBands(QPainter &p, const QRectF &area, const std::function<void()> &draw, int maxDeviceRows)
{
    const int rows = std::max(1, maxDeviceRows);
    const QTransform &device = p.deviceTransform();
    auto band = [&](const QRectF &clip) {
        p.save();
        p.setClipRect(clip, Qt::IntersectClip);
        draw();
        p.restore();
    };
    if (device.type() > QTransform::TxScale || device.m22() <= 0) {
        // Turned or flipped: bands of the logical height that many device rows take.
        const double scale = std::max(1e-6, std::abs(device.m22()));
        const double bandHeight = rows / scale;
        const int bands = std::max(1, int(std::ceil(area.height() / bandHeight)));
        for (int i = 0; i < bands; ++i)
            band(QRectF(area.left(), area.top() + i * bandHeight, area.width(),
                        std::min(bandHeight, area.bottom() - (area.top() + i * bandHeight))));
        return;
    }
    // The clip rounds each band's edges to device rows on its own: band edges that fall
    // between rows (always, at a fractional pixel ratio) may round apart and leave a row
    // unpainted, or together and paint one twice. So the bands are cut on whole device rows,
    // from the rows the whole area's clip would have covered.
    const QTransform back = device.inverted();
    const int top = qRound(device.map(area.topLeft()).y());
    const int bottom = qRound(device.map(area.bottomLeft()).y());
    auto logicalY = [&](int deviceRow) { return back.map(QPointF(0, deviceRow)).y(); };
    for (int y = top; y < bottom; y += rows) {
        const double y0 = logicalY(y), y1 = logicalY(std::min(y + rows, bottom));
        band(QRectF(area.left(), y0, area.width(), y1 - y0));
    }
}

QImage blankImage(QSizeF logical, qreal dpr)
{
    QImage img((logical * dpr).toSize(), QImage::Format_ARGB32_Premultiplied);
    img.setDevicePixelRatio(dpr);
    img.fill(Qt::transparent);
    return img;
}

QImage withoutPainter(const QImage &painted) { return painted.copy(); }

void markOpaque(QImage &image)
{
    if (image.format() != QImage::Format_ARGB32_Premultiplied)
        return;
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(line[x]) != 255)
                return;
    }
    image.reinterpretAsFormat(QImage::Format_RGB32);
}

void drawImageInBands(QPainter &p, QPointF at, const QImage &image, int maxDeviceRows)
{
    if (image.isNull())
        return;
    const qreal dpr = image.devicePixelRatio();
    const int rows = std::max(1, maxDeviceRows);
    if (image.height() <= rows) {
        p.drawImage(at, image);
        return;
    }
    // The painter rounds each band's place on its own, half-way places away from zero: at a
    // fractional pixel ratio a picture starting above the frame's top (a dial's arc with its
    // glow) put its first band a row higher than the next, and a row between them stayed
    // empty, a line across the dial. Start the picture on the whole device pixel the painter
    // would have put it on in one piece, so that every band lands on whole pixels below it.
    const QTransform &device = p.deviceTransform();
    if (device.type() <= QTransform::TxScale) {
        const QPointF d = device.map(at);
        const QPointF whole(qRound(d.x()), qRound(d.y()));
        if (whole != d)
            at = device.inverted().map(whole);
    }
    for (int y = 0; y < image.height(); y += rows) {
        const int h = std::min(rows, image.height() - y);
        p.drawImage(at + QPointF(0, y / dpr), image, QRectF(0, y, image.width(), h));
    }
}

Instrument::Instrument(int maxFps, QWidget *parent) : QWidget(parent), m_maxFps(maxFps), m_fps(maxFps)
{
    FrameClock::instance().subscribe(this, maxFps, [this](double t) { tick(t); });
}

Instrument::~Instrument() = default;

void Instrument::askFps(int fps, int wakeFps)
{
    if (fps == m_fps && wakeFps == m_wakeFps)
        return;
    m_fps = fps;
    m_wakeFps = wakeFps;
    FrameClock::instance().setMaxFps(this, fps, wakeFps);
}

void Instrument::tick(double t)
{
    if (inMotion(t))
        askFps(m_maxFps);
    else
        askFps(std::min(m_maxFps, restFps), restWakeFps(t));
    const FrameKey k = frameKey(t);
    if (m_hasKey && k == m_lastKey)
        return;
    const bool repaintAll = !m_hasKey;
    m_lastKey = k;
    m_hasKey = true;
    if (repaintAll)
        update();
    else
        update(changedRect(t));
}

void Instrument::inputsChanged()
{
    invalidateCaches();
    m_hasKey = false;
    askFps(m_maxFps); // a new value may start a motion: the next tick decides
    update();
}

void Instrument::valueChanged(bool wholeWidget)
{
    askFps(m_maxFps);
    if (wholeWidget)
        update();
    else
        update(animatedRect());
}

void Instrument::beginFrame(double t)
{
    m_lastKey = frameKey(t);
    m_hasKey = true;
    ++m_framesPainted;
}

QWidget *Instrument::backdropSource() const
{
    for (QWidget *w = parentWidget(); w; w = w->parentWidget()) {
        if (qobject_cast<TSPanel *>(w))
            return w;
        if (w->isWindow())
            break;
    }
    return nullptr;
}

void Instrument::refreshOpacity()
{
    QWidget *panel = backdropSource();
    setAttribute(Qt::WA_OpaquePaintEvent, panel != nullptr);
    // The panel's own picture under us (its sheen runs over its height) is part of our
    // cached layers: a resize of the panel makes them stale.
    if (panel != m_watchedPanel) {
        if (m_watchedPanel)
            m_watchedPanel->removeEventFilter(this);
        m_watchedPanel = panel;
        if (panel)
            panel->installEventFilter(this);
    }
}

bool Instrument::eventFilter(QObject *watched, QEvent *e)
{
    if (watched == m_watchedPanel && e->type() == QEvent::Resize)
        backdropChanged();
    return QWidget::eventFilter(watched, e);
}

void Instrument::backdropChanged()
{
    m_backdrop = QImage();
    invalidateCaches();
    m_hasKey = false;
    update();
}

void Instrument::paintBackdrop(QPainter &p)
{
    QWidget *panel = backdropSource();
    if (!panel)
        return;
    const QRect r(mapTo(panel, QPoint(0, 0)), size());
    const qreal dpr = devicePixelRatioF();
    if (m_backdrop.isNull() || r != m_backdropRect || panel->size() != m_backdropPanelSize
        || dpr != m_backdropDpr) {
        m_backdrop = blankImage(size(), dpr);
        // The panel's own painting only: its children (this one included) are left out.
        panel->render(&m_backdrop, QPoint(), QRegion(r), QWidget::DrawWindowBackground);
        markOpaque(m_backdrop); // put under each frame by a copy, not a blend
        m_backdropRect = r;
        m_backdropPanelSize = panel->size();
        m_backdropDpr = dpr;
    }
    const auto mode = p.compositionMode();
    p.setCompositionMode(QPainter::CompositionMode_Source);
    drawImageInBands(p, QPointF(0, 0), m_backdrop);
    p.setCompositionMode(mode);
}

QImage Instrument::backdropImage(BackdropCopy copy)
{
    QImage image = blankImage(size(), devicePixelRatioF());
    QPainter p(&image);
    paintBackdrop(p);
    p.end();
    if (copy == BackdropCopy::drop)
        m_backdrop = QImage();
    return image;
}

bool Instrument::event(QEvent *e)
{
    if (e->type() != QEvent::Paint)
        return QWidget::event(e);
    QElapsedTimer timer;
    timer.start();
    const bool handled = QWidget::event(e);
    const qint64 ns = timer.nsecsElapsed();
    m_longestPaintNs = std::max(m_longestPaintNs, ns);
    m_totalPaintNs += ns;
    return handled;
}

void Instrument::resizeEvent(QResizeEvent *e)
{
    QWidget::resizeEvent(e);
    invalidateCaches();
    m_hasKey = false;
}

void Instrument::moveEvent(QMoveEvent *e)
{
    QWidget::moveEvent(e);
    backdropChanged();
}

void Instrument::changeEvent(QEvent *e)
{
    QWidget::changeEvent(e);
    if (e->type() == QEvent::ParentChange)
        refreshOpacity();
    if (e->type() == QEvent::ParentChange || e->type() == QEvent::StyleChange
        || e->type() == QEvent::FontChange) {
        m_backdrop = QImage();
        invalidateCaches();
    }
}

void Instrument::showEvent(QShowEvent *e)
{
    QWidget::showEvent(e);
    refreshOpacity();
    m_backdrop = QImage();
}

} // namespace tsav
