#pragma once
// TSPillButton: the console's button. Icon and title (13 pt semibold) in a rounded
// (radius 10) shape; fill/text/border by kind. On press, in this order: the level-change
// haptic, the kind's sound (primary glass, danger funk, ghost tink), then the action.

#include <QAbstractButton>
#include <functional>

namespace tsav {

class TSPillButton : public QAbstractButton {
    Q_OBJECT
public:
    enum class Kind { primary, danger, ghost };

    TSPillButton(QString title, QString icon, Kind kind, QWidget *parent = nullptr);
    TSPillButton(QString title, QString icon, Kind kind, std::function<void()> action,
                 QWidget *parent = nullptr);

    void setAction(std::function<void()> action);
    void setTitle(const QString &title);
    QString title() const { return text(); }
    Kind kind() const { return m_kind; }
    // Fixed width in points (0: natural width).
    void setFixedPillWidth(int w);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

Q_SIGNALS:
    void triggered(); // after the feedback, alongside the action

protected:
    void paintEvent(QPaintEvent *) override;
    void focusInEvent(QFocusEvent *) override;

private:
    void press();
    QString m_icon;
    Kind m_kind;
    std::function<void()> m_action;
    int m_fixedWidth = 0;
    bool m_keyboardFocus = false;
};

} // namespace tsav
