#pragma once
// TSPanel: the panel container of every screen. Rounded (radius 14) panelBase fill with
// a faint top sheen, 18-point content inset, and a border whose blue middle breathes:
// alpha = 0.18 + 0.15 * (0.5 + 0.5 * sin(0.4 t)), all panels in step, repainting only the
// border ring (a separate overlay), and only when the border's colour moves to another
// colour level: the clock wakes the ring at that moment (at most 7.7 times a second, on
// the next frame when instruments animate) rather than looking 30 times a second.

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

    // The border's breathing alpha at time t (seconds), the colour level it is painted
    // with (0-255), and the first time after t at which that level is another.
    static double borderAlpha(double t);
    static int borderLevel(double t);
    static double nextBorderChange(double t);

protected:
    void paintEvent(QPaintEvent *) override;
    void resizeEvent(QResizeEvent *) override;
    void childEvent(QChildEvent *) override;

private:
    QVBoxLayout *m_layout;
    QWidget *m_border = nullptr; // overlay that paints only the ring
};

} // namespace tsav
