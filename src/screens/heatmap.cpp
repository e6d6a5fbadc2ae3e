#include "screens/heatmap.h"

#include "agentlink/agentclient.h"
#include "kit/frameclock.h"
#include "kit/label.h"
#include "kit/palette.h"
#include "kit/typography.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

#include <cmath>

namespace tsav {

namespace pal = palette;

HeatGrid bucketEvents(const QList<EventRow> &events, const QDateTime &now)
{
    HeatGrid g;
    const QDate today = now.toLocalTime().date();
    const QDate first = today.addDays(-6);
    const QDateTime start = first.startOfDay();
    const qint64 startMs = start.toMSecsSinceEpoch();
    for (const EventRow &e : events) {
        // Timestamps that are not finite or lie far outside any calendar are skipped.
        if (!std::isfinite(e.ts) || std::abs(e.ts) > 1.0e11)
            continue;
        const qint64 ms = qint64(std::floor(e.ts * 1000));
        if (ms < startMs)
            continue;
        const QDateTime date = QDateTime::fromMSecsSinceEpoch(ms).toLocalTime();
        const qint64 day = first.daysTo(date.date());
        if (day > 6 || day < 0)
            continue;
        const int hour = date.time().hour();
        ++g.counts[24 * day + hour];
    }
    g.maxCount = 1;
    qint64 best = 0;
    for (qint64 c : std::as_const(g.counts))
        best = std::max(best, c);
    if (best > 0)
        g.maxCount = best;
    for (int d = 0; d < 7; ++d)
        g.rowLabels << weekdayInitial(first.addDays(d).dayOfWeek());
    return g;
}

QString weekdayInitial(int qtDayOfWeek)
{
    static const char *const initials[] = {"L", "Ma", "Mi", "J", "V", "S", "D"};
    if (qtDayOfWeek < 1 || qtDayOfWeek > 7)
        return QString();
    return QString::fromLatin1(initials[qtDayOfWeek - 1]);
}

QColor intensityColor(qint64 count, qint64 maxCount)
{
    if (count < 1)
        return pal::hairline;
    const double r = double(count) / double(maxCount > 0 ? maxCount : 1);
    if (r < 0.33)
        return pal::withOpacity(pal::accentBlue, 0.25 + 1.4 * r);
    if (r < 0.66)
        return pal::withOpacity(pal::accentAmber, 0.45 + (r - 0.33));
    return pal::withOpacity(pal::accentRed, 0.55 + (std::min(r, 1.0) - 0.66));
}

QList<qint64> legendCounts()
{
    QList<qint64> out;
    for (double v : {0.05, 0.2, 0.45, 0.7, 1.0})
        out << qint64(std::floor(v * 100 + 1e-9));
    return out;
}

// The grid: hour labels, then seven rows of 24 cells. Repainted only when the counts change.
class HeatmapGrid : public QWidget {
public:
    explicit HeatmapGrid(QWidget *parent) : QWidget(parent)
    {
        setFixedHeight(137);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }
    void setGrid(HeatGrid g)
    {
        if (g.counts == m_grid.counts && g.rowLabels == m_grid.rowLabels && g.maxCount == m_grid.maxCount)
            return;
        m_grid = std::move(g);
        update();
    }
    const HeatGrid &grid() const { return m_grid; }
    QSize sizeHint() const override { return {600, 137}; }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const double w = width();
        const double slot = (w - 28) / 24;
        const QFont hourFont = fonts::mono(8);
        const QFontMetricsF hfm(hourFont);
        p.setFont(hourFont);
        p.setPen(pal::textTertiary);
        for (int h = 0; h < 24; h += 6)
            p.drawText(QPointF(28 + h * slot, hfm.ascent()), QString::number(h));
        const double top = hfm.height() + 3;
        const QFont rowFont = fonts::system(9, fonts::Weight::Semibold);
        const QFontMetricsF rfm(rowFont);
        for (int d = 0; d < 7; ++d) {
            const double y = top + d * 17;
            p.setFont(rowFont);
            p.setPen(pal::textTertiary);
            if (d < m_grid.rowLabels.size())
                p.drawText(QRectF(0, y, 22, 14), Qt::AlignLeft | Qt::AlignVCenter, m_grid.rowLabels.at(d));
            p.setPen(Qt::NoPen);
            for (int h = 0; h < 24; ++h) {
                p.setBrush(intensityColor(m_grid.count(d, h), m_grid.maxCount));
                p.drawRoundedRect(QRectF(28 + h * slot, y, std::max(0.0, slot - 1), 14), 2, 2);
            }
        }
    }

private:
    HeatGrid m_grid;
};

namespace {
// One legend cell.
class LegendCell : public QWidget {
public:
    LegendCell(QColor c, QWidget *parent) : QWidget(parent), m_c(c) { setFixedSize(12, 10); }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(m_c);
        p.drawRoundedRect(QRectF(0, 0, 12, 10), 2, 2);
    }

private:
    QColor m_c;
};
} // namespace

ActivityHeatmap::ActivityHeatmap(AgentClient *agent, QWidget *parent) : TSPanel(parent), m_agent(agent)
{
    auto *col = contentLayout();
    col->setSpacing(10);
    auto *header = new QHBoxLayout;
    header->setSpacing(4);
    header->addWidget(makeLabel(QStringLiteral("Hartă activitate · 7 zile × 24 ore"),
                                fonts::system(14, fonts::Weight::Semibold), pal::textPrimary));
    header->addStretch(1);
    header->addWidget(makeLabel(QStringLiteral("rar"), fonts::system(9), pal::textTertiary));
    for (qint64 c : legendCounts())
        header->addWidget(new LegendCell(intensityColor(c, 100), this));
    header->addWidget(makeLabel(QStringLiteral("intens"), fonts::system(9), pal::textTertiary));
    col->addLayout(header);
    m_grid = new HeatmapGrid(this);
    col->addWidget(m_grid);
    if (m_agent)
        connect(m_agent, &AgentClient::eventsChanged, this, &ActivityHeatmap::refresh);
    refresh();
}

const HeatGrid &ActivityHeatmap::grid() const { return m_grid->grid(); }

void ActivityHeatmap::refresh()
{
    // The frame clock's time, so that a render at a fixed time buckets the same way.
    const QDateTime now = QDateTime::fromMSecsSinceEpoch(qint64(std::floor(FrameClock::now() * 1000)));
    m_grid->setGrid(bucketEvents(m_agent ? m_agent->events() : QList<EventRow>{}, now));
}

} // namespace tsav
