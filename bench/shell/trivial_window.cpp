// The floor for the console's first frame: a plain Qt widget window of the same size that
// paints the console's background gradient and one line of text, measured by the same
// first-frame probe. What the console takes beyond this is its own start-up.
//
//   tsav_trivial_window [WIDTHxHEIGHT]     (default 1180x780)

#include "firstframe.h"

#include <QApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QWidget>

namespace {

class Plain : public QWidget {
protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        QLinearGradient g(0, 0, 0, height());
        g.setColorAt(0, QColor(12, 18, 36));
        g.setColorAt(1, QColor(4, 6, 14));
        p.fillRect(rect(), g);
        p.setPen(Qt::white);
        p.drawText(QPointF(24, 40), QStringLiteral("Dashboard"));
    }
};

} // namespace

int main(int argc, char **argv)
{
    const qint64 spawn = tsav::bench::spawnNs();
    QApplication app(argc, argv);
    QSize size(1180, 780);
    if (argc > 1) {
        const QList<QByteArray> wh = QByteArray(argv[1]).split('x');
        if (wh.size() == 2 && wh[0].toInt() > 0 && wh[1].toInt() > 0)
            size = QSize(wh[0].toInt(), wh[1].toInt());
    }
    Plain window;
    window.setWindowTitle(QStringLiteral("trivial"));
    window.resize(size);
    tsav::bench::FirstFrame probe(spawn, [] { QCoreApplication::quit(); });
    window.installEventFilter(&probe);
    window.show();
    return app.exec();
}
