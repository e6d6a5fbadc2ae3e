#include "kit/instruments/effects.h"
#include "kit/instruments/instrument.h"
#include "kit/instruments/pixels.h"

#include <QImage>
#include <QPainter>
#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace tsav;

namespace {
QImage clearImage(int w, int h)
{
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    return img;
}

// Sum of alpha over the image, in pixels of full coverage.
double coverage(const QImage &img)
{
    double sum = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            sum += qAlpha(img.pixel(x, y)) / 255.0;
    return sum;
}
} // namespace

TEST(Pixels, DiscAndRingCoverTheirArea)
{
    QImage disc = clearImage(40, 40);
    pixels::blendDisc(disc, QPointF(20, 20), 8, qRgb(255, 0, 0), 1.0);
    EXPECT_NEAR(coverage(disc), M_PI * 64, M_PI * 64 * 0.03);
    EXPECT_EQ(qAlpha(disc.pixel(20, 20)), 255);
    EXPECT_EQ(qAlpha(disc.pixel(2, 2)), 0);

    QImage ring = clearImage(80, 80);
    pixels::blendRing(ring, QPointF(40, 40), 30, 1, qRgb(0, 0, 255), 1.0);
    EXPECT_NEAR(coverage(ring), 2 * M_PI * 30, 2 * M_PI * 30 * 0.05);
    EXPECT_EQ(qAlpha(ring.pixel(40, 40)), 0); // hollow
    EXPECT_GT(qAlpha(ring.pixel(70, 40)), 100);

    // Half opacity halves it; a dot smaller than a pixel keeps its (small) area.
    QImage faint = clearImage(40, 40);
    pixels::blendDisc(faint, QPointF(20, 20), 8, qRgb(255, 0, 0), 0.5);
    EXPECT_NEAR(coverage(faint), coverage(disc) / 2, coverage(disc) * 0.02);
    QImage tiny = clearImage(10, 10);
    pixels::blendDisc(tiny, QPointF(5, 5), 0.3, qRgb(255, 255, 255), 1.0);
    EXPECT_NEAR(coverage(tiny), M_PI * 0.09, 0.3);
}

TEST(Pixels, SegmentFadesAlongItsLength)
{
    QImage img = clearImage(60, 20);
    pixels::blendSegment(img, QPointF(5, 10), QPointF(55, 10), 2, qRgb(0, 255, 0), 0, 1);
    EXPECT_LT(qAlpha(img.pixel(8, 10)), qAlpha(img.pixel(30, 10)));
    EXPECT_LT(qAlpha(img.pixel(30, 10)), qAlpha(img.pixel(53, 10)));
    EXPECT_GT(qAlpha(img.pixel(53, 10)), 200);
    EXPECT_EQ(qAlpha(img.pixel(30, 2)), 0);
}

TEST(Pixels, HostileGeometryDrawsNothingAndStaysInBounds)
{
    QImage img = clearImage(16, 16);
    pixels::blendDisc(img, QPointF(NAN, 3), 4, qRgb(255, 0, 0), 1);
    pixels::blendDisc(img, QPointF(1e12, -1e12), 4, qRgb(255, 0, 0), 1);
    pixels::blendRing(img, QPointF(8, 8), INFINITY, 1, qRgb(255, 0, 0), 1);
    pixels::blendRing(img, QPointF(8, 8), -3, 1, qRgb(255, 0, 0), 1);
    pixels::blendSegment(img, QPointF(0, 0), QPointF(NAN, 1), 2, qRgb(255, 0, 0), 1, 1);
    pixels::blendSegment(img, QPointF(1e12, 3), QPointF(2e12, 5), 2, qRgb(255, 0, 0), 1, 1);
    pixels::blendRing(img, QPointF(1e12, 8), 10, 1, qRgb(255, 0, 0), 1);
    pixels::blendRing(img, QPointF(8, -1e12), 1e5, 1, qRgb(255, 0, 0), 1);
    EXPECT_EQ(coverage(img), 0);
    // Shapes hanging over every edge are clipped, not written past the rows, however far
    // they reach.
    pixels::blendRing(img, QPointF(8 - 1e5, 8), 1e5, 2, qRgb(255, 0, 0), 1); // its rim crosses the picture
    EXPECT_EQ(qAlpha(img.pixel(8, 0)), 255);
    EXPECT_EQ(qAlpha(img.pixel(8, 15)), 255);
    EXPECT_EQ(qAlpha(img.pixel(11, 8)), 0);
    pixels::blendDisc(img, QPointF(0, 0), 30, qRgb(255, 0, 0), 1);
    pixels::blendRing(img, QPointF(16, 16), 10, 4, qRgb(255, 0, 0), 1);
    pixels::blendSegment(img, QPointF(1e12, 3), QPointF(-2e12, 5), 2, qRgb(255, 0, 0), 1, 1); // across it
    EXPECT_GT(coverage(img), 200);
    QImage covered = clearImage(16, 16);
    pixels::blendDisc(covered, QPointF(8, 8), 1e300, qRgb(255, 0, 0), 1);
    EXPECT_EQ(coverage(covered), 256);
    // A picture of three bytes a pixel is left alone; an opaque one is drawn on and stays
    // opaque (its alpha byte is what Qt copies to the window).
    QImage wrongFormat(8, 8, QImage::Format_RGB888);
    wrongFormat.fill(Qt::black);
    pixels::blendDisc(wrongFormat, QPointF(4, 4), 3, qRgb(255, 0, 0), 1);
    EXPECT_EQ(wrongFormat.pixel(4, 4), qRgb(0, 0, 0));
    QImage opaque(8, 8, QImage::Format_RGB32);
    opaque.fill(Qt::black);
    pixels::blendDisc(opaque, QPointF(4, 4), 3, qRgb(255, 0, 0), 0.5);
    pixels::blendRing(opaque, QPointF(4, 4), 3, 1, qRgb(0, 255, 0), 0.5);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            EXPECT_EQ(qAlpha(reinterpret_cast<const QRgb *>(opaque.constScanLine(y))[x]), 255) << x << "," << y;
    EXPECT_EQ(opaque.pixel(4, 4), qRgb(128, 0, 0));
}

// A full ring sorted by angle: a prefix up to f shows the part of the ring from the
// start angle clockwise to f, and nothing past it but the fading glow.
TEST(AngularLayer, PrefixShowsTheRingUpToTheFraction)
{
    QImage full = clearImage(100, 100);
    {
        QPainter p(&full);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(Qt::red, 6));
        p.drawEllipse(QPointF(50, 50), 35, 35);
    }
    // Start at 0 degrees (+x), span the whole turn.
    const pixels::AngularLayer layer(full, full, QPointF(50, 50), 0, 360, 1.0);
    EXPECT_EQ(layer.size(), full.size());
    EXPECT_GT(layer.pixelCount(), 1000);

    QImage out;
    layer.render(out, 0.25, 0); // a quarter turn clockwise on screen: from +x down to +y
    EXPECT_GT(qAlpha(out.pixel(83, 62)), 200);  // just below +x: shown
    EXPECT_GT(qAlpha(out.pixel(60, 84)), 200);  // just right of +y: shown
    EXPECT_EQ(qAlpha(out.pixel(40, 84)), 0);    // past +y: not shown
    EXPECT_EQ(qAlpha(out.pixel(50, 15)), 0);    // the top: not shown
    EXPECT_NEAR(coverage(out), coverage(full) / 4, coverage(full) * 0.03);

    layer.render(out, 1.0, 0);
    EXPECT_EQ(out, full);
    layer.render(out, -1, 0);
    EXPECT_EQ(coverage(out), 0);
    layer.render(out, NAN, 0);
    EXPECT_EQ(coverage(out), 0);

    // The colour at a fraction and the point there.
    const QPointF bottom = layer.pointAt(0.25, 35);
    EXPECT_NEAR(bottom.x(), 50, 1e-9);
    EXPECT_NEAR(bottom.y(), 85, 1e-9);
    EXPECT_EQ(qRed(layer.coreColourAt(0.25, 35)), 255);
    EXPECT_EQ(layer.coreColourAt(0.25, 10), 0u);
}

TEST(AngularLayer, GlowFadesPastTheCutButCoreStops)
{
    QImage core = clearImage(100, 100), full = clearImage(100, 100);
    {
        QPainter p(&core);
        p.setPen(QPen(Qt::white, 2));
        p.drawEllipse(QPointF(50, 50), 30, 30);
    }
    {
        QPainter p(&full);
        p.setPen(QPen(QColor(255, 255, 255, 80), 12));
        p.drawEllipse(QPointF(50, 50), 30, 30);
        p.drawImage(0, 0, core);
    }
    const pixels::AngularLayer layer(full, core, QPointF(50, 50), 0, 360, 1.0);
    QImage out;
    layer.render(out, 0.25, 0.1);
    // Slightly past the cut (at ~100 degrees), on the core circle: glow only, fainter
    // than the shown arc.
    const QPointF past = layer.pointAt(0.27, 30);
    const QPointF pastGlow = layer.pointAt(0.27, 35);
    EXPECT_LT(qAlpha(out.pixel(past.toPoint())), qAlpha(full.pixel(past.toPoint())));
    EXPECT_GT(qAlpha(out.pixel(pastGlow.toPoint())), 0);
    // Far past the fade: nothing.
    EXPECT_EQ(qAlpha(out.pixel(layer.pointAt(0.6, 30).toPoint())), 0);
}

// The sparse copy of a layer must draw exactly what QPainter draws with the whole image,
// over translucent and opaque frames alike, at any opacity, and clip at every edge.
TEST(SparseImage, DrawsWhatThePainterDrawsPixelForPixel)
{
    QImage layer = clearImage(61, 47);
    {
        QPainter p(&layer);
        p.setRenderHint(QPainter::Antialiasing);
        for (int i = 0; i < 24; ++i) {
            p.setPen(QPen(QColor(40 + 9 * i, 200 - 7 * i, 90, 20 + 10 * i), 0.8 + 0.2 * (i % 4)));
            const double a = 2 * M_PI * i / 24;
            p.drawLine(QPointF(30 + 12 * std::cos(a), 23 + 12 * std::sin(a)),
                       QPointF(30 + 22 * std::cos(a), 23 + 22 * std::sin(a)));
        }
        p.fillRect(QRect(0, 0, 4, 4), QColor(255, 255, 255)); // opaque pixels too
    }
    const pixels::SparseImage sparse(layer);
    ASSERT_FALSE(sparse.isNull());
    EXPECT_LT(sparse.pixelCount(), layer.width() * layer.height() / 2);
    EXPECT_EQ(sparse.toImage(), layer);
    // Looked up a pixel at a time, inside and around the image.
    for (int y = -2; y < layer.height() + 2; ++y)
        for (int x = -2; x < layer.width() + 2; ++x) {
            const QRgb want = layer.rect().contains(x, y) ? layer.pixel(x, y) : 0;
            ASSERT_EQ(sparse.pixel(QPoint(x, y)), want) << x << "," << y;
        }

    for (const auto format : {QImage::Format_ARGB32_Premultiplied, QImage::Format_RGB32}) {
        QImage frame(70, 50, format);
        for (int y = 0; y < frame.height(); ++y)
            for (int x = 0; x < frame.width(); ++x)
                frame.setPixel(x, y, qPremultiply(qRgba(x * 3, y * 5, (x * y) % 256,
                                                        format == QImage::Format_RGB32 ? 255 : (x * 7) % 256)));
        for (const QPoint at : {QPoint(4, 2), QPoint(-20, -15), QPoint(40, 30), QPoint(-3, 20)}) {
            for (const double opacity : {1.0, 0.73, 0.31, 0.004}) {
                QImage byPainter = frame, bySparse = frame;
                {
                    QPainter p(&byPainter);
                    p.setOpacity(opacity);
                    p.drawImage(at, layer);
                }
                sparse.drawOver(bySparse, at, int(opacity * 256));
                EXPECT_EQ(bySparse, byPainter)
                    << "format " << format << " at " << at.x() << "," << at.y() << " opacity " << opacity;
            }
        }
    }
    QImage wrong(10, 10, QImage::Format_Indexed8);
    sparse.drawOver(wrong, QPoint(0, 0)); // not a format it writes: left alone
    EXPECT_TRUE(pixels::SparseImage(QImage()).isNull());
}

// Tall pictures and fills go out in bands of rows. At a fractional pixel ratio (125 %, 150 %
// desktops) every band must meet the next: a row left out, or painted twice, is a line
// across the instrument.
TEST(Bands, MeetWithoutSeamsAtEveryPixelRatio)
{
    for (const double dpr : {1.0, 1.25, 1.5, 1.75, 2.0}) {
        for (const double top : {0.0, 3.0, 7.4, 21.0, -14.0, -3.0}) {
            QImage frame(int(200 * dpr) + 2, int(520 * dpr) + 2, QImage::Format_ARGB32_Premultiplied);
            frame.setDevicePixelRatio(dpr);
            frame.fill(Qt::black);
            QImage layer = clearImage(int(120 * dpr), int(480 * dpr));
            layer.setDevicePixelRatio(dpr);
            layer.fill(qPremultiply(qRgba(255, 255, 255, 128)));
            {
                QPainter p(&frame);
                drawImageInBands(p, QPointF(10, top), layer, 40);
                inBands(p, QRectF(150, top, 30, 480), [&] { p.fillRect(QRectF(150, top, 30, 480), QColor(255, 0, 0, 128)); }, 40);
            }
            // Down the middle of each, every row inside reads the same.
            const int imageX = int((10 + 60) * dpr), fillX = int(165 * dpr);
            const int first = std::max(0, int(std::ceil((top + 1) * dpr))), last = int((top + 479) * dpr);
            for (int y = first; y < last; ++y) {
                ASSERT_EQ(frame.pixel(imageX, y), frame.pixel(imageX, first))
                    << "image, ratio " << dpr << ", top " << top << ", row " << y;
                ASSERT_EQ(frame.pixel(fillX, y), frame.pixel(fillX, first))
                    << "fill, ratio " << dpr << ", top " << top << ", row " << y;
            }
        }
    }
    // An empty area paints nothing.
    QImage still = clearImage(20, 20);
    QPainter p(&still);
    inBands(p, QRectF(0, 5, 20, 0), [&] { p.fillRect(QRect(0, 0, 20, 20), Qt::red); });
    p.end();
    EXPECT_EQ(still, clearImage(20, 20));
}

// The scan-line light reads only coverage: a mask of the layer's alpha lights exactly
// the pixels, by exactly as much, as the picture it was taken from.
TEST(ScanLine, LightsThroughAMaskAsThroughThePicture)
{
    const auto *scan = effects::find(effects::scanlineName);
    ASSERT_NE(scan, nullptr);
    QImage layer = clearImage(60, 60);
    pixels::blendDisc(layer, QPointF(30, 30), 24, qRgb(40, 200, 90), 0.8);
    const QImage mask = layer.convertToFormat(QImage::Format_Alpha8);
    QImage background(80, 80, QImage::Format_RGB32);
    background.fill(qRgb(10, 20, 30));
    int lit = 0;
    for (float t = 0; t < 4; t += 0.25f) {
        QImage a = background, b = background;
        {
            QPainter pa(&a), pb(&b);
            scan->drawOver(pa, QPoint(7, 9), layer, t, 0.5f);
            scan->drawOver(pb, QPoint(7, 9), mask, t, 0.5f);
        }
        EXPECT_EQ(a, b) << "t = " << t;
        lit += a != background;
    }
    EXPECT_GT(lit, 0) << "the band must cross the disc at some time";
}

// The trail's run is blended eight pixels at a time where it can. Every pixel must come
// out as the one-pixel rule gives it (Qt's rounding of x·a + y·(255 − a) per channel), at
// every start, length and tail, with pixels outside the run untouched.
TEST(TrailRun, EveryPixelAsTheOnePixelRuleGivesIt)
{
    std::mt19937 rng(7);
    auto byte = [&] { return int(rng() & 0xff); };
    pixels::TrailOpacity opacity{};
    for (auto &o : opacity)
        o = quint8(rng() % 3 == 0 ? 0 : byte()); // runs of zero weight too
    opacity[1023] = 255;
    constexpr int w = 40;
    for (int trial = 0; trial < 400; ++trial) {
        std::vector<quint16> angle(w);
        std::vector<quint8> cover(w);
        std::vector<QRgb> row(w);
        for (int x = 0; x < w; ++x) {
            angle[x] = quint16(rng());
            cover[x] = quint8(trial % 4 == 0 ? 255 : byte());
            const int a = byte();
            row[x] = qRgba(byte() * a / 255, byte() * a / 255, byte() * a / 255, a);
        }
        const QRgb colour = qRgb(byte(), byte(), byte());
        const quint16 phi = quint16(rng());
        const int xa = int(rng() % w), xb = xa + int(rng() % (w - xa)) - (trial % 5 == 0 ? xa + 1 : 0);
        const std::vector<QRgb> before = row;
        pixels::blendTrailRun(row.data(), angle.data(), cover.data(), xa, xb, phi, opacity, colour);
        for (int x = 0; x < w; ++x) {
            if (x < xa || x > xb) {
                ASSERT_EQ(row[x], before[x]) << "outside the run, x = " << x;
                continue;
            }
            const int a = (opacity[quint16(phi - angle[x]) >> 6] * cover[x] + 128) >> 8;
            auto channel = [&](int shift) {
                const int t = ((colour >> shift) & 0xff) * a + ((before[x] >> shift) & 0xff) * (255 - a);
                return quint32((t + (t >> 8) + 0x80) >> 8) << shift;
            };
            ASSERT_EQ(row[x], channel(0) | channel(8) | channel(16) | channel(24))
                << "trial " << trial << ", x = " << x << " in " << xa << ".." << xb << ", weight " << a;
        }
    }
}

// Discs and rings are blended four pixels at a time where four fit in the row. Every pixel
// must come out as the one-pixel rule gives it (the cover by the pixel centre's distance,
// in the precision each shape uses, and blendPixel's truncating blend), over translucent and
// opaque pictures, hanging over every edge, at any opacity.
TEST(DiscsAndRings, EveryPixelAsTheOnePixelRuleGivesIt)
{
    std::mt19937 rng(11);
    auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
    auto byte = [&] { return int(rng() & 0xff); };
    for (int trial = 0; trial < 600; ++trial) {
        const auto format = trial % 3 == 0 ? QImage::Format_RGB32 : QImage::Format_ARGB32_Premultiplied;
        QImage img(37 + trial % 5, 29, format);
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x) {
                const int a = format == QImage::Format_RGB32 ? 255 : byte();
                img.setPixel(x, y, qRgba(byte() * a / 255, byte() * a / 255, byte() * a / 255, a));
            }
        const QImage before = img;
        const QPointF c(uniform(-8, img.width() + 8), uniform(-8, img.height() + 8));
        const QRgb colour = qRgb(byte(), byte(), byte());
        const double opacity = trial % 7 == 0 ? 1.0 : trial % 11 == 0 ? 0.004 : uniform(0, 1);
        const int a0 = int(std::lround(255 * opacity));
        const bool ring = trial % 2 == 1;
        const double radius = ring ? uniform(1, 40) : (trial % 4 == 0 ? uniform(0.1, 0.5) : uniform(0.5, 20));
        const double width = uniform(1, 4);
        if (ring)
            pixels::blendRing(img, c, radius, width, colour, opacity);
        else
            pixels::blendDisc(img, c, radius, colour, opacity);
        // The disc visits its bounding square; the ring's rows reach every pixel it covers.
        const double reach = radius + 0.5;
        const int x0 = int(std::floor(c.x() - reach)), x1 = int(std::ceil(c.x() + reach));
        const int y0 = int(std::floor(c.y() - reach)), y1 = int(std::ceil(c.y() + reach));
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x) {
                int alpha = 0;
                if (ring) {
                    const float dx = float(x + 0.5 - c.x()), dy2 = float((y + 0.5 - c.y()) * (y + 0.5 - c.y()));
                    const float d = std::sqrt(dx * dx + dy2);
                    const float cover = std::clamp(float(std::max(width / 2, 0.5)) + 0.5f - std::abs(d - float(radius)),
                                                   0.0f, 1.0f);
                    alpha = int(a0 * cover + 0.5f);
                } else if (x >= x0 && x <= x1 && y >= y0 && y <= y1) {
                    const double dx = x + 0.5 - c.x(), dy = y + 0.5 - c.y();
                    const double area = radius < 0.5 ? radius * radius * 4 : 1.0;
                    const double cover =
                        std::clamp(std::max(radius, 0.5) + 0.5 - std::sqrt(dx * dx + dy * dy), 0.0, 1.0) * area;
                    alpha = int(a0 * cover + 0.5);
                }
                QRgb want = before.pixel(x, y);
                if (alpha > 0) {
                    const int inv = 255 - alpha;
                    want = qRgba((qRed(colour) * alpha + qRed(want) * inv) / 255,
                                 (qGreen(colour) * alpha + qGreen(want) * inv) / 255,
                                 (qBlue(colour) * alpha + qBlue(want) * inv) / 255, alpha + qAlpha(want) * inv / 255);
                }
                ASSERT_EQ(img.pixel(x, y), want) << (ring ? "ring" : "disc") << ", trial " << trial << ", pixel " << x
                                                 << "," << y << ", radius " << radius << ", alpha " << alpha;
            }
    }
}

// A segment visits, in each row, only the columns within reach of the part of it within
// reach of that row. Every pixel must come out as the rule over the whole bounding box
// gives it: steep, shallow, level, upright and zero-length strokes, thin and wide, fading
// either way, over every edge.
TEST(Segments, EveryPixelAsTheRuleOverTheWholeBoxGivesIt)
{
    std::mt19937 rng(5);
    auto uniform = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };
    for (int trial = 0; trial < 400; ++trial) {
        QImage img(47, 39, QImage::Format_ARGB32_Premultiplied);
        img.fill(qPremultiply(qRgba(30, 60, 90, 160)));
        const QImage before = img;
        const QPointF p0(uniform(-10, 57), uniform(-10, 49));
        QPointF p1(uniform(-10, 57), uniform(-10, 49));
        switch (trial % 6) {
        case 0: p1.setY(p0.y()); break;                   // level
        case 1: p1.setX(p0.x()); break;                   // upright
        case 2: p1 = p0; break;                           // a dot
        case 3: p1.setY(p0.y() + uniform(-1e-3, 1e-3)); break; // all but level
        default: break;
        }
        const double width = trial % 4 == 0 ? uniform(0.2, 1) : uniform(1, 5);
        const double o0 = uniform(0, 1), o1 = uniform(0, 1);
        const QRgb colour = qRgb(240, 200, 20);
        pixels::blendSegment(img, p0, p1, width, colour, o0, o1);

        const double half = width / 2, band = std::max(half, 0.5), thin = std::min(width, 1.0);
        const double vx = p1.x() - p0.x(), vy = p1.y() - p0.y(), len2 = vx * vx + vy * vy;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x) {
                const double px = x + 0.5 - p0.x(), py = y + 0.5 - p0.y();
                const double u = len2 > 0 ? std::clamp((px * vx + py * vy) / len2, 0.0, 1.0) : 0.0;
                const double dx = px - u * vx, dy = py - u * vy;
                const double cover = std::clamp(band + 0.5 - std::sqrt(dx * dx + dy * dy), 0.0, 1.0) * thin;
                QRgb want = before.pixel(x, y);
                const int alpha = cover > 0 ? int(255 * cover * (o0 + (o1 - o0) * u) + 0.5) : 0;
                if (alpha > 0) {
                    const int inv = 255 - alpha;
                    want = qRgba((qRed(colour) * alpha + qRed(want) * inv) / 255,
                                 (qGreen(colour) * alpha + qGreen(want) * inv) / 255,
                                 (qBlue(colour) * alpha + qBlue(want) * inv) / 255, alpha + qAlpha(want) * inv / 255);
                }
                ASSERT_EQ(img.pixel(x, y), want) << "trial " << trial << ", pixel " << x << "," << y;
            }
    }
}
