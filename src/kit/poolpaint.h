#pragma once
// Painting large fills from a thread of Qt's global pool.
//
// Called from any thread outside that pool, Qt's raster engine cuts every batch of more
// than 96 spans (a fill a few dozen rows tall) into pieces, hands them to the pool and
// waits for them all. On a small machine the hand-overs cost more than the filling: a
// stroke round a panel costs three times what it costs from one of the pool's own threads,
// where the engine fills the spans in place.
//
// Fills whose colour does not change along a row (solid colours, vertical gradients) come
// out the same to the pixel either way. A gradient that changes along a row is stepped
// along each piece from its start, so where the pieces begin moves a pixel by one step of
// one channel here and there: such fills stay where they are (the panels' rings).

#include <functional>

class QPainter;

namespace tsav {

// Runs `paint` on a fresh painter over the same pixels, transform and clip as `p` (whose
// pen, brush, hints, opacity and composition mode do not carry over), on a thread of Qt's
// global pool, and waits for it. `paint` must not draw text. Paints nothing and returns
// false when `p` does not paint straight into a picture in memory, clips on its own, or
// no thread of the pool is free: the caller then paints with `p`.
bool paintFromPool(QPainter &p, const std::function<void(QPainter &)> &paint);

// paintFromPool, or `paint` on `p` itself when that cannot be done.
void paintPreferPool(QPainter &p, const std::function<void(QPainter &)> &paint);

} // namespace tsav
