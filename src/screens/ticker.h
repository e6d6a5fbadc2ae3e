#pragma once
// EventTickerView: the live event feed. A header (red dot, "LIVE EVENT FEED", the total
// count) over a 28-point strip in which the first 40 events, twice in a row, scroll left
// at 80 points a second, the row shifted by (t × 80) mod max(W, 800).

#include "agentlink/records.h"
#include "kit/instruments/instrument.h"
#include "kit/tspanel.h"

#include <QColor>

class QLabel;

namespace tsav {

class AgentClient;

QString sourceIcon(const QString &source);
QColor sourceColor(const QString &source);
// Age of a timestamp: "<n>s", "<n>m" or "<n>h" (no day unit), n truncated toward zero.
QString eventAge(double timestamp, double now);
// The whole target when it has at most 36 characters, else its last path component.
QString tickerTarget(const QString &target);
// Leftward shift of the strip's row at time t for a strip `width` points wide.
double tickerShift(double t, double width);
// The events shown: the first 40.
QList<EventRow> tickerEvents(const QList<EventRow> &events);
inline constexpr int tickerMaxEvents = 40;

// The scrolling strip. The row of events is laid out once into an image (when the events
// or their ages change) and blitted at the shifted position, at most 30 times a second.
class TickerStrip : public Instrument {
    Q_OBJECT
public:
    static constexpr int maxFps = 30;
    explicit TickerStrip(QWidget *parent = nullptr);

    void setEvents(const QList<EventRow> &events, double now);
    const QList<EventRow> &events() const { return m_events; }
    // Texts of the shown items, for inspection: "SOURCE · action → target age".
    QStringList itemTexts() const;
    double copyWidth() const;

    FrameKey frameKey(double t) const override;
    QSize sizeHint() const override { return {600, 28}; }

protected:
    void paintEvent(QPaintEvent *) override;
    void invalidateCaches() override { m_row = QImage(); }

private:
    void buildRow();
    QList<EventRow> m_events;
    double m_ageNow = 0; // the time the ages were written for
    QImage m_row;        // one copy of the sequence
};

class EventTickerView : public TSPanel {
    Q_OBJECT
public:
    explicit EventTickerView(AgentClient *agent, QWidget *parent = nullptr);
    TickerStrip *strip() const { return m_strip; }
    QString totalText() const;

private:
    void refresh();
    AgentClient *m_agent;
    QLabel *m_total;
    TickerStrip *m_strip;
};

} // namespace tsav
