#pragma once
// DashboardView: the overview of the endpoint, in one vertical scroll area: header, four
// counters, the protection block (radar, state, engine badges, scan buttons), the
// telemetry gauges, live charts, activity heatmap, engine activity table, recent threats
// and the event ticker. While the agent does not answer, a line says how old the figures
// are, and the counters, badges and gauges are dimmed. Where the protection block does
// not fit in one row (the window's smallest width) the scan buttons move under the badges. It keeps no state of its own: every value is recomputed from
// the client after each change (coalesced to one refresh per event-loop turn), and
// widgets are updated in place rather than rebuilt.

#include "screens/screencontext.h"

#include <QPointer>
#include <QScrollArea>

class QLabel;
class QVBoxLayout;
class QWidget;

namespace tsav {

class ActivityHeatmap;
class AgentClient;
class EventTickerView;
class GaugeView;
class LinearGauge;
class LiveChartsView;
class RadarView;
class ThreatRow;
class TSPillButton;
class TSStat;

// A small badge: a 6-point dot (accentGreen when on, else textTertiary; accentAmber when
// on but the agent cannot apply it) and the title (11 medium; textPrimary when on, else
// textSecondary) on white at 4 %, rounded.
class EngineBadge : public QWidget {
    Q_OBJECT
public:
    EngineBadge(QString title, bool on, QWidget *parent = nullptr);
    void setOn(bool on);
    // Why the agent cannot apply the switch ("" when it can); shown as the tooltip.
    void setUnavailable(const QString &reason);
    QString title() const { return m_title; }
    bool isOn() const { return m_on; }
    bool isUnavailable() const { return !m_unavailable.isEmpty(); }
    QColor dotColor() const;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *) override;

private:
    QString m_title;
    bool m_on;
    QString m_unavailable;
};

class DashboardView : public QScrollArea {
    Q_OBJECT
public:
    explicit DashboardView(const ScreenContext &ctx, QWidget *parent = nullptr);
    ~DashboardView() override;

    // Brings every part up to date with the client now (normally done after changes).
    void refreshNow();

    // Parts, for inspection.
    RadarView *radar() const;
    QList<GaugeView *> gauges() const;
    QList<LinearGauge *> barGauges() const;
    QList<TSStat *> counters() const;
    QList<EngineBadge *> badges() const;
    QList<ThreatRow *> visibleThreatRows() const;
    TSPillButton *quickScanButton() const;
    TSPillButton *fullScanButton() const;
    // The engine table's rows as shown: each is the five cell texts.
    QList<QStringList> engineTableRows() const;
    // Each engine row's state cell and the reason line under it ("" when hidden).
    QList<QStringList> engineTableStates() const;
    // "… și încă N" under the engine table, "" when every engine has a row.
    QString engineTableMore() const;
    // "… și încă N" under the recent threats when there are more than they show.
    QString recentThreatsMore() const;
    bool barGaugesShown() const;
    // The line over stale figures ("" when hidden), the state title and subtitle, and
    // whether the figures are dimmed.
    QString staleBannerText() const;
    QString stateTitle() const;
    QString stateSubtitle() const;
    bool figuresDimmed() const;
    // Whether the scan buttons sit under the badges (too narrow for one row).
    bool protectionWrapped() const;

protected:
    void showEvent(QShowEvent *e) override;
    void changeEvent(QEvent *e) override;
    bool eventFilter(QObject *watched, QEvent *e) override;

private:
    struct Ui;
    bool windowMinimised() const;
    void applyWindowState();
    void scheduleRefresh();
    void refreshCounters();
    void refreshProtection();
    void refreshTelemetry();
    void refreshEngines();
    void refreshThreats();

    ScreenContext m_ctx;
    std::unique_ptr<Ui> m_ui;
    bool m_refreshPending = false;
    bool m_refreshStale = false; // a change arrived while the window was minimised
    QPointer<QWidget> m_watchedWindow;
};

} // namespace tsav
