#pragma once
// LinearGauge: a labelled horizontal bar. Header: title (11 medium, textSecondary) and
// the rolling read-out (11 semibold); then an 8-point bar: hairline background with a
// grid line every 20 points, and a fill (tint at 50 % to tint) whose width follows the
// value with a spring (response 0.45 s, damping 0.8), carrying "tsav_scanline" (t, 0.25)
// and "tsav_bloom" (7, 1.1) within 10 points.

#include "kit/instruments/gaugemath.h"
#include "kit/instruments/glow.h"
#include "kit/instruments/instrument.h"
#include "kit/instruments/spring.h"

namespace tsav {

struct LinearGaugeSpec {
    QString title;
    double value = 0;
    double max = 100;
    QString unit;
    QString format = QStringLiteral("%.0f");
    QColor tint;
};

class LinearGauge : public Instrument {
    Q_OBJECT
public:
    static constexpr int maxFps = 60;
    static constexpr double barHeight = 8;

    explicit LinearGauge(LinearGaugeSpec spec = {}, QWidget *parent = nullptr);
    LinearGauge(QString title, double value, double max, QString unit, QString format, QColor tint,
                QWidget *parent = nullptr);

    void setSpec(const LinearGaugeSpec &spec);
    void setValue(double value);
    const LinearGaugeSpec &spec() const { return m_spec; }
    double fraction() const { return gauge::fraction(m_spec.value, m_spec.max); }
    QString readoutText() const { return gauge::barReadout(m_spec.value, m_spec.format, m_spec.unit); }
    QRectF barRect() const;

    FrameKey frameKey(double t) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *) override;
    void invalidateCaches() override;
    bool inMotion(double t) const override;

private:
    struct Frame {
        int fillPx = 0;
        int rollStep = 20;
        int band = -1 << 30;
    };
    Frame frameAt(double t) const;
    int fillPxAt(double t) const; // the bar's animated fill in whole pixels
    void buildComposite(const Frame &f, double t);
    const QImage &fillLayer(int fillPx);

    LinearGaugeSpec m_spec;
    Spring m_spring{SpringParams{0.45, 0.8}};
    RollingText m_text;
    QImage m_composite, m_fill;
    std::uint64_t m_compositeKey = 0;
    int m_fillKey = -1;
    QPoint m_fillOrigin;
};

} // namespace tsav
