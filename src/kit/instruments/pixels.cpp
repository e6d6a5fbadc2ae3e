#include "kit/instruments/pixels.h"

#include <algorithm>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tsav::pixels {

namespace {
// Premultiplied, or opaque: over an opaque pixel every blend below stays opaque.
bool usable(const QImage &image)
{
    return !image.isNull()
           && (image.format() == QImage::Format_ARGB32_Premultiplied || image.format() == QImage::Format_RGB32);
}

// The first and last pixel a shape reaches, clamped to [lo, hi] while still a double: a
// shape may reach far outside the picture, beyond what an int holds. A NaN gives the far
// end (hi for a first pixel, lo for a last), so a span with a NaN end is empty.
int floorWithin(double v, int lo, int hi)
{
    return v <= double(hi) ? (v >= double(lo) ? int(std::floor(v)) : lo) : hi;
}
int ceilWithin(double v, int lo, int hi)
{
    return v >= double(lo) ? (v <= double(hi) ? int(std::ceil(v)) : hi) : lo;
}

int alphaOf(double opacity)
{
    return int(std::lround(255 * std::clamp(opacity, 0.0, 1.0)));
}

// x (weight a) + y (weight b), per 8-bit channel, a + b = 255.
inline quint32 interpolate255(quint32 x, quint32 a, quint32 y, quint32 b)
{
    quint32 t = (x & 0xff00ff) * a + (y & 0xff00ff) * b;
    t = (t + ((t >> 8) & 0xff00ff) + 0x800080) >> 8;
    t &= 0xff00ff;
    x = ((x >> 8) & 0xff00ff) * a + ((y >> 8) & 0xff00ff) * b;
    x = x + ((x >> 8) & 0xff00ff) + 0x800080;
    x &= 0xff00ff00;
    return x | t;
}

#if defined(__SSE2__)
// An opaque colour's channels in 16-bit lanes for blendPixels4, two pixels' worth, with
// 255 in the alpha lanes.
inline __m128i colourLanes(int r, int g, int b)
{
    return _mm_unpacklo_epi8(_mm_set1_epi32(int(qRgba(r, g, b, 255))), _mm_setzero_si128());
}

// blendPixel over four pixels, their alphas (0..255) in the 32-bit lanes of `alpha`. Per
// channel c·a + d·(255 − a) stays within 16 bits, and its truncated quotient by 255 is
// (x·0x8081) >> 23 for every x below 65536. The alpha lane's 255 gives blendPixel's
// a + qAlpha(d)·(255 − a) / 255, and an alpha of 0 gives the pixel back unchanged.
inline void blendPixels4(QRgb *at, __m128i alpha, __m128i colour)
{
    const __m128i zero = _mm_setzero_si128(), full = _mm_set1_epi16(255), by255 = _mm_set1_epi16(short(0x8081));
    const __m128i a16 = _mm_packs_epi32(alpha, alpha);
    const __m128i a2 = _mm_unpacklo_epi16(a16, a16); // a0 a0 a1 a1 a2 a2 a3 a3
    const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
    auto half = [&](__m128i d, __m128i a) { // two pixels, a channel a lane
        const __m128i t = _mm_add_epi16(_mm_mullo_epi16(colour, a), _mm_mullo_epi16(d, _mm_sub_epi16(full, a)));
        return _mm_srli_epi16(_mm_mulhi_epu16(t, by255), 7);
    };
    const __m128i lo = half(_mm_unpacklo_epi8(px, zero), _mm_unpacklo_epi32(a2, a2));
    const __m128i hi = half(_mm_unpackhi_epi8(px, zero), _mm_unpackhi_epi32(a2, a2));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(at), _mm_packus_epi16(lo, hi));
}

// Zero in the lanes of x, x + 1, x + 2, x + 3 that lie past `last`.
inline __m128i keepUpTo(__m128i alpha, int x, int last)
{
    const __m128i lanes = _mm_add_epi32(_mm_set1_epi32(x), _mm_setr_epi32(0, 1, 2, 3));
    return _mm_andnot_si128(_mm_cmpgt_epi32(lanes, _mm_set1_epi32(last)), alpha);
}

inline bool allZero(__m128i v) { return _mm_movemask_epi8(_mm_cmpeq_epi32(v, _mm_setzero_si128())) == 0xffff; }
#endif
} // namespace

void blendDisc(QImage &image, QPointF centre, double radius, QRgb colour, double opacity)
{
    if (!usable(image) || !(radius > 0) || !std::isfinite(centre.x()) || !std::isfinite(centre.y()))
        return;
    const int a0 = alphaOf(opacity);
    if (a0 == 0)
        return;
    const int r = qRed(colour), g = qGreen(colour), b = qBlue(colour);
    const double reach = radius + 0.5;
    const int w = image.width(), h = image.height();
    const int y0 = floorWithin(centre.y() - reach, 0, h), y1 = ceilWithin(centre.y() + reach, -1, h - 1);
    const int x0 = floorWithin(centre.x() - reach, 0, w), x1 = ceilWithin(centre.x() + reach, -1, w - 1);
    // A disc smaller than a pixel keeps its area: the coverage ramp is scaled down.
    const double area = radius < 0.5 ? radius * radius * 4 : 1.0;
    const double solid = std::max(radius, 0.5) - 0.5; // pixels closer than this are fully covered
    const double rim = std::max(radius, 0.5) + 0.5;   // and farther than this not at all
    const int lastX = image.width() - 1;
    // The edge pixels of a row from xa to xb, each by its distance from the centre.
    auto edge = [&](QRgb *row, int xa, int xb, double dy) {
        int x = xa;
#if defined(__SSE2__)
        // Four at a time, in double lanes like the one-pixel rule below; lanes past xb
        // blend at 0.
        const __m128d cx = _mm_set1_pd(centre.x()), dy2 = _mm_set1_pd(dy * dy), rimLanes = _mm_set1_pd(rim);
        const __m128d zero = _mm_setzero_pd(), one = _mm_set1_pd(1.0), areaLanes = _mm_set1_pd(area);
        const __m128d alpha0 = _mm_set1_pd(a0), half = _mm_set1_pd(0.5);
        const __m128i colour = colourLanes(r, g, b);
        auto weights = [&](__m128d px) { // two pixels' alphas, in the low 32-bit lanes
            const __m128d dx = _mm_sub_pd(px, cx);
            const __m128d d = _mm_sqrt_pd(_mm_add_pd(_mm_mul_pd(dx, dx), dy2));
            const __m128d cover = _mm_mul_pd(_mm_min_pd(_mm_max_pd(_mm_sub_pd(rimLanes, d), zero), one), areaLanes);
            return _mm_cvttpd_epi32(_mm_add_pd(_mm_mul_pd(alpha0, cover), half));
        };
        for (; x <= xb && x + 3 <= lastX; x += 4) {
            const __m128i a = keepUpTo(_mm_unpacklo_epi64(weights(_mm_setr_pd(x + 0.5, x + 1.5)),
                                                          weights(_mm_setr_pd(x + 2.5, x + 3.5))),
                                       x, xb);
            if (!allZero(a))
                blendPixels4(row + x, a, colour);
        }
#endif
        for (; x <= xb; ++x) {
            const double dx = x + 0.5 - centre.x();
            const double cover = std::clamp(rim - std::sqrt(dx * dx + dy * dy), 0.0, 1.0) * area;
            if (cover > 0)
                blendPixel(row + x, r, g, b, int(a0 * cover + 0.5));
        }
    };
    const Rows rows(image);
    for (int y = y0; y <= y1; ++y) {
        QRgb *row = rows[y];
        const double dy = y + 0.5 - centre.y();
        // The row's fully covered run needs no distance per pixel.
        const double inner2 = solid * solid - dy * dy;
        if (inner2 > 4 && area == 1.0) {
            const double xi = std::sqrt(inner2) - 1;
            const int ia = ceilWithin(centre.x() - xi - 0.5, x0, x1 + 1);
            const int ib = floorWithin(centre.x() + xi - 0.5, x0 - 1, x1);
            if (ia <= ib) {
                for (int x = ia; x <= ib; ++x)
                    blendPixel(row + x, r, g, b, a0);
                edge(row, x0, ia - 1, dy);
                edge(row, ib + 1, x1, dy);
                continue;
            }
        }
        edge(row, x0, x1, dy);
    }
}

void blendTrailRun(QRgb *row, const quint16 *angle, const quint8 *cover, int xa, int xb, quint16 phi,
                   const TrailOpacity &opacity, QRgb colour)
{
    constexpr int shift = 16 - 10; // 65536ths of a turn to the table's 1024ths
    int x = std::max(xa, 0);
#if defined(__SSE2__)
    // Eight pixels at a time, with interpolate255's sum and rounding in 16-bit lanes: a
    // channel's x·a + y·(255 − a), plus its high byte and 128, stays below 65536, as does
    // an opacity times the cover plus 128. A weight of 0 gives the pixel back unchanged,
    // so no pixel needs to be skipped.
    const __m128i zero = _mm_setzero_si128();
    const __m128i colourLanes = _mm_unpacklo_epi8(_mm_set1_epi32(int(colour)), zero);
    const __m128i full = _mm_set1_epi16(255), round = _mm_set1_epi16(0x80);
    const __m128i phiLanes = _mm_set1_epi16(short(phi));
    auto mix = [&](__m128i *at, __m128i weights) { // four pixels, their weights in lanes 0..3
        const __m128i w01 = _mm_unpacklo_epi16(weights, weights);
        const __m128i px = _mm_loadu_si128(at);
        auto half = [&](__m128i y, __m128i a) { // two pixels, a channel a lane
            __m128i t = _mm_add_epi16(_mm_mullo_epi16(colourLanes, a), _mm_mullo_epi16(y, _mm_sub_epi16(full, a)));
            t = _mm_add_epi16(_mm_add_epi16(t, _mm_srli_epi16(t, 8)), round);
            return _mm_srli_epi16(t, 8);
        };
        const __m128i lo = half(_mm_unpacklo_epi8(px, zero), _mm_unpacklo_epi32(w01, w01));
        const __m128i hi = half(_mm_unpackhi_epi8(px, zero), _mm_unpackhi_epi32(w01, w01));
        _mm_storeu_si128(at, _mm_packus_epi16(lo, hi));
    };
    for (; x + 7 <= xb; x += 8) {
        const __m128i behind = _mm_sub_epi16(phiLanes, _mm_loadu_si128(reinterpret_cast<const __m128i *>(angle + x)));
        alignas(16) quint16 index[8];
        _mm_store_si128(reinterpret_cast<__m128i *>(index), _mm_srli_epi16(behind, shift));
        const __m128i o = _mm_setr_epi16(opacity[index[0]], opacity[index[1]], opacity[index[2]], opacity[index[3]],
                                         opacity[index[4]], opacity[index[5]], opacity[index[6]], opacity[index[7]]);
        const __m128i c = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(cover + x)), zero);
        const __m128i weights = _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(o, c), round), 8);
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(weights, zero)) == 0xffff)
            continue;
        auto *at = reinterpret_cast<__m128i *>(row + x);
        mix(at, weights);
        mix(at + 1, _mm_unpackhi_epi64(weights, weights));
    }
#endif
    for (; x <= xb; ++x) {
        const quint32 a = (opacity[quint16(phi - angle[x]) >> shift] * cover[x] + 128u) >> 8;
        if (a != 0)
            row[x] = interpolate255(colour, a, row[x], 255 - a);
    }
}

void blendRing(QImage &image, QPointF centre, double radius, double width, QRgb colour, double opacity)
{
    if (!usable(image) || !(radius > 0) || !(width > 0) || !std::isfinite(centre.x())
        || !std::isfinite(centre.y()) || radius > 1e5)
        return;
    const int a0 = alphaOf(opacity);
    if (a0 == 0)
        return;
    const int r = qRed(colour), g = qGreen(colour), b = qBlue(colour);
    const double half = width / 2;
    // Pixels whose centre lies within half + 0.5 of the circle get coverage.
    const double inner = std::max(0.0, radius - half - 0.5), outer = radius + half + 0.5;
    const double inner2 = inner * inner, outer2 = outer * outer;
    const int y0 = floorWithin(centre.y() - outer, 0, image.height());
    const int y1 = ceilWithin(centre.y() + outer, -1, image.height() - 1);
    // Thinner than a pixel: fainter rather than thinner.
    const double thin = std::min(width, 1.0);
    const double band = std::max(half, 0.5);
    const float fband = float(band), fradius = float(radius), fthin = float(thin);
    const int lastX = image.width() - 1;
    auto visit = [&](QRgb *row, int xa, int xb, double dy) {
        const float fdy2 = float(dy * dy);
        xa = std::max(xa, 0);
        xb = std::min(xb, lastX);
        int x = xa;
#if defined(__SSE2__)
        // Four at a time, in float lanes like the one-pixel rule below (each offset taken
        // in double first); lanes past xb blend at 0.
        if (x <= xb && x + 3 <= lastX) {
            const __m128d cx = _mm_set1_pd(centre.x()), four = _mm_set1_pd(4.0);
            __m128d p01 = _mm_setr_pd(x + 0.5, x + 1.5), p23 = _mm_setr_pd(x + 2.5, x + 3.5);
            const __m128 dy2 = _mm_set1_ps(fdy2), edgeLanes = _mm_set1_ps(fband + 0.5f), radiusLanes = _mm_set1_ps(fradius);
            const __m128 sign = _mm_set1_ps(-0.0f), zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f);
            const __m128 thinLanes = _mm_set1_ps(fthin), alpha0 = _mm_set1_ps(float(a0)), half = _mm_set1_ps(0.5f);
            const __m128i colour = colourLanes(r, g, b);
            for (; x <= xb && x + 3 <= lastX; x += 4) {
                const __m128 dx = _mm_movelh_ps(_mm_cvtpd_ps(_mm_sub_pd(p01, cx)), _mm_cvtpd_ps(_mm_sub_pd(p23, cx)));
                p01 = _mm_add_pd(p01, four);
                p23 = _mm_add_pd(p23, four);
                const __m128 d = _mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(dx, dx), dy2));
                const __m128 off = _mm_andnot_ps(sign, _mm_sub_ps(d, radiusLanes));
                const __m128 cover = _mm_mul_ps(_mm_min_ps(_mm_max_ps(_mm_sub_ps(edgeLanes, off), zero), one), thinLanes);
                const __m128i a = keepUpTo(_mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(alpha0, cover), half)), x, xb);
                if (!allZero(a))
                    blendPixels4(row + x, a, colour);
            }
        }
#endif
        for (; x <= xb; ++x) {
            const float dx = float(x + 0.5 - centre.x());
            const float d = std::sqrt(dx * dx + fdy2);
            const float cover = std::clamp(fband + 0.5f - std::abs(d - fradius), 0.0f, 1.0f) * fthin;
            if (cover > 0)
                blendPixel(row + x, r, g, b, int(a0 * cover + 0.5f));
        }
    };
    const Rows rows(image);
    for (int y = y0; y <= y1; ++y) {
        QRgb *row = rows[y];
        const double dy = y + 0.5 - centre.y();
        const double dy2 = dy * dy;
        if (dy2 > outer2)
            continue;
        const double xo = std::sqrt(outer2 - dy2);
        const double xi = dy2 < inner2 ? std::sqrt(inner2 - dy2) : 0.0;
        // Spans a pixel past the row either side at most: visit() clips them to the row.
        const int la = floorWithin(centre.x() - xo - 0.5, -1, lastX + 1);
        const int lb = ceilWithin(centre.x() - xi - 0.5, -1, lastX + 1);
        const int ra = floorWithin(centre.x() + xi - 0.5, -1, lastX + 1);
        const int rb = ceilWithin(centre.x() + xo - 0.5, -1, lastX + 1);
        if (lb >= ra) { // the two spans meet (top and bottom of the ring)
            visit(row, la, rb, dy);
        } else {
            visit(row, la, lb, dy);
            visit(row, ra, rb, dy);
        }
    }
}

void blendSegment(QImage &image, QPointF p0, QPointF p1, double width, QRgb colour, double opacity0,
                  double opacity1)
{
    if (!usable(image) || !(width > 0) || !std::isfinite(p0.x()) || !std::isfinite(p0.y())
        || !std::isfinite(p1.x()) || !std::isfinite(p1.y()))
        return;
    const int r = qRed(colour), g = qGreen(colour), b = qBlue(colour);
    const double half = width / 2, reach = half + 1;
    // The box, clamped to the picture before it becomes ints: a line may reach far outside.
    const int w = image.width(), h = image.height();
    const int x0 = floorWithin(std::min(p0.x(), p1.x()) - reach, 0, w);
    const int x1 = ceilWithin(std::max(p0.x(), p1.x()) + reach, -1, w - 1);
    const int y0 = floorWithin(std::min(p0.y(), p1.y()) - reach, 0, h);
    const int y1 = ceilWithin(std::max(p0.y(), p1.y()) + reach, -1, h - 1);
    const double vx = p1.x() - p0.x(), vy = p1.y() - p0.y();
    const double len2 = vx * vx + vy * vy;
    const double o0 = std::clamp(opacity0, 0.0, 1.0), o1 = std::clamp(opacity1, 0.0, 1.0);
    // Thinner than a pixel: fainter rather than thinner.
    const double thin = std::min(width, 1.0), band = std::max(half, 0.5);
    // A pixel within reach of the line lies within reach of it across too: of the part of
    // the line within reach of the row (u in [ua, ub]), and so within reach of that part's
    // columns. A pixel more either side keeps the span whole against rounding.
    const double within = band + 0.5;
    const Rows rows(image);
    for (int y = y0; y <= y1; ++y) {
        QRgb *row = rows[y];
        const double py = y + 0.5 - p0.y();
        double ua = 0, ub = 1;
        if (vy != 0) {
            ua = std::max(0.0, std::min((py - within) / vy, (py + within) / vy));
            ub = std::min(1.0, std::max((py - within) / vy, (py + within) / vy));
        } else if (std::abs(py) > within) {
            continue;
        }
        if (ua > ub)
            continue;
        const double xa = p0.x() - 0.5 + std::min(ua * vx, ub * vx) - within - 1;
        const double xb = p0.x() - 0.5 + std::max(ua * vx, ub * vx) + within + 1;
        const int from = floorWithin(xa, x0, x1 + 1), to = ceilWithin(xb, x0 - 1, x1);
        for (int x = from; x <= to; ++x) {
            const double px = x + 0.5 - p0.x();
            const double u = len2 > 0 ? std::clamp((px * vx + py * vy) / len2, 0.0, 1.0) : 0.0;
            const double dx = px - u * vx, dy = py - u * vy;
            const double cover = std::clamp(band + 0.5 - std::sqrt(dx * dx + dy * dy), 0.0, 1.0) * thin;
            if (cover <= 0)
                continue;
            blendPixel(row + x, r, g, b, int(255 * cover * (o0 + (o1 - o0) * u) + 0.5));
        }
    }
}

AngularLayer::AngularLayer(const QImage &full, const QImage &core, QPointF centre, double startDegrees,
                           double spanDegrees, double wrapAt)
    : m_centre(centre), m_start(startDegrees), m_span(spanDegrees)
{
    if (full.isNull() || !(spanDegrees > 0))
        return;
    const QImage f = full.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const bool hasCore = !core.isNull() && core.size() == full.size();
    const QImage coreImage = hasCore ? core.convertToFormat(QImage::Format_ARGB32_Premultiplied) : f;
    m_core = SparseImage(coreImage);
    m_size = f.size();
    // Angles quantised to 1/16384 of the span and ordered by a counting sort: building
    // the layer is part of a frame the first time a colour shows.
    constexpr int steps = 16384;
    const double lowest = wrapAt - 360.0 / spanDegrees; // the smallest u a pixel can have
    const double range = 360.0 / spanDegrees;
    struct Px {
        int bucket;
        quint32 offset;
        QRgb full, glow;
    };
    std::vector<Px> pxs;
    pxs.reserve(size_t(f.width()) * size_t(f.height()));
    for (int y = 0; y < f.height(); ++y) {
        const auto *row = reinterpret_cast<const QRgb *>(f.constScanLine(y));
        const auto *crow = reinterpret_cast<const QRgb *>(coreImage.constScanLine(y));
        for (int x = 0; x < f.width(); ++x) {
            const QRgb px = row[x];
            if (qAlpha(px) == 0)
                continue;
            float deg = std::atan2(float(y + 0.5 - centre.y()), float(x + 0.5 - centre.x())) * float(180 / M_PI)
                        - float(startDegrees);
            deg = std::fmod(deg, 360.0f);
            if (deg < 0)
                deg += 360;
            double frac = deg / spanDegrees;
            if (frac > wrapAt)
                frac -= range;
            const int bucket = std::clamp(int((frac - lowest) / range * steps), 0, steps - 1);
            // What the glow adds outside the core: full = core + glow (1 - core alpha).
            const QRgb c = hasCore ? crow[x] : 0;
            const QRgb glow = qRgba(std::max(0, qRed(px) - qRed(c)), std::max(0, qGreen(px) - qGreen(c)),
                                    std::max(0, qBlue(px) - qBlue(c)), std::max(0, qAlpha(px) - qAlpha(c)));
            pxs.push_back(Px{bucket, quint32(y) * quint32(f.width()) + quint32(x), px, glow});
        }
    }
    std::vector<quint32> start(steps + 1, 0);
    for (const Px &p : pxs)
        ++start[size_t(p.bucket) + 1];
    for (int i = 0; i < steps; ++i)
        start[size_t(i) + 1] += start[size_t(i)];
    m_u.resize(pxs.size());
    m_offset.resize(pxs.size());
    m_full.resize(pxs.size());
    m_glow.resize(pxs.size());
    for (const Px &p : pxs) {
        const size_t at = start[size_t(p.bucket)]++;
        m_u[at] = float(lowest + (p.bucket + 0.5) * range / steps);
        m_offset[at] = p.offset;
        m_full[at] = p.full;
        m_glow[at] = p.glow;
    }
}

void AngularLayer::render(QImage &out, double f, double fade) const
{
    if (out.size() != m_size || out.format() != QImage::Format_ARGB32_Premultiplied)
        out = QImage(m_size, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    if (isNull() || !std::isfinite(f))
        return;
    // Rows are contiguous only when the image has no padding; index through scanLine
    // otherwise.
    const int w = m_size.width();
    auto *bits = reinterpret_cast<QRgb *>(out.bits());
    const bool packed = out.bytesPerLine() == qsizetype(w) * 4;
    auto at = [&](quint32 off) -> QRgb & {
        if (packed)
            return bits[off];
        return reinterpret_cast<QRgb *>(out.scanLine(int(off / quint32(w))))[off % quint32(w)];
    };
    const auto end = std::upper_bound(m_u.begin(), m_u.end(), float(f));
    const size_t n = size_t(end - m_u.begin());
    for (size_t i = 0; i < n; ++i)
        at(m_offset[i]) = m_full[i];
    if (!(fade > 0))
        return;
    const auto fadeEnd = std::upper_bound(end, m_u.end(), float(f + fade));
    const size_t m = size_t(fadeEnd - m_u.begin());
    for (size_t i = n; i < m; ++i) {
        const int k = int(256 * (1 - (m_u[i] - f) / fade));
        if (k <= 0)
            continue;
        const QRgb g = m_glow[i];
        at(m_offset[i]) = qRgba((qRed(g) * k) >> 8, (qGreen(g) * k) >> 8, (qBlue(g) * k) >> 8, (qAlpha(g) * k) >> 8);
    }
}

QPointF AngularLayer::pointAt(double f, double radius) const
{
    const double rad = (m_start + f * m_span) * M_PI / 180;
    return m_centre + radius * QPointF(std::cos(rad), std::sin(rad));
}

QRgb AngularLayer::coreColourAt(double f, double radius) const
{
    if (isNull())
        return 0;
    return qUnpremultiply(m_core.pixel(pointAt(f, radius).toPoint()));
}

namespace {

// x * a / 255 on each channel at once, rounded the way Qt's raster engine rounds.
inline quint32 byteMul(quint32 x, quint32 a)
{
    quint32 t = (x & 0xff00ff) * a;
    t = ((t + ((t >> 8) & 0xff00ff) + 0x800080) >> 8) & 0xff00ff;
    x = ((x >> 8) & 0xff00ff) * a;
    x = (x + ((x >> 8) & 0xff00ff) + 0x800080) & 0xff00ff00;
    return x | t;
}

} // namespace

SparseImage::SparseImage(const QImage &premultiplied)
{
    if (premultiplied.isNull())
        return;
    const QImage src = premultiplied.format() == QImage::Format_ARGB32_Premultiplied
                           ? premultiplied
                           : premultiplied.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    m_size = src.size();
    m_dpr = src.devicePixelRatio();
    for (int y = 0; y < src.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(src.constScanLine(y));
        for (int x = 0; x < src.width();) {
            if (line[x] == 0) {
                ++x;
                continue;
            }
            const int from = x;
            const auto first = quint32(m_pixels.size());
            while (x < src.width() && line[x] != 0)
                m_pixels.push_back(line[x++]);
            m_runs.push_back(Run{y, from, x - from, first});
        }
    }
    m_runs.shrink_to_fit();
    m_pixels.shrink_to_fit();
}

void SparseImage::drawOver(QImage &target, QPoint at, int opacity) const
{
    if (!usable(target) || opacity <= 0)
        return;
    // The painter scales a translucent image's pixels by 255ths of its opacity first.
    const quint32 alpha = opacity >= 256 ? 255 : quint32(opacity * 255) >> 8;
    const int w = target.width(), h = target.height();
    const Rows rows(target);
    for (const Run &run : m_runs) {
        const QRgb *src = m_pixels.data() + run.first;
        const int y = run.y + at.y();
        if (y < 0 || y >= h)
            continue;
        const int x0 = run.x + at.x();
        const int from = std::max(0, -x0), to = std::min(run.count, w - x0);
        QRgb *row = rows[y];
        for (int i = from; i < to; ++i) {
            QRgb &d = row[x0 + i];
            const QRgb s = alpha == 255 ? src[i] : byteMul(src[i], alpha);
            d = s + byteMul(d, 255 - qAlpha(s));
        }
    }
}

QImage SparseImage::toImage() const
{
    QImage out(m_size, QImage::Format_ARGB32_Premultiplied);
    out.setDevicePixelRatio(m_dpr);
    out.fill(Qt::transparent);
    for (const Run &run : m_runs)
        std::copy_n(m_pixels.data() + run.first, run.count, reinterpret_cast<QRgb *>(out.scanLine(run.y)) + run.x);
    return out;
}

QRgb SparseImage::pixel(QPoint p) const
{
    // The last run starting at or before p, in row order.
    const auto after = std::upper_bound(m_runs.begin(), m_runs.end(), p, [](QPoint q, const Run &run) {
        return q.y() < run.y || (q.y() == run.y && q.x() < run.x);
    });
    if (after == m_runs.begin())
        return 0;
    const Run &run = *std::prev(after);
    if (run.y != p.y() || p.x() >= run.x + run.count)
        return 0;
    return m_pixels[run.first + quint32(p.x() - run.x)];
}

} // namespace tsav::pixels
