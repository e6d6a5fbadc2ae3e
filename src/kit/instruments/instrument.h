#pragma once
// Instrument: the base of every animated view of the console.
//
// An instrument paints as a pure function of its inputs and FrameClock::now(). It
// subscribes to the window's frame clock at its own maximum rate and, on each tick, asks
// the subclass for a frame key: a digest of everything the frame would show, quantised
// to whole pixels and colour levels. It repaints only when the key changes, so a dial
// whose ticks move a fifth of a pixel per frame is not redrawn every frame, and then only
// the part of itself that moves (animatedRect()). At rest (inMotion() false) it asks the
// clock for at most restFps frames a second, so that every instrument at rest is served
// by the same ticks; its frames are the same, each shown within a 30th of a second. One
// whose frame at rest changes less often (restWakeFps()) lets the clock, when nothing
// faster is on screen, wake only that often: each frame then shows within that tick.
//
// Inside a TSPanel an instrument paints opaque: it keeps a copy of the panel's pixels
// under its rectangle (invalidated when either moves or resizes) and starts each frame
// from that copy, so a frame never makes Qt repaint the panel beneath it.

#include <QImage>
#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <initializer_list>

namespace tsav {

// Folds quantised values into one 64-bit digest (FNV-1a over the values).
class FrameKey {
public:
    FrameKey() = default;
    FrameKey &add(std::int64_t v);
    FrameKey &add(double v, double step); // v quantised to multiples of step
    std::uint64_t value() const { return m_h; }
    bool operator==(const FrameKey &) const = default;

private:
    std::uint64_t m_h = 1469598103934665603ull;
};

// Qt's raster painter hands fills taller than about 96 scanlines to a thread pool; on a
// small machine the hand-off costs several times the fill itself. inBands() runs `draw`
// once per horizontal band of `area` (in the painter's logical coordinates), clipped to
// the band, so that no single fill spans enough rows to be split.
void inBands(QPainter &p, const QRectF &area, const std::function<void()> &draw, int maxDeviceRows = 80);
// Draws `image` at `at` as horizontal strips of at most `maxDeviceRows` of its rows, for
// the same reason: a single blit of a tall image would be split across threads.
void drawImageInBands(QPainter &p, QPointF at, const QImage &image, int maxDeviceRows = 80);
// A transparent picture of `logical` points at pixel ratio `dpr`: a layer to paint into.
QImage blankImage(QSizeF logical, qreal dpr);
// The same pixels without the painter. Qt keeps the engine of the last painter with each
// picture it painted on (its path, stroke and span buffers, several KB) for as long as
// the picture lives: a picture painted once and then kept is kept as this copy. The
// radar's ninety reticles held 0.5 MB of engines for 0.5 MB of pixels.
QImage withoutPainter(const QImage &painted);
// A layer painted over an opaque backdrop, every pixel of it opaque, is marked as having
// no alpha (the same bits): Qt then copies it to the window's picture, as it copies the
// still layer into a frame, where a layer with alpha goes through its general per-pixel
// path. A layer with any translucent pixel is left as it is.
void markOpaque(QImage &image);

class Instrument : public QWidget {
    Q_OBJECT
public:
    Instrument(int maxFps, QWidget *parent = nullptr);
    ~Instrument() override;

    static constexpr int restFps = 30;

    int maxFps() const { return m_maxFps; }
    // The rate currently asked of the clock: maxFps() in motion, else at most restFps.
    int currentFps() const { return m_fps; }
    // Frames actually painted since construction, and the longest and total time spent
    // in paint events (diagnostics and benchmarks).
    quint64 framesPainted() const { return m_framesPainted; }
    qint64 longestPaintNs() const { return m_longestPaintNs; }
    qint64 totalPaintNs() const { return m_totalPaintNs; }
    // Starts the longest-paint figure afresh (to leave out the frames that built caches).
    void resetLongestPaint() { m_longestPaintNs = 0; }

    // The digest of the frame at time t.
    virtual FrameKey frameKey(double t) const = 0;

protected:
    // Called on each clock tick; repaints when the frame key changed.
    void tick(double t);
    // Subclasses call this after their inputs change: caches are rebuilt on next paint.
    void inputsChanged();
    // Or this, after a change that only sets a motion going (caches keyed by what they
    // show stay): repaints the animated part, or the whole widget when `wholeWidget`.
    void valueChanged(bool wholeWidget);
    // Subclasses drop their own caches here (inputs, size or device pixel ratio changed).
    virtual void invalidateCaches() {}
    // The part of the widget that a change of frame key can touch; the rest changes only
    // with the inputs (which repaint everything).
    virtual QRect animatedRect() const { return rect(); }
    // The part a tick at time t must repaint, the key having changed: by default the
    // animated part; an instrument that knows only a small piece moved says which.
    virtual QRect changedRect(double t) { return animatedRect(); }
    // Whether something is moving at time t faster than restFps frames show smoothly (a
    // spring, a rolling read-out). The default: always, i.e. always at maxFps.
    virtual bool inMotion(double t) const { return true; }
    // Whether a quantised step of a motion (an arc's half degree, a roll's twentieth)
    // would move by more than one between this frame and the next at restFps: then some
    // step would never show, and the motion needs its faster frames. The end of a spring
    // or of an ease-out moves more slowly than that; at restFps each of its steps shows.
    static bool skipsAtRest(int stepNow, int stepNext) { return std::abs(stepNext - stepNow) > 1; }
    // How often the clock must wake for this instrument at rest at time t: restFps, or
    // less for one whose frame at rest changes less often (ticks the clock runs anyway for
    // others still reach it up to restFps).
    virtual int restWakeFps(double t) const { return restFps; }

    // Paints the pixels under this widget (a copy of the enclosing panel's), or nothing
    // when the widget has no enclosing panel and is painted transparent.
    void paintBackdrop(QPainter &p);
    // A picture of this widget at its pixel ratio holding those pixels: the first layer
    // of a cached still image. A still rebuilt only when the panel or the instrument's
    // zone changes lets go of the copy paintBackdrop keeps (`drop`): the still holds
    // those pixels already, and a dashboard's dials and radar kept 0.7 MB of them twice.
    enum class BackdropCopy { keep, drop };
    QImage backdropImage(BackdropCopy copy = BackdropCopy::keep);
    // Starts a paint: records the frame's key and counts the frame.
    void beginFrame(double t);

    bool event(QEvent *e) override;
    void resizeEvent(QResizeEvent *e) override;
    void moveEvent(QMoveEvent *e) override;
    bool eventFilter(QObject *watched, QEvent *e) override;
    void changeEvent(QEvent *e) override;
    void showEvent(QShowEvent *e) override;

private:
    QWidget *backdropSource() const;
    void refreshOpacity();
    void backdropChanged(); // what lies under us changed: every cached layer is stale

    void askFps(int fps, int wakeFps = 0);

    int m_maxFps;
    int m_fps;
    int m_wakeFps = 0;
    FrameKey m_lastKey;
    bool m_hasKey = false;
    quint64 m_framesPainted = 0;
    qint64 m_longestPaintNs = 0;
    qint64 m_totalPaintNs = 0;
    QPointer<QWidget> m_watchedPanel;
    QImage m_backdrop;
    QRect m_backdropRect;     // our rectangle in the panel's coordinates
    QSize m_backdropPanelSize;
    qreal m_backdropDpr = 0;
};

} // namespace tsav
