#pragma once
// The instruments' two image effects, addressed by name from one table:
//
//  "tsav_scanline" (time, strength): a colour effect. A soft band of light crossed by
//      fine scan lines runs down the layer, brightening only pixels the layer covers.
//  "tsav_bloom" (radius, intensity): a layer effect. A soft glow of the layer (a blur of
//      about `radius` points, scaled by `intensity`) is put under it; the glow samples at
//      most the caller's maximum offset away from each pixel.
//
// Both work on premultiplied ARGB32 images for Qt's raster painter; the scan lines also
// take a bare coverage mask (Alpha8), since they read only the layer's alpha. An effect
// that is unavailable (find() returns null) is simply skipped by the instruments, which
// still draw every other layer.

#include <QImage>
#include <QPainter>
#include <QSize>

#include <string_view>

namespace tsav::effects {

inline constexpr std::string_view scanlineName = "tsav_scanline";
inline constexpr std::string_view bloomName = "tsav_bloom";

struct Effect {
    enum class Kind { color, layer };
    Kind kind;
    // Colour effects: the rows [first, last) of a layer `height` pixels high that the
    // effect changes for these arguments (first == last: none).
    std::pair<int, int> (*rows)(float a0, float a1, int height) = nullptr;
    // Colour effects: draws the effect's light over `layer`, which was drawn at `at`.
    void (*drawOver)(QPainter &p, QPoint at, const QImage &layer, float a0, float a1) = nullptr;
    // Layer effects: the layer grown by `maxOffset` on every side with the effect applied.
    QImage (*apply)(const QImage &layer, float a0, float a1, QSize maxOffset) = nullptr;
};

// The effect of that name, or null when it is unknown or switched off.
const Effect *find(std::string_view name);
// Switches an effect on or off for the whole process (diagnostics and tests).
void setEnabled(std::string_view name, bool on);

// Scan-line band geometry, shared by the effect and the views that schedule repaints:
// the band's centre row at time t for a layer `height` pixels high, moving down at
// scanlineSpeed pixels a second and wrapping once it has left the layer.
inline constexpr double scanlineSpeed = 14.0;
inline constexpr int scanlineHalfHeight = 7;
int scanlineCentre(double t, int height);

// The time argument of the effects: seconds folded into one hour, so that a float keeps
// sub-millisecond precision (Unix seconds as a float step by two minutes).
float timeArgument(double t);

// A separable three-pass box blur of a premultiplied ARGB32 image (about a Gaussian of
// the given radius), in place.
void boxBlur(QImage &image, int radius);

} // namespace tsav::effects
