#pragma once
// Direct pixel writes into ARGB32-premultiplied images (or opaque RGB32 ones), for the
// small, many, moving marks of an animated frame (dots, thin rings). QPainter's
// antialiased path fill costs a few microseconds per shape however small; these touch
// only the pixels the shape covers.
//
// Coordinates and sizes are in device pixels of the image (pixel centres at +0.5).
// Coverage is the usual one-pixel ramp at the edge.

#include <QImage>
#include <QPointF>
#include <QRgb>

#include <array>
#include <vector>

namespace tsav::pixels {

// The rows of a 32-bit image, found from one pointer: scanLine() checks whether the image
// is shared every time it is asked, which a loop over rows pays once per row.
class Rows {
public:
    explicit Rows(QImage &image) : m_bits(image.bits()), m_stride(image.bytesPerLine()) {}
    QRgb *operator[](int y) const { return reinterpret_cast<QRgb *>(m_bits + y * m_stride); }

private:
    uchar *m_bits;
    qsizetype m_stride;
};

// The same for reading: the image is not detached.
class ConstRows {
public:
    explicit ConstRows(const QImage &image) : m_bits(image.constBits()), m_stride(image.bytesPerLine()) {}
    const QRgb *operator[](int y) const { return reinterpret_cast<const QRgb *>(m_bits + y * m_stride); }

private:
    const uchar *m_bits;
    qsizetype m_stride;
};

// Blends an opaque colour (r, g, b) at `alpha` (0..255) over one premultiplied pixel.
inline void blendPixel(QRgb *px, int r, int g, int b, int alpha)
{
    if (alpha <= 0)
        return;
    alpha = alpha > 255 ? 255 : alpha;
    const QRgb d = *px;
    const int inv = 255 - alpha;
    *px = qRgba((r * alpha + qRed(d) * inv) / 255, (g * alpha + qGreen(d) * inv) / 255,
                (b * alpha + qBlue(d) * inv) / 255, alpha + qAlpha(d) * inv / 255);
}

// Opacity (0..255) by the angle behind a turning line, in 1024ths of a turn.
using TrailOpacity = std::array<quint8, 1024>;

// The trail behind a turning line, over row[xa..xb]: `colour` (opaque) at weight
// (opacity[(phi - angle[x]) >> 6] * cover[x] + 128) >> 8 on each pixel. `angle` (in
// 65536ths of a turn) and `cover` (0..255) map every pixel of the row, once per size.
void blendTrailRun(QRgb *row, const quint16 *angle, const quint8 *cover, int xa, int xb, quint16 phi,
                   const TrailOpacity &opacity, QRgb colour);

// A filled disc of `radius` around `centre`.
void blendDisc(QImage &image, QPointF centre, double radius, QRgb colour, double opacity);

// A circle stroked `width` wide around `centre` at `radius`; only the ring's own pixels
// are visited, row by row.
void blendRing(QImage &image, QPointF centre, double radius, double width, QRgb colour, double opacity);

// A straight stroke from p0 to p1, `width` wide with round caps, whose opacity runs from
// opacity0 at p0 to opacity1 at p1 (a gradient pen along the line).
void blendSegment(QImage &image, QPointF p0, QPointF p1, double width, QRgb colour, double opacity0,
                  double opacity1);

// The visible pixels of a mostly transparent image (a ring of thin marks), row by row, to
// draw over an ARGB32-premultiplied or RGB32 image as QPainter's source-over would, with
// the same rounding, but touching only those pixels instead of the whole square.
class SparseImage {
public:
    SparseImage() = default;
    explicit SparseImage(const QImage &premultiplied);

    bool isNull() const { return m_size.isEmpty(); }
    qsizetype pixelCount() const { return qsizetype(m_pixels.size()); }
    QSize size() const { return m_size; }
    qreal devicePixelRatio() const { return m_dpr; }

    // Source-over at a device-pixel offset; whatever falls outside `target` is skipped.
    // `opacity` is in 256ths, as a painter holds it (int(opacity * 256)), and is applied
    // with the painter's rounding.
    void drawOver(QImage &target, QPoint at, int opacity = 256) const;
    // The whole image again (transparent where nothing was).
    QImage toImage() const;
    // The premultiplied pixel at p; 0 where nothing was, or outside the image.
    QRgb pixel(QPoint p) const;

private:
    struct Run {
        int y, x, count;
        quint32 first; // its pixels in m_pixels
    };
    QSize m_size;
    qreal m_dpr = 1;
    std::vector<Run> m_runs;
    std::vector<QRgb> m_pixels; // premultiplied
};

// The pixels of a layer drawn around a centre (an arc with its glow), sorted by the angle
// at which they lie, so that the part of the layer up to any angle is a prefix of the
// list: showing a growing arc costs one pass over the pixels shown, with no path to
// fill and no blur to run.
//
// Angles are measured clockwise on screen from `startDegrees` (clockwise from +x), as
// fractions u of `spanDegrees`; pixels just before the start (u above `wrapAt`) count
// as negative, so a round cap and glow around the start are always shown.
class AngularLayer {
public:
    AngularLayer() = default;
    // `full` is the whole layer; `core` (same size, or null) the part of it without the
    // glow, so that beyond the cut only the glow fades out rather than the core.
    AngularLayer(const QImage &full, const QImage &core, QPointF centre, double startDegrees,
                 double spanDegrees, double wrapAt);

    bool isNull() const { return m_size.isEmpty(); }
    QSize size() const { return m_size; }
    qsizetype pixelCount() const { return qsizetype(m_u.size()); }

    // Writes into `out` (made the layer's size; transparent elsewhere) every pixel with
    // u <= f, and beyond that the glow alone, fading out over `fade`.
    void render(QImage &out, double f, double fade) const;
    // The core's colour (unpremultiplied, with alpha) nearest to angle fraction f at
    // distance `radius` from the centre; transparent when there is none.
    QRgb coreColourAt(double f, double radius) const;
    // The point at angle fraction f and `radius` from the centre (device pixels).
    QPointF pointAt(double f, double radius) const;

private:
    QSize m_size;
    QPointF m_centre;
    double m_start = 0, m_span = 360;
    std::vector<float> m_u;          // ascending
    std::vector<quint32> m_offset;   // pixel index in the layer
    std::vector<QRgb> m_full, m_glow; // premultiplied
    SparseImage m_core; // only its visible pixels: the stroke is a thin ring in the square
};

} // namespace tsav::pixels
