#pragma once
// TSStat: a statistic tile: title (10 pt semibold, tracking 1.2, textTertiary) over the
// value (30 pt bold rounded, tabular digits, accent, glow) and, when numericValue > 0,
// a small live dot. Digit changes roll (spring, response 0.4 s, damping 0.78).

#include <QColor>
#include <QWidget>
#include <optional>

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

protected:
    void paintEvent(QPaintEvent *) override;

private:
    QString m_title, m_value, m_previousValue;
    QColor m_accent;
    std::optional<double> m_numeric;
    double m_changedAt = -1e9; // FrameClock time of the last value change
};

} // namespace tsav
