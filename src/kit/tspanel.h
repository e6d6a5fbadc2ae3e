#pragma once
// TSPanel: the panel container of every screen. Rounded (radius 14) panelBase fill with
// a faint top sheen, 18-point content inset, and a border whose blue middle breathes:
// alpha = 0.18 + 0.15 * (0.5 + 0.5 * sin(0.4 t)), all panels in step, at most 30
// redraws a second, repainting only the border ring (a separate overlay), and only when
// the border's colour has moved by at least one colour level.

#include <QWidget>

class QVBoxLayout;

namespace tsav {

class TSPanel : public QWidget {
    Q_OBJECT
public:
    explicit TSPanel(QWidget *parent = nullptr);
    // Layout holding the content (18-point inset already applied).
    QVBoxLayout *contentLayout() const;
    // Convenience: adds a widget to the content layout.
    void addWidget(QWidget *w, int stretch = 0);

    // The border's breathing alpha at time t (seconds).
    static double borderAlpha(double t);

protected:
    void paintEvent(QPaintEvent *) override;
    void resizeEvent(QResizeEvent *) override;
    void childEvent(QChildEvent *) override;

private:
    QVBoxLayout *m_layout;
    QWidget *m_border = nullptr; // overlay that paints only the ring
};

} // namespace tsav
