#include "screens/threatrow.h"

#include "kit/palette.h"
#include "kit/plaintext.h"
#include "kit/typography.h"

#include <QFontMetricsF>
#include <QMouseEvent>
#include <QPainter>

namespace tsav {

namespace {
constexpr double rowHeight = 40;
constexpr double barWidth = 4, barHeight = 36;
constexpr double gap = 12;

QFont titleFont() { return fonts::system(12, fonts::Weight::Semibold); }
QFont subtitleFont() { return fonts::system(10); }
QFont tagFont() { return fonts::system(10, fonts::Weight::Semibold); }
} // namespace

QString threatRowTitle(const Threat &t)
{
    if (t.signature)
        return *t.signature;
    if (t.description)
        return *t.description;
    return QStringLiteral("Threat");
}

QString threatRowSubtitle(const Threat &t)
{
    if (t.path)
        return *t.path;
    if (t.process_name)
        return *t.process_name;
    return QStringLiteral("—");
}

ThreatRow::ThreatRow(const Threat &t, QWidget *parent) : QWidget(parent), m_t(t)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAccessibleName(title());
}

void ThreatRow::setThreat(const Threat &t)
{
    if (t == m_t)
        return;
    m_t = t;
    setAccessibleName(title());
    updateGeometry();
    update();
}

void ThreatRow::setActionHandler(ActionHandler handler)
{
    m_handler = std::move(handler);
    setMouseTracking(bool(m_handler));
    update();
}

QList<threatactions::Action> ThreatRow::actions() const
{
    return m_handler ? threatactions::available(m_t) : QList<threatactions::Action>{};
}

QList<QRectF> ThreatRow::actionRects() const
{
    const auto list = actions();
    if (list.isEmpty())
        return {};
    const qreal right = (status().isEmpty() ? width() : tagRect().left() - gap);
    return threatactions::pillRects(list, QPointF(right - threatactions::pillsWidth(list),
                                                  (height() - threatactions::pillHeight) / 2));
}

void ThreatRow::mouseMoveEvent(QMouseEvent *e)
{
    bool over = false;
    for (const QRectF &r : actionRects())
        over |= r.contains(e->position());
    setCursor(over ? Qt::PointingHandCursor : Qt::ArrowCursor);
    QWidget::mouseMoveEvent(e);
}

void ThreatRow::mouseReleaseEvent(QMouseEvent *e)
{
    const QList<QRectF> rects = actionRects();
    const auto list = actions();
    for (qsizetype i = 0; i < rects.size(); ++i)
        if (e->button() == Qt::LeftButton && rects[i].contains(e->position())) {
            const Threat t = m_t; // the handler may change this row
            m_handler(list[i], t);
            return;
        }
    QWidget::mouseReleaseEvent(e);
}

QString ThreatRow::title() const { return plainText(threatRowTitle(m_t)); }
QString ThreatRow::subtitle() const { return plainText(threatRowSubtitle(m_t)); }
QString ThreatRow::status() const { return plainText(m_t.status, 64); }
QColor ThreatRow::accent() const { return palette::severityColor(m_t.severity); }

QSize ThreatRow::sizeHint() const { return {360, int(rowHeight)}; }
QSize ThreatRow::minimumSizeHint() const { return {120, int(rowHeight)}; }

QRectF ThreatRow::tagRect() const
{
    const QFontMetricsF fm(tagFont());
    const double w = fm.horizontalAdvance(status()) + 16;
    const double h = fm.height() + 6;
    return {width() - w, (height() - h) / 2, w, h};
}

void ThreatRow::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor c = accent();
    const double cy = height() / 2.0;

    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawRoundedRect(QRectF(0, cy - barHeight / 2, barWidth, barHeight), 4, 4);

    const QRectF tag = tagRect();
    const QList<QRectF> pills = actionRects();
    const double textLeft = barWidth + gap;
    const double textRight = pills.isEmpty() ? tag.left() : pills.first().left();
    const double textWidth = std::max(0.0, textRight - gap - textLeft);
    const QFontMetricsF tfm(titleFont()), sfm(subtitleFont());
    const double top = cy - (tfm.height() + 2 + sfm.height()) / 2;
    p.setFont(titleFont());
    p.setPen(palette::textPrimary);
    p.drawText(QPointF(textLeft, top + tfm.ascent()), tfm.elidedText(title(), Qt::ElideRight, textWidth));
    p.setFont(subtitleFont());
    p.setPen(palette::textSecondary);
    p.drawText(QPointF(textLeft, top + tfm.height() + 2 + sfm.ascent()),
               sfm.elidedText(subtitle(), Qt::ElideMiddle, textWidth));

    threatactions::paintPills(p, actions(), pills);

    if (!status().isEmpty()) {
        p.setPen(Qt::NoPen);
        p.setBrush(palette::withOpacity(c, 0.18));
        p.drawRoundedRect(tag, tag.height() / 2, tag.height() / 2);
        p.setFont(tagFont());
        p.setPen(c);
        p.drawText(tag, Qt::AlignCenter, status());
    }
}

} // namespace tsav
