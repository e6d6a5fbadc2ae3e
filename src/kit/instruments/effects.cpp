#include "kit/instruments/effects.h"

#include <QtGlobal>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace tsav::effects {

int scanlineCentre(double t, int height)
{
    const int period = std::max(height, 1) + 4 * scanlineHalfHeight;
    const double pos = std::fmod(std::max(t, 0.0) * scanlineSpeed, double(period));
    return int(std::floor(pos)) - 2 * scanlineHalfHeight;
}

float timeArgument(double t)
{
    if (!std::isfinite(t))
        return 0;
    const double r = std::fmod(t, 3600.0);
    return float(r < 0 ? r + 3600.0 : r);
}

namespace {

std::pair<int, int> scanlineRows(float t, float strength, int height)
{
    if (strength <= 0 || height <= 0)
        return {0, 0};
    const int c = scanlineCentre(t, height);
    const int first = std::clamp(c - scanlineHalfHeight, 0, height);
    const int last = std::clamp(c + scanlineHalfHeight + 1, 0, height);
    return {first, last};
}

// Adds white light in proportion to each pixel's coverage: a triangular band profile,
// with every other row (the scan lines) twice as bright.
void scanlineDrawOver(QPainter &p, QPoint at, const QImage &layer, float t, float strength)
{
    // The light follows the layer's alpha: a premultiplied picture or a coverage mask.
    const bool mask = layer.format() == QImage::Format_Alpha8;
    if (!mask && layer.format() != QImage::Format_ARGB32_Premultiplied)
        return;
    const auto [first, last] = scanlineRows(t, strength, layer.height());
    if (first >= last)
        return;
    const int c = scanlineCentre(t, layer.height());
    const int width = layer.width();
    QImage light(width, last - first, QImage::Format_ARGB32_Premultiplied);
    for (int y = first; y < last; ++y) {
        const double profile = 1.0 - std::abs(y - c) / double(scanlineHalfHeight + 1);
        const double lineBoost = (y % 2 == 0) ? 1.0 : 0.5;
        const int gain = int(std::lround(256 * std::clamp(strength * profile * lineBoost, 0.0, 1.0)));
        const uchar *line = layer.constScanLine(y);
        const auto *src = reinterpret_cast<const QRgb *>(line);
        auto *dst = reinterpret_cast<QRgb *>(light.scanLine(y - first));
        for (int x = 0; x < width; ++x) {
            const int a = mask ? line[x] : qAlpha(src[x]);
            const int v = (a * gain) >> 8;
            // Light only: no alpha, so the Plus composition leaves coverage untouched.
            dst[x] = qRgba(v, v, v, 0);
        }
    }
    const auto oldMode = p.compositionMode();
    p.setCompositionMode(QPainter::CompositionMode_Plus);
    const qreal dpr = layer.devicePixelRatio();
    light.setDevicePixelRatio(dpr);
    p.drawImage(QPointF(at) + QPointF(0, first / dpr), light);
    p.setCompositionMode(oldMode);
}

void blurLine(const quint32 *in, quint32 *out, int n, int stride, int r, std::vector<quint32> &tmp)
{
    // One box pass over a line of n pixels (stride in pixels), edges clamped to transparent.
    tmp.resize(size_t(n));
    for (int i = 0; i < n; ++i)
        tmp[size_t(i)] = in[size_t(i) * size_t(stride)];
    const int w = 2 * r + 1;
    std::array<quint32, 4> sum{};
    auto ch = [](quint32 px, int k) { return (px >> (8 * k)) & 0xff; };
    for (int i = -r; i <= r; ++i)
        if (i >= 0 && i < n)
            for (int k = 0; k < 4; ++k)
                sum[size_t(k)] += ch(tmp[size_t(i)], k);
    for (int i = 0; i < n; ++i) {
        quint32 px = 0;
        for (int k = 0; k < 4; ++k)
            px |= ((sum[size_t(k)] / quint32(w)) & 0xff) << (8 * k);
        out[size_t(i) * size_t(stride)] = px;
        const int add = i + r + 1, sub = i - r;
        if (add < n)
            for (int k = 0; k < 4; ++k)
                sum[size_t(k)] += ch(tmp[size_t(add)], k);
        if (sub >= 0)
            for (int k = 0; k < 4; ++k)
                sum[size_t(k)] -= ch(tmp[size_t(sub)], k);
    }
}

QImage bloomApply(const QImage &layer, float radius, float intensity, QSize maxOffset)
{
    const qreal dpr = layer.devicePixelRatio();
    const int padX = int(std::ceil(maxOffset.width() * dpr));
    const int padY = int(std::ceil(maxOffset.height() * dpr));
    QImage out(layer.width() + 2 * padX, layer.height() + 2 * padY,
               QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    // The glow is blurred at half resolution: three box passes of radius b reach 3b
    // pixels, which must stay within the maximum sample offset.
    const int maxReach = std::min(padX, padY) / 2;
    int b = int(std::lround(radius * dpr / 2 / 2));
    b = std::clamp(b, 0, std::max(maxReach / 3, 0));
    QImage small(out.width() / 2 + 1, out.height() / 2 + 1, QImage::Format_ARGB32_Premultiplied);
    small.fill(Qt::transparent);
    {
        QPainter sp(&small);
        sp.setRenderHint(QPainter::SmoothPixmapTransform);
        QImage src = layer;
        src.setDevicePixelRatio(1);
        sp.drawImage(QRectF(padX / 2.0, padY / 2.0, layer.width() / 2.0, layer.height() / 2.0), src);
    }
    if (b > 0)
        boxBlur(small, b);
    // Intensity scales the glow, saturating at full coverage.
    const int gain = int(std::lround(256 * std::max(intensity, 0.0f)));
    for (int y = 0; y < small.height(); ++y) {
        auto *row = reinterpret_cast<QRgb *>(small.scanLine(y));
        for (int x = 0; x < small.width(); ++x) {
            const QRgb px = row[x];
            if (!px)
                continue;
            const int a = std::min(255, (qAlpha(px) * gain) >> 8);
            const int r = std::min(a, (qRed(px) * gain) >> 8);
            const int g = std::min(a, (qGreen(px) * gain) >> 8);
            const int bl = std::min(a, (qBlue(px) * gain) >> 8);
            row[x] = qRgba(r, g, bl, a);
        }
    }
    {
        QPainter op(&out);
        op.setRenderHint(QPainter::SmoothPixmapTransform);
        op.drawImage(QRectF(0, 0, small.width() * 2.0, small.height() * 2.0), small);
        QImage src = layer;
        src.setDevicePixelRatio(1);
        op.drawImage(QPoint(padX, padY), src);
    }
    out.setDevicePixelRatio(dpr);
    return out;
}

const Effect scanlineEffect{Effect::Kind::color, &scanlineRows, &scanlineDrawOver, nullptr};
const Effect bloomEffect{Effect::Kind::layer, nullptr, nullptr, &bloomApply};

bool scanlineOn = true;
bool bloomOn = true;

} // namespace

void boxBlur(QImage &image, int radius)
{
    if (radius <= 0 || image.isNull())
        return;
    if (image.format() != QImage::Format_ARGB32_Premultiplied)
        image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const int w = image.width(), h = image.height();
    const int stride = int(image.bytesPerLine() / 4);
    auto *bits = reinterpret_cast<quint32 *>(image.bits());
    std::vector<quint32> tmp;
    for (int pass = 0; pass < 3; ++pass) {
        for (int y = 0; y < h; ++y)
            blurLine(bits + size_t(y) * size_t(stride), bits + size_t(y) * size_t(stride), w, 1, radius, tmp);
        for (int x = 0; x < w; ++x)
            blurLine(bits + x, bits + x, h, stride, radius, tmp);
    }
}

const Effect *find(std::string_view name)
{
    if (name == scanlineName)
        return scanlineOn ? &scanlineEffect : nullptr;
    if (name == bloomName)
        return bloomOn ? &bloomEffect : nullptr;
    return nullptr;
}

void setEnabled(std::string_view name, bool on)
{
    if (name == scanlineName)
        scanlineOn = on;
    else if (name == bloomName)
        bloomOn = on;
}

} // namespace tsav::effects
