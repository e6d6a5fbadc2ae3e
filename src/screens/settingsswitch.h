#pragma once
// SettingsSwitch: a switch-style toggle without a visible label. Its track is tinted
// when on; the title given for accessibility names it for screen readers.

#include <QAbstractButton>
#include <QColor>

namespace tsav {

class SettingsSwitch : public QAbstractButton {
    Q_OBJECT
public:
    SettingsSwitch(const QString &accessibleTitle, QColor tint, QWidget *parent = nullptr);

    QColor tint() const { return m_tint; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *) override;
    void focusInEvent(QFocusEvent *) override;

private:
    QColor m_tint;
    bool m_keyboardFocus = false; // the ring shows only for focus from the keyboard
};

} // namespace tsav
