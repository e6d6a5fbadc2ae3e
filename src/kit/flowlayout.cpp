#include "kit/flowlayout.h"

#include <QWidget>
#include <cmath>

namespace tsav {

FlowArrangement arrangeFlow(const QList<QSizeF> &sizes, qreal maxWidth, qreal spacing,
                            qreal lineSpacing)
{
    FlowArrangement out;
    out.frames.reserve(sizes.size());
    qreal x = 0, y = 0, lineHeight = 0, maxX = 0;
    for (const QSizeF &s : sizes) {
        const qreal w = s.width(), h = s.height();
        if (x > 0 && x + w > maxWidth) {
            y = y + lineHeight + lineSpacing;
            x = 0;
            lineHeight = 0;
        }
        out.frames.append(QRectF(x, y, w, h));
        x = x + w + spacing;
        lineHeight = std::max(lineHeight, h);
        maxX = std::max(maxX, x);
    }
    out.size = QSizeF(maxX, y + lineHeight);
    return out;
}

FlowLayout::FlowLayout(qreal spacing, qreal lineSpacing, QWidget *parent)
    : QLayout(parent), m_spacing(spacing), m_lineSpacing(lineSpacing)
{
    setContentsMargins(0, 0, 0, 0);
}

FlowLayout::~FlowLayout()
{
    while (QLayoutItem *item = takeAt(0))
        delete item;
}

void FlowLayout::addItem(QLayoutItem *item) { m_items.append(item); }
int FlowLayout::count() const { return int(m_items.size()); }

QLayoutItem *FlowLayout::itemAt(int index) const
{
    return (index >= 0 && index < m_items.size()) ? m_items.at(index) : nullptr;
}

QLayoutItem *FlowLayout::takeAt(int index)
{
    if (index < 0 || index >= m_items.size())
        return nullptr;
    QLayoutItem *item = m_items.takeAt(index);
    invalidate();
    return item;
}

Qt::Orientations FlowLayout::expandingDirections() const { return {}; }
bool FlowLayout::hasHeightForWidth() const { return true; }

// Ideal sizes of the visible children (hidden widgets take no place).
QList<QSizeF> FlowLayout::itemSizes() const
{
    QList<QSizeF> sizes;
    sizes.reserve(m_items.size());
    for (QLayoutItem *item : m_items) {
        if (item->isEmpty())
            continue;
        sizes.append(QSizeF(item->sizeHint()));
    }
    return sizes;
}

int FlowLayout::heightForWidth(int width) const
{
    const QMargins m = contentsMargins();
    const qreal inner = width - m.left() - m.right();
    const auto a = arrangeFlow(itemSizes(), inner, m_spacing, m_lineSpacing);
    return int(std::ceil(a.size.height())) + m.top() + m.bottom();
}

QSize FlowLayout::sizeHint() const
{
    // Without a proposed width every child lands on one line.
    const QMargins m = contentsMargins();
    const auto a = arrangeFlow(itemSizes(), std::numeric_limits<qreal>::infinity(), m_spacing,
                               m_lineSpacing);
    return QSize(int(std::ceil(a.size.width())) + m.left() + m.right(),
                 int(std::ceil(a.size.height())) + m.top() + m.bottom());
}

QSize FlowLayout::minimumSize() const
{
    // The widest single child (plus its gap) is the narrowest sensible width.
    const QMargins m = contentsMargins();
    qreal w = 0;
    for (const QSizeF &s : itemSizes())
        w = std::max(w, s.width());
    return QSize(int(std::ceil(w)) + m.left() + m.right(), m.top() + m.bottom());
}

void FlowLayout::setGeometry(const QRect &rect)
{
    QLayout::setGeometry(rect);
    const QRect inner = rect.marginsRemoved(contentsMargins());
    QList<QLayoutItem *> visible;
    for (QLayoutItem *item : m_items)
        if (!item->isEmpty())
            visible.append(item);
    const auto a = arrangeFlow(itemSizes(), inner.width(), m_spacing, m_lineSpacing);
    for (qsizetype i = 0; i < visible.size(); ++i) {
        const QRectF f = a.frames.at(i);
        visible.at(i)->setGeometry(QRect(QPoint(inner.x() + qRound(f.x()), inner.y() + qRound(f.y())),
                                         QSize(qRound(f.width()), qRound(f.height()))));
    }
}

} // namespace tsav
