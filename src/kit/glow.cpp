#include "kit/glow.h"

#include <QPainter>

#include <vector>

namespace tsav {

namespace {

// One horizontal or vertical box blur of an 8-bit alpha plane.
void boxBlur(std::vector<int> &a, int w, int h, int r, bool horizontal)
{
    if (r <= 0)
        return;
    std::vector<int> out(a.size());
    const int n = horizontal ? w : h, lines = horizontal ? h : w;
    const int div = 2 * r + 1;
    for (int line = 0; line < lines; ++line) {
        auto at = [&](int i) -> int & {
            return horizontal ? a[size_t(line) * w + i] : a[size_t(i) * w + line];
        };
        auto outAt = [&](int i) -> int & {
            return horizontal ? out[size_t(line) * w + i] : out[size_t(i) * w + line];
        };
        int sum = 0;
        for (int i = -r; i <= r; ++i)
            sum += (i >= 0 && i < n) ? at(i) : 0;
        for (int i = 0; i < n; ++i) {
            outAt(i) = sum / div;
            const int add = i + r + 1, sub = i - r;
            sum += (add < n ? at(add) : 0) - (sub >= 0 ? at(sub) : 0);
        }
    }
    a.swap(out);
}

} // namespace

QImage glowImage(const QImage &src, int radius, const QColor &color)
{
    radius = std::clamp(radius, 0, 64);
    const int w = src.width() + 2 * radius, h = src.height() + 2 * radius;
    if (w <= 0 || h <= 0)
        return {};
    const QImage in = src.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    std::vector<int> alpha(size_t(w) * h, 0);
    for (int y = 0; y < in.height(); ++y) {
        const auto *row = reinterpret_cast<const QRgb *>(in.constScanLine(y));
        for (int x = 0; x < in.width(); ++x)
            alpha[size_t(y + radius) * w + x + radius] = qAlpha(row[x]);
    }
    // A shadow "radius" is about two standard deviations; three box passes of r/2 each.
    const int r = std::max(1, radius / 2);
    for (int pass = 0; pass < 3; ++pass) {
        boxBlur(alpha, w, h, r, true);
        boxBlur(alpha, w, h, r, false);
    }
    QImage out(w, h, QImage::Format_ARGB32_Premultiplied);
    const int cr = color.red(), cg = color.green(), cb = color.blue(), ca = color.alpha();
    for (int y = 0; y < h; ++y) {
        auto *row = reinterpret_cast<QRgb *>(out.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const int a = alpha[size_t(y) * w + x] * ca / 255;
            row[x] = qRgba(cr * a / 255, cg * a / 255, cb * a / 255, a);
        }
    }
    out.setDevicePixelRatio(src.devicePixelRatio());
    return out;
}

void drawGlow(QPainter &p, const QPointF &topLeft, const QImage &glow, int radius)
{
    if (glow.isNull())
        return;
    const qreal dpr = glow.devicePixelRatio();
    p.drawImage(QPointF(topLeft.x() - radius / dpr, topLeft.y() - radius / dpr), glow);
}

} // namespace tsav
