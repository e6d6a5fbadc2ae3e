#include "kit/iconview.h"

#include "kit/icons.h"

#include <QPainter>

#include <cmath>

namespace tsav {

IconView::IconView(QString symbol, QColor color, qreal size, QWidget *parent, int boxWidth)
    : QWidget(parent), m_symbol(std::move(symbol)), m_color(color), m_size(size),
      m_boxWidth(boxWidth)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setAttribute(Qt::WA_TranslucentBackground);
}

void IconView::setSymbol(const QString &symbol)
{
    if (symbol == m_symbol)
        return;
    m_symbol = symbol;
    update();
}

void IconView::setColor(const QColor &color)
{
    if (color == m_color)
        return;
    m_color = color;
    update();
}

QSize IconView::sizeHint() const
{
    const int s = int(std::ceil(m_size)) + 2;
    return QSize(m_boxWidth > 0 ? m_boxWidth : s, s);
}

void IconView::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    icons::draw(p, QRectF(rect()), m_symbol, m_color, m_size);
}

} // namespace tsav
