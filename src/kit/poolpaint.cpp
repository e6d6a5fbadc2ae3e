#include "kit/poolpaint.h"

#include <QImage>
#include <QPaintEngine>
#include <QPainter>
#include <QSemaphore>
#include <QThreadPool>

namespace tsav {

bool paintFromPool(QPainter &p, const std::function<void(QPainter &)> &paint)
{
    QPaintEngine *engine = p.paintEngine();
    if (!engine || engine->type() != QPaintEngine::Raster || p.hasClipping() || !engine->paintDevice()
        || engine->paintDevice()->devType() != QInternal::Image)
        return false;
    auto *device = static_cast<QImage *>(engine->paintDevice());
    if (device->depth() != 32)
        return false;
    // The painter's own picture: a view of its pixels, not a copy. While `p` waits below
    // nothing else writes them.
    QImage view(const_cast<uchar *>(device->constBits()), device->width(), device->height(), device->bytesPerLine(),
                device->format());
    // The same clip as the painter's device clip, not as a clip of the painter's own: the
    // engine works out where to stop from it, and how it batches the pixels it fills, so
    // the pixels come out the same.
    if (const QRegion clip = engine->systemClip(); !clip.isEmpty()) // in device pixels
        view.paintEngine()->setSystemClip(clip);
    const QTransform transform = p.deviceTransform();
    QSemaphore done;
    bool painted = false;
    const bool started = QThreadPool::globalInstance()->tryStart([&] {
        {
            QPainter q;
            if (q.begin(&view)) {
                q.setTransform(transform);
                paint(q);
                painted = true;
            }
        }
        done.release();
    });
    if (started)
        done.acquire();
    return painted;
}

void paintPreferPool(QPainter &p, const std::function<void(QPainter &)> &paint)
{
    if (!paintFromPool(p, paint))
        paint(p);
}

} // namespace tsav
