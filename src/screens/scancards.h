#pragma once
// The scan screen's animated parts: the launch cards, the particle field and the live
// header of a running scan. Each paints from its inputs and FrameClock::now().

#include "agentlink/records.h"
#include "kit/instruments/instrument.h"
#include "screens/scanlogic.h"

#include <QAbstractButton>
#include <QImage>
#include <QWidget>

#include <functional>

namespace tsav {

class ScanLaunchCard : public QAbstractButton {
    Q_OBJECT
public:
    ScanLaunchCard(scan::LaunchCardSpec spec, std::function<void()> action, QWidget *parent = nullptr);
    const scan::LaunchCardSpec &spec() const { return m_spec; }
    bool hovering() const { return m_hovering; }
    void setHovering(bool on);
    // Hover progress 0..1 at time t: ease-out over 0.18 s from the last change.
    double hoverProgress(double t) const;

    QSize sizeHint() const override;
    bool hasHeightForWidth() const override { return false; }

protected:
    void paintEvent(QPaintEvent *) override;
    void enterEvent(QEnterEvent *) override;
    void leaveEvent(QEvent *) override;

private:
    void paintChips(QPainter &p, const QRectF &area) const;
    scan::LaunchCardSpec m_spec;
    std::function<void()> m_action;
    bool m_hovering = false;
    double m_hoverChangedAt = -1e9;
    QImage m_iconGlow;
};

// Drifting particles, each a pure function of (index, time, size). It asks for no frames
// of its own: it lies over its parent, which repaints it with each of its frames.
class ParticleField : public QWidget {
    Q_OBJECT
public:
    ParticleField(QColor tint, qint64 count, QWidget *parent = nullptr);
    qint64 count() const { return m_count; }

protected:
    void paintEvent(QPaintEvent *) override;

private:
    QColor m_tint;
    qint64 m_count;
};

// The live header: particles behind the scan's kind, counters, current file and an
// indeterminate progress bar. It moves on every frame and spans its panel: in a panel it
// paints opaque, over a copy of the panel's pixels, so that its frames (and the
// particles' over it) never make the panel and the window repaint beneath it.
class LiveScanHero : public Instrument {
    Q_OBJECT
public:
    explicit LiveScanHero(QWidget *parent = nullptr);
    void setScan(const ScanStatus &scan);
    const ScanStatus &scan() const { return m_scan; }

    FrameKey frameKey(double t) const override;

protected:
    void paintEvent(QPaintEvent *) override;
    void resizeEvent(QResizeEvent *) override;
    void invalidateCaches() override;

private:
    ScanStatus m_scan;
    ParticleField *m_particles = nullptr;
    QImage m_still; // the panel's pixels with what changes only with the scan
    std::uint64_t m_stillKey = 0;
};

} // namespace tsav
