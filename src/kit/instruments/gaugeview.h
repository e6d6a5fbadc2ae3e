#pragma once
// GaugeView: the round 140-point dial with a 270-degree value arc, a needle and a
// read-out whose colour follows threshold zones, over a glow line and a caption.
//
// Layers, back to front: ring and 60 ticks (turning 0.15 rad/s while value > 0.01), the
// track, the value arc (angular gradient, "tsav_scanline" (t, 0.16), "tsav_bloom"
// (10, 1.4) within 14 points), the needle with its tip glow, the read-out with rolling
// digits and a glow. Value changes move arc and needle with one closed-form spring
// (response 0.55 s, damping 0.78). Everything but the scan-line band is painted from
// caches keyed by what they show; a frame is repainted only when its key changes.

#include "kit/instruments/gaugemath.h"
#include "kit/instruments/glow.h"
#include "kit/instruments/instrument.h"
#include "kit/instruments/pixels.h"
#include "kit/instruments/spring.h"

#include <climits>
#include <memory>
#include <optional>

namespace tsav {

struct GaugeSpec {
    QString title;
    double value = 0;
    double max = 100;
    QString unit;
    QString format = QStringLiteral("%.0f");
    std::optional<QString> centerText;
    gauge::Zones zones;
    bool reverseColors = false;
};

class GaugeView : public Instrument {
    Q_OBJECT
public:
    static constexpr int dialSize = 140;
    static constexpr int maxFps = 60;

    explicit GaugeView(GaugeSpec spec = {}, QWidget *parent = nullptr);
    GaugeView(QString title, double value, double max, QString unit, QString format,
              std::optional<QString> centerText, gauge::Zones zones, bool reverseColors,
              QWidget *parent = nullptr);
    ~GaugeView() override;

    // Replaces every input; a changed value animates.
    void setSpec(const GaugeSpec &spec);
    void setValue(double value);
    const GaugeSpec &spec() const { return m_spec; }

    double fraction() const;
    QColor zoneColor() const;
    QString readoutText() const;

    FrameKey frameKey(double t) const override;
    int restWakeFps(double t) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *) override;
    void invalidateCaches() override;
    QRect animatedRect() const override;
    QRect changedRect(double t) override;
    QRect bandRect(int first, int last) const;
    bool inMotion(double t) const override;

private:
    struct Frame; // the quantised state one frame shows
    Frame frameAt(double t) const;
    QRectF dialRect() const;
    void buildComposite(const Frame &f, double t);
    void paintDialBase(QPainter &p, const QRectF &dial) const;
    void paintTicks(QPainter &p, const QRectF &dial, double rotation) const;
    void buildStatic(const Frame &f);
    std::shared_ptr<const pixels::AngularLayer> arcPixels(QRgb colour) const;
    const QImage &arcLayer(const Frame &f);
    const pixels::SparseImage &tickPixels(int step) const;
    const QImage &tipImage(QRgb colour) const;
    const QImage &readoutGlow(const QColor &c);

    GaugeSpec m_spec;
    Spring m_spring{SpringParams{0.55, 0.78}};
    RollingText m_text;

    QImage m_static;    // backdrop and the layers that change only with inputs and zone
    QImage m_composite; // the frame without the scan-line band
    std::uint64_t m_compositeKey = 0, m_staticKey = 0;
    quint64 m_staticGeneration = 0, m_compositeFilledFrom = 0; // which still image the composite holds
    QImage m_arc, m_glow; // the visible arc (with bloom), the read-out's glow
    std::uint64_t m_arcKey = 0, m_glowKey = 0;
    QPoint m_arcOrigin;
    int m_paintedBand = INT_MIN; // the scan-line centre row the screen shows
};

} // namespace tsav
