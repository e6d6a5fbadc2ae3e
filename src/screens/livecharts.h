#pragma once
// LiveChartsView: four Spark cards (files per second, agent CPU, system CPU, system RAM)
// plotting the client's history series, in a two-column grid.

#include "agentlink/agentclient.h"
#include "kit/tspanel.h"

#include <QColor>
#include <QImage>
#include <QPainterPath>

class QLabel;

namespace tsav {

// Current value (the last sample, 0 when empty) and peak (largest sample, 0 when empty).
double sparkCurrent(const History &data);
double sparkPeak(const History &data);
// "now <current>[ <unit>]  ·  peak <peak>", both in the card's format.
QString sparkReadout(const History &data, const QString &format, const QString &unit);
// The header's "ultimele <n> tickuri (2s fiecare)".
QString chartsHeaderCount(qsizetype samples);

// A smooth curve through the points (monotone cubic, so it never overshoots between
// samples); the same curve serves the area and the line.
QPainterPath smoothCurve(const QList<QPointF> &points);

class Spark : public QWidget {
    Q_OBJECT
public:
    Spark(QString title, History data, QColor tint, QString unit, QString format, QWidget *parent = nullptr);

    void setData(const History &data);
    const History &data() const { return m_data; }
    QString title() const { return m_title; }
    QString readout() const { return sparkReadout(m_data, m_format, m_unit); }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *) override;
    void resizeEvent(QResizeEvent *) override;

private:
    void paintPlot(QPainter &p, const QRectF &plot) const;
    QString m_title;
    History m_data;
    QColor m_tint;
    QString m_unit, m_format;
    QImage m_cache; // the whole card, redrawn on data or size change
};

class LiveChartsView : public TSPanel {
    Q_OBJECT
public:
    explicit LiveChartsView(AgentClient *agent, QWidget *parent = nullptr);
    QList<Spark *> sparks() const { return m_sparks; }
    QString headerCountText() const;

private:
    void refresh();
    AgentClient *m_agent;
    QLabel *m_count;
    QList<Spark *> m_sparks;
};

} // namespace tsav
