#include "screens/settingsswitch.h"

#include "kit/focusring.h"
#include "kit/palette.h"

#include <QFocusEvent>

#include <QPainter>
#include <QPainterPath>

namespace tsav {

namespace {
constexpr int kWidth = 38;
constexpr int kHeight = 22;
constexpr qreal kKnobInset = 2;
} // namespace

SettingsSwitch::SettingsSwitch(const QString &accessibleTitle, QColor tint, QWidget *parent)
    : QAbstractButton(parent), m_tint(tint)
{
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(accessibleTitle);
    setToolTip(accessibleTitle);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize SettingsSwitch::sizeHint() const
{
    return {kWidth, kHeight};
}

void SettingsSwitch::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled())
        p.setOpacity(0.45);

    const QRectF track = QRectF(0, 0, kWidth, kHeight).translated(
        (width() - kWidth) / 2.0, (height() - kHeight) / 2.0);
    const qreal radius = track.height() / 2;
    p.setPen(Qt::NoPen);
    p.setBrush(isChecked() ? m_tint : QColor(255, 255, 255, 41));
    p.drawRoundedRect(track, radius, radius);

    if (hasFocus() && m_keyboardFocus) {
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(palette::withOpacity(palette::accentBlue, 0.8), 1.5));
        p.drawRoundedRect(track.adjusted(-1.5, -1.5, 1.5, 1.5), radius + 1.5, radius + 1.5);
        p.setPen(Qt::NoPen);
    }

    const qreal knob = track.height() - 2 * kKnobInset;
    const qreal x = isChecked() ? track.right() - kKnobInset - knob : track.left() + kKnobInset;
    p.setBrush(QColor(0, 0, 0, 60));
    p.drawEllipse(QRectF(x, track.top() + kKnobInset + 0.8, knob, knob));
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(x, track.top() + kKnobInset, knob, knob));
}

void SettingsSwitch::focusInEvent(QFocusEvent *e)
{
    m_keyboardFocus = isKeyboardFocusReason(e->reason());
    QAbstractButton::focusInEvent(e);
}

} // namespace tsav
