#include "kit/tspanel.h"

#include "kit/frameclock.h"
#include "kit/palette.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPaintEvent>
#include <QVBoxLayout>

#include <cmath>
#include <limits>

namespace tsav {

namespace {

constexpr qreal kRadius = 14;
constexpr int kInset = 18;
constexpr int kBorderFps = 30;
// Width of the strip repainted for the border: the 1-point stroke, its antialiasing
// and the rounded corners' curve all fit in it.
constexpr int kRingStrip = 3;

QPainterPath panelShape(const QRectF &r)
{
    QPainterPath path;
    path.addRoundedRect(r, kRadius, kRadius);
    return path;
}

// Every panel asks on the same tick: the level is worked out once per time.
int alphaLevel(double t)
{
    static double lastT = std::numeric_limits<double>::quiet_NaN();
    static int lastLevel = 0;
    if (t != lastT) {
        lastT = t;
        lastLevel = int(std::lround(TSPanel::borderAlpha(t) * 255.0));
    }
    return lastLevel;
}

// The overlay that paints only the breathing ring, above the panel's content. Its mask is
// the ring, so content repainting under it (an instrument's frame) does not make it paint.
class PanelBorder : public QWidget {
public:
    explicit PanelBorder(QWidget *parent) : QWidget(parent)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
        setFocusPolicy(Qt::NoFocus);
        FrameClock::instance().subscribe(this, kBorderFps, [this](double t) {
            const int level = alphaLevel(t);
            if (level != m_paintedLevel)
                update(m_ring);
        });
    }

    void fitTo(const QRect &r)
    {
        setGeometry(r);
        m_ring = ringRegion();
        setMask(m_ring);
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

protected:
    void paintEvent(QPaintEvent *) override
    {
        const double t = FrameClock::now();
        m_paintedLevel = alphaLevel(t);
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        QLinearGradient g(r.topLeft(), r.bottomRight());
        g.setColorAt(0, palette::hairline);
        g.setColorAt(0.5, palette::withOpacity(palette::accentBlue, m_paintedLevel / 255.0));
        g.setColorAt(1, palette::hairline);
        p.setPen(QPen(QBrush(g), 1));
        p.setBrush(Qt::NoBrush);
        p.drawPath(panelShape(r));
    }

private:
    int m_paintedLevel = -1;
    QRegion m_ring;
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
    return 0.18 + 0.15 * (0.5 + 0.5 * std::sin(0.4 * t));
}

void TSPanel::paintEvent(QPaintEvent *e)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setClipRegion(e->region());
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const QPainterPath shape = panelShape(r);
    p.fillPath(shape, palette::panelBase);
    QLinearGradient sheen(r.topLeft(), QPointF(r.left(), r.center().y()));
    sheen.setColorAt(0, QColor(255, 255, 255, 10)); // white at 0.04
    sheen.setColorAt(1, QColor(255, 255, 255, 0));
    p.fillPath(shape, sheen);
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
