#pragma once
// RadarView: the animated scope of the dashboard's protection block.
//
// A dark disc with stars, ripples, spokes, range rings, rim ticks and bearing labels; a
// sweep turning counter-clockwise once every 4 seconds with its fading trail (one
// conical-gradient fill), sparks and a blooming line; up to eight blips marked by
// LockOnReticles; a pulsing centre; four corner read-outs. Every motion is a function of
// FrameClock::now(). The still layers (disc, spokes, rings, ticks, labels, fixed
// read-outs) are one cached image, rebuilt only when the inputs or the size change; the
// sweep line with its bloom is one cached sprite drawn turned.

#include "kit/instruments/instrument.h"
#include "kit/instruments/pixels.h"
#include "kit/instruments/radarmath.h"

#include <QHash>
#include <QStringList>

#include <vector>

namespace tsav {

// The reticle shape: four corner brackets (see radar::lockOnReticle).
struct LockOnReticle {
    static QPainterPath path(const QRectF &rect) { return radar::lockOnReticle(rect); }
};

class RadarView : public Instrument {
    Q_OBJECT
public:
    // The sweep is smooth at 30 frames a second; 60 would double the cost (see the
    // render benchmark).
    static constexpr int maxFps = 30;

    RadarView(qint64 threatCount = 0, double size = 220, bool active = false,
              QStringList blipLabels = {}, QWidget *parent = nullptr);
    ~RadarView() override;

    void setThreatCount(qint64 count);
    void setActive(bool active);
    void setBlipLabels(const QStringList &labels);
    void setScopeSize(double size);

    qint64 threatCount() const { return m_threatCount; }
    bool isActive() const { return m_active; }
    const QStringList &blipLabels() const { return m_labels; }
    double scopeSize() const { return m_size; }

    // The corner read-outs at time t, top left, top right, bottom left, bottom right.
    QList<QStringList> readouts(double t) const;

    FrameKey frameKey(double t) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *) override;
    void invalidateCaches() override;

private:
    QPointF origin() const; // top-left of the scope in the widget
    void buildBase();
    void buildSprites();
    void paintUnderTrail(double t);
    const pixels::SparseImage &reticlePixels(double degrees);
    void paintTrail(double t);
    void buildTrailMap();
    void paintOverTrail(QPainter &p, double t);
    void paintReadout(QPainter &p, const QStringList &lines, QPointF anchor, bool trailing);
    const QImage &labelImage(const QString &label);

    qint64 m_threatCount;
    double m_size;
    bool m_active;
    QStringList m_labels;

    QImage m_base;   // backdrop and every still layer
    QImage m_frame;  // the frame being composed
    QImage m_disc;   // the disc's coverage, for the scan-line light
    QImage m_sweep;  // the sweep line pointing along +x, bloom included
    QPointF m_sweepPivot; // where the centre sits in m_sweep
    QImage m_blipDot, m_centreDot; // dots with their glows
    QHash<QString, QImage> m_labelCache;
    std::vector<quint16> m_trailAngle; // per frame pixel: angle in 65536ths of a turn
    std::vector<quint8> m_trailCover;  // per frame pixel: inside the trail's circle, 0..255
    QSize m_trailMapSize;
    std::vector<pixels::SparseImage> m_reticles; // by whole degrees of turn, 0..89; only their visible pixels
    qreal m_reticlesDpr = 0;
    struct Glyph {
        QImage image;
        double advance = 0;
    };
    QHash<QChar, Glyph> m_glyphs; // read-out characters
};

} // namespace tsav
