#pragma once
// TSStat: a statistic tile: title (10 pt semibold, tracking 1.2, textTertiary) over the
// value (30 pt bold rounded, tabular digits, accent, glow) and, when numericValue > 0,
// a small live dot. Digit changes roll (spring, response 0.4 s, damping 0.78).

#include <QColor>
#include <QImage>
#include <QWidget>
#include <optional>

class QPainter;

namespace tsav {

class TSStat : public QWidget {
    Q_OBJECT
public:
    explicit TSStat(QString title, QWidget *parent = nullptr);
    void setValue(const QString &value, const QColor &accent,
                  std::optional<double> numericValue = std::nullopt);

    QString title() const { return m_title; }
    QString value() const { return m_value; }
    QColor accent() const { return m_accent; }
    bool showsLiveDot() const; // numericValue present and > 0

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // Progress (0 at the change, settling at 1) of the digit roll `elapsed` seconds
    // after a change: a spring of response 0.4 s and damping fraction 0.78.
    static double springProgress(double elapsed);

protected:
    void paintEvent(QPaintEvent *) override;

private:
    void paintRolling(QPainter &p, qreal baseline, double progress);

    QString m_title, m_value, m_previousValue;
    QColor m_accent;
    std::optional<double> m_numeric;
    double m_changedAt = -1e9; // FrameClock time of the last value change
    bool m_rollUp = true;
    QImage m_glow; // blurred value text, rebuilt when the value or accent changes
};

} // namespace tsav
