#pragma once
// ActivityHeatmap: the agent's recent events over the last seven days, hour by hour: 7
// rows (six days ago at the top, today at the bottom) by 24 columns, each cell coloured
// by intensityColor of its count.

#include "agentlink/records.h"
#include "kit/tspanel.h"

#include <QColor>
#include <QDateTime>
#include <QMap>
#include <QStringList>

namespace tsav {

class AgentClient;

struct HeatGrid {
    QMap<qint64, qint64> counts; // key 24 × day + hour, day 0 = six days ago
    qint64 maxCount = 1;         // largest count, 1 when nothing was counted
    QStringList rowLabels;       // weekday initials of the seven rows, top first
    qint64 count(int day, int hour) const { return counts.value(24 * day + hour, 0); }
};

// Buckets events by local day and hour, from the start of today minus six days up to the
// end of today (local calendar and time zone at `now`).
HeatGrid bucketEvents(const QList<EventRow> &events, const QDateTime &now);

// Romanian weekday initial: "L", "Ma", "Mi", "J", "V", "S", "D" for Qt's 1 (Monday)..7.
QString weekdayInitial(int qtDayOfWeek);

// Cell colour: hairline under 1; else by r = count / maxCount: accentBlue at
// 0.25 + 1.4 r below 0.33, accentAmber at 0.45 + (r - 0.33) below 0.66, else accentRed
// at 0.55 + (min(r, 1) - 0.66).
QColor intensityColor(qint64 count, qint64 maxCount);

// The legend's five cells: the counts 5, 20, 45, 70 and 100 out of 100.
QList<qint64> legendCounts();

class HeatmapGrid; // the painted grid

class ActivityHeatmap : public TSPanel {
    Q_OBJECT
public:
    explicit ActivityHeatmap(AgentClient *agent, QWidget *parent = nullptr);
    const HeatGrid &grid() const;

private:
    void refresh();
    AgentClient *m_agent;
    HeatmapGrid *m_grid;
};

} // namespace tsav
