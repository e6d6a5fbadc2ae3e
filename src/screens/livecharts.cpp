#include "screens/livecharts.h"

#include "kit/instruments/gaugemath.h"
#include "kit/instruments/instrument.h"
#include "kit/label.h"
#include "kit/palette.h"
#include "kit/typography.h"
#include "screens/chartaxis.h"

#include <QFontMetricsF>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace tsav {

namespace pal = palette;

double sparkCurrent(const History &data) { return data.isEmpty() ? 0 : data.last().value; }

double sparkPeak(const History &data)
{
    if (data.isEmpty())
        return 0;
    double peak = data.first().value;
    for (const HistoryPoint &p : data)
        peak = std::max(peak, p.value);
    return peak;
}

QString sparkReadout(const History &data, const QString &format, const QString &unit)
{
    QString s = QStringLiteral("now ") + gauge::formatNumber(format, sparkCurrent(data));
    if (!unit.isEmpty())
        s += QLatin1Char(' ') + unit;
    s += QStringLiteral("  ·  peak ") + gauge::formatNumber(format, sparkPeak(data));
    return s;
}

QString chartsHeaderCount(qsizetype samples)
{
    return QStringLiteral("ultimele ") + QString::asprintf("%lld", static_cast<long long>(samples))
        + QStringLiteral(" tickuri (2s fiecare)");
}

QPainterPath smoothCurve(const QList<QPointF> &pts)
{
    QPainterPath path;
    const qsizetype n = pts.size();
    if (n == 0)
        return path;
    path.moveTo(pts[0]);
    if (n == 1)
        return path;
    // Fritsch–Carlson monotone cubic Hermite tangents.
    QList<double> d(n - 1), m(n);
    for (qsizetype i = 0; i + 1 < n; ++i) {
        const double dx = pts[i + 1].x() - pts[i].x();
        d[i] = dx != 0 ? (pts[i + 1].y() - pts[i].y()) / dx : 0;
    }
    m[0] = d[0];
    m[n - 1] = d[n - 2];
    for (qsizetype i = 1; i + 1 < n; ++i)
        m[i] = (d[i - 1] * d[i] <= 0) ? 0 : (d[i - 1] + d[i]) / 2;
    for (qsizetype i = 0; i + 1 < n; ++i) {
        if (d[i] == 0) {
            m[i] = m[i + 1] = 0;
            continue;
        }
        const double a = m[i] / d[i], b = m[i + 1] / d[i];
        const double h = a * a + b * b;
        if (h > 9) {
            const double tau = 3 / std::sqrt(h);
            m[i] = tau * a * d[i];
            m[i + 1] = tau * b * d[i];
        }
    }
    for (qsizetype i = 0; i + 1 < n; ++i) {
        const double dx = (pts[i + 1].x() - pts[i].x()) / 3;
        path.cubicTo(QPointF(pts[i].x() + dx, pts[i].y() + m[i] * dx),
                     QPointF(pts[i + 1].x() - dx, pts[i + 1].y() - m[i + 1] * dx), pts[i + 1]);
    }
    return path;
}

namespace {
constexpr double pad = 10;
constexpr double plotHeight = 70;
QFont titleFont() { return fonts::tracked(fonts::system(9, fonts::Weight::Semibold), 1.2); }
QFont readoutFont() { return fonts::mono(10); }
QFont axisFont() { return fonts::mono(8); }
double headerHeight() { return QFontMetricsF(readoutFont()).height(); }
} // namespace

Spark::Spark(QString title, History data, QColor tint, QString unit, QString format, QWidget *parent)
    : QWidget(parent), m_title(std::move(title)), m_data(std::move(data)), m_tint(tint),
      m_unit(std::move(unit)), m_format(std::move(format))
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAccessibleName(m_title);
}

void Spark::setData(const History &data)
{
    m_data = data;
    m_cache = QImage();
    update();
}

QSize Spark::sizeHint() const { return {300, int(2 * pad + headerHeight() + 6 + plotHeight)}; }
QSize Spark::minimumSizeHint() const { return {10, sizeHint().height()}; }

void Spark::resizeEvent(QResizeEvent *e)
{
    QWidget::resizeEvent(e);
    m_cache = QImage();
}

void Spark::paintPlot(QPainter &p, const QRectF &plot) const
{
    if (m_data.isEmpty()) {
        p.setFont(fonts::system(10));
        p.setPen(pal::textTertiary);
        p.drawText(plot, Qt::AlignCenter, QStringLiteral("waiting for data…"));
        return;
    }
    double lo = m_data.first().value, hi = lo;
    for (const HistoryPoint &pt : m_data) {
        if (!std::isfinite(pt.value))
            continue;
        lo = std::min(lo, pt.value);
        hi = std::max(hi, pt.value);
    }
    // The value axis starts at zero for non-negative data, as chart axes usually do.
    const axis::Ticks ticks = axis::niceTicks(std::min(lo, 0.0), hi, 3);
    const QFont af = axisFont();
    const QFontMetricsF afm(af);
    double labelW = 0;
    QStringList labels;
    for (double v : ticks.values) {
        labels << QString::number(v, 'g', 4);
        labelW = std::max(labelW, afm.horizontalAdvance(labels.last()));
    }
    const QRectF area(plot.left() + labelW + 4, plot.top() + afm.height() / 2, plot.width() - labelW - 4,
                      plot.height() - afm.height());
    const double span = ticks.hi - ticks.lo;
    auto yOf = [&](double v) { return area.bottom() - (v - ticks.lo) / span * area.height(); };

    p.setFont(af);
    for (int i = 0; i < ticks.values.size(); ++i) {
        const double y = yOf(ticks.values[i]);
        p.setPen(QPen(pal::hairline, 1));
        p.drawLine(QPointF(area.left(), y), QPointF(area.right(), y));
        p.setPen(pal::textTertiary);
        p.drawText(QRectF(plot.left(), y - afm.height() / 2, labelW, afm.height()),
                   Qt::AlignRight | Qt::AlignVCenter, labels[i]);
    }

    // x by date; a single sample sits in the middle.
    const qint64 t0 = m_data.first().date.toMSecsSinceEpoch();
    const qint64 t1 = m_data.last().date.toMSecsSinceEpoch();
    QList<QPointF> pts;
    for (const HistoryPoint &pt : m_data) {
        const double fx = t1 > t0 ? double(pt.date.toMSecsSinceEpoch() - t0) / double(t1 - t0) : 0.5;
        const double v = std::isfinite(pt.value) ? pt.value : 0;
        pts.append(QPointF(area.left() + std::clamp(fx, 0.0, 1.0) * area.width(), yOf(v)));
    }
    const QPainterPath curve = smoothCurve(pts);
    if (pts.size() > 1) {
        QPainterPath fill = curve;
        fill.lineTo(pts.last().x(), area.bottom());
        fill.lineTo(pts.first().x(), area.bottom());
        fill.closeSubpath();
        QLinearGradient g(0, area.top(), 0, area.bottom());
        g.setColorAt(0, pal::withOpacity(m_tint, 0.55));
        g.setColorAt(1, pal::withOpacity(m_tint, 0.05));
        p.setPen(Qt::NoPen);
        p.setBrush(g);
        p.drawPath(fill);
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(m_tint, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPath(curve);
    } else {
        p.setPen(Qt::NoPen);
        p.setBrush(m_tint);
        p.drawEllipse(pts.first(), 2, 2);
    }
}

void Spark::paintEvent(QPaintEvent *)
{
    const qreal dpr = devicePixelRatioF();
    if (m_cache.isNull() || m_cache.size() != (QSizeF(size()) * dpr).toSize()) {
        m_cache = QImage((QSizeF(size()) * dpr).toSize(), QImage::Format_ARGB32_Premultiplied);
        m_cache.setDevicePixelRatio(dpr);
        m_cache.fill(Qt::transparent);
        QPainter p(&m_cache);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF card = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        p.setPen(QPen(pal::hairline, 1));
        p.setBrush(QColor(255, 255, 255, 8));
        p.drawRoundedRect(card, 10, 10);

        const double hh = headerHeight();
        const QRectF header(pad, pad, width() - 2 * pad, hh);
        p.setFont(titleFont());
        p.setPen(pal::textTertiary);
        p.drawText(header, Qt::AlignLeft | Qt::AlignVCenter, m_title.toUpper());
        p.setFont(readoutFont());
        p.setPen(pal::textSecondary);
        p.drawText(header, Qt::AlignRight | Qt::AlignVCenter, readout());
        paintPlot(p, QRectF(pad, pad + hh + 6, width() - 2 * pad, plotHeight));
    }
    QPainter p(this);
    drawImageInBands(p, QPointF(0, 0), m_cache);
}

LiveChartsView::LiveChartsView(AgentClient *agent, QWidget *parent) : TSPanel(parent), m_agent(agent)
{
    auto *col = contentLayout();
    col->setSpacing(12);
    auto *header = new QHBoxLayout;
    header->addWidget(makeLabel(QStringLiteral("Telemetrie live · grafice"),
                                fonts::system(14, fonts::Weight::Semibold), pal::textPrimary));
    header->addStretch(1);
    m_count = makeLabel(QString(), fonts::system(10), pal::textTertiary);
    header->addWidget(m_count);
    col->addLayout(header);

    auto *grid = new QGridLayout;
    grid->setHorizontalSpacing(16);
    grid->setVerticalSpacing(16);
    m_sparks = {
        new Spark(QStringLiteral("Files / sec"), {}, pal::accentBlue, QStringLiteral("fps"), QStringLiteral("%.1f"), this),
        new Spark(QStringLiteral("Agent CPU"), {}, pal::accentGreen, QStringLiteral("%"), QStringLiteral("%.1f"), this),
        new Spark(QStringLiteral("System CPU"), {}, pal::accentAmber, QStringLiteral("%"), QStringLiteral("%.1f"), this),
        new Spark(QStringLiteral("System RAM"), {}, pal::accentRed, QStringLiteral("%"), QStringLiteral("%.1f"), this),
    };
    for (int i = 0; i < 4; ++i)
        grid->addWidget(m_sparks[i], i / 2, i % 2);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);
    col->addLayout(grid);
    if (m_agent)
        connect(m_agent, &AgentClient::historyChanged, this, &LiveChartsView::refresh);
    refresh();
}

QString LiveChartsView::headerCountText() const { return m_count->text(); }

void LiveChartsView::refresh()
{
    static const History empty;
    const History &fps = m_agent ? m_agent->filesPerSecHistory() : empty;
    m_count->setText(chartsHeaderCount(fps.size()));
    m_sparks[0]->setData(fps);
    m_sparks[1]->setData(m_agent ? m_agent->agentCpuHistory() : empty);
    m_sparks[2]->setData(m_agent ? m_agent->systemCpuHistory() : empty);
    m_sparks[3]->setData(m_agent ? m_agent->ramHistory() : empty);
}

} // namespace tsav
