#include "kit/tspillbutton.h"

#include "alerts/feedback.h"
#include "kit/focusring.h"
#include "kit/icons.h"
#include "kit/palette.h"
#include "kit/typography.h"

#include <QFocusEvent>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>

namespace tsav {

namespace {

constexpr qreal kRadius = 10;
constexpr int kPadX = 14, kPadY = 10, kGap = 8;
constexpr qreal kFontSize = 13;

struct PillColors {
    QColor fill, text, border;
};

PillColors colorsFor(TSPillButton::Kind kind)
{
    switch (kind) {
    case TSPillButton::Kind::primary:
        return {palette::accentRed, Qt::white, palette::accentRed};
    case TSPillButton::Kind::danger:
        return {palette::accentRedSoft, palette::accentRed,
                palette::withOpacity(palette::accentRed, 0.5)};
    case TSPillButton::Kind::ghost:
        return {QColor(255, 255, 255, 10), palette::textPrimary, QColor(255, 255, 255, 31)};
    }
    return {};
}

feedback::Trigger triggerFor(TSPillButton::Kind kind)
{
    switch (kind) {
    case TSPillButton::Kind::primary: return feedback::Trigger::pillPrimary;
    case TSPillButton::Kind::danger: return feedback::Trigger::pillDanger;
    case TSPillButton::Kind::ghost: return feedback::Trigger::pillGhost;
    }
    return feedback::Trigger::pillGhost;
}

} // namespace

TSPillButton::TSPillButton(QString title, QString icon, Kind kind, QWidget *parent)
    : TSPillButton(std::move(title), std::move(icon), kind, {}, parent)
{
}

TSPillButton::TSPillButton(QString title, QString icon, Kind kind, std::function<void()> action,
                           QWidget *parent)
    : QAbstractButton(parent), m_icon(std::move(icon)), m_kind(kind), m_action(std::move(action))
{
    setText(title);
    setFont(fonts::system(kFontSize, fonts::Weight::Semibold));
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setAccessibleName(title);
    connect(this, &QAbstractButton::clicked, this, &TSPillButton::press);
}

void TSPillButton::setAction(std::function<void()> action) { m_action = std::move(action); }

void TSPillButton::setTitle(const QString &title)
{
    setText(title);
    setAccessibleName(title);
    updateGeometry();
    update();
}

void TSPillButton::setFixedPillWidth(int w)
{
    m_fixedWidth = std::max(0, w);
    updateGeometry();
}

QSize TSPillButton::sizeHint() const
{
    const QFontMetricsF fm(font());
    const qreal iconW = m_icon.isEmpty() ? 0 : kFontSize + 2 + kGap;
    const qreal w = m_fixedWidth > 0 ? m_fixedWidth
                                     : kPadX * 2 + iconW + fm.horizontalAdvance(text());
    const qreal h = kPadY * 2 + std::max<qreal>(fm.height(), kFontSize + 2);
    return QSize(int(std::ceil(w)), int(std::ceil(h)));
}

QSize TSPillButton::minimumSizeHint() const { return sizeHint(); }

void TSPillButton::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const PillColors c = colorsFor(m_kind);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath shape;
    shape.addRoundedRect(r, kRadius, kRadius);

    if (!isEnabled())
        p.setOpacity(0.45);
    p.fillPath(shape, c.fill);
    if (isDown())
        p.fillPath(shape, QColor(0, 0, 0, 50));
    else if (underMouse() && isEnabled())
        p.fillPath(shape, QColor(255, 255, 255, 14));
    p.setPen(QPen(c.border, 1));
    p.drawPath(shape);

    // Keyboard focus ring, outside the shape.
    if (hasFocus() && m_keyboardFocus) {
        QPainterPath ring;
        ring.addRoundedRect(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5), kRadius - 1, kRadius - 1);
        p.setPen(QPen(palette::accentBlue, 2));
        p.drawPath(ring);
    }

    // Icon and title, centred as one row.
    const QFontMetricsF fm(font());
    const qreal iconW = m_icon.isEmpty() ? 0 : kFontSize + 2;
    const qreal gap = m_icon.isEmpty() ? 0 : kGap;
    const qreal textW = fm.horizontalAdvance(text());
    const qreal rowW = iconW + gap + textW;
    qreal x = std::max<qreal>(kPadX, (width() - rowW) / 2);
    const qreal cy = height() / 2.0;
    if (!m_icon.isEmpty()) {
        icons::draw(p, QRectF(x, cy - iconW / 2, iconW, iconW), m_icon, c.text, kFontSize + 2);
        x += iconW + gap;
    }
    p.setFont(font());
    p.setPen(c.text);
    const QRectF textRect(x, 0, width() - x - kPadX / 2.0, height());
    p.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft,
               fm.elidedText(text(), Qt::ElideRight, textRect.width()));
}

void TSPillButton::focusInEvent(QFocusEvent *e)
{
    m_keyboardFocus = isKeyboardFocusReason(e->reason());
    QAbstractButton::focusInEvent(e);
}

void TSPillButton::press()
{
    // Haptic, then the kind's sound, then the action.
    feedback::give(triggerFor(m_kind));
    // The action may rebuild the screen and delete this button.
    QPointer<TSPillButton> self(this);
    if (m_action) {
        auto action = m_action;
        action();
    }
    if (self)
        emit triggered();
}

} // namespace tsav
