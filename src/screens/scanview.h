#pragma once
// ScanView: the two launch cards and, following the agent's scan status, either the live
// blocks of a running scan (header with drifting particles, four gauges with the stop
// button, the per-directory table) or the results of the last finished scan.

#include "agentlink/records.h"
#include "screens/scancards.h"
#include "screens/screencontext.h"

#include <QPointer>
#include <QWidget>

class QLabel;
class QVBoxLayout;

namespace tsav {

class AgentClient;
class GaugeView;
class NoticeBar;
class ThreatActionRunner;
class SoundPlayer;

class ScanView : public QWidget {
    Q_OBJECT
public:
    explicit ScanView(const ScreenContext &ctx, QWidget *parent = nullptr);

    // What a poll does: the screen follows these values.
    void setState(const std::optional<ScanStatus> &scan, const std::optional<LiveMetrics> &metrics,
                  const QList<Threat> &threats);

    // For tests and tools.
    ScanLaunchCard *quickCard() const { return m_quick; }
    ScanLaunchCard *fullCard() const { return m_full; }
    bool showsLiveBlocks() const { return m_live != nullptr; }
    bool showsResults() const { return m_results != nullptr; }
    bool resultsShowClean() const { return m_resultsClean; }
    // Times the clean-result row appeared (each gave its feedback).
    int cleanAppearances() const { return m_cleanAppearances; }
    QList<GaugeView *> gauges() const { return m_gauges; }
    QString resultsLineText() const;
    QString noticeText() const;
    // Rows shown at most in the folder table and in the results; the rest are counted.
    static constexpr int maxFolderRows = 32;
    static constexpr int maxResultRows = 50;

private:
    void refreshFromClient();
    void launch(const QString &kind);
    void buildLive();
    void updateLive();
    void buildResults();
    SoundPlayer &player() const;

    QPointer<AgentClient> m_agent;
    SoundPlayer *m_sound = nullptr;
    std::optional<ScanStatus> m_scan;
    std::optional<LiveMetrics> m_metrics;
    QList<Threat> m_threats;

    QVBoxLayout *m_column = nullptr;
    ScanLaunchCard *m_quick = nullptr;
    ScanLaunchCard *m_full = nullptr;

    QWidget *m_live = nullptr; // the three running blocks
    LiveScanHero *m_hero = nullptr;
    QList<GaugeView *> m_gauges;
    QWidget *m_dirTable = nullptr;
    QLabel *m_dirMore = nullptr;

    NoticeBar *m_notice = nullptr;
    ThreatActionRunner *m_actions = nullptr;
    QWidget *m_results = nullptr;
    QLabel *m_resultsLine = nullptr;
    QList<Threat> m_resultThreats;
    QString m_resultNote;
    bool m_resultsClean = false;
    int m_cleanAppearances = 0;
};

} // namespace tsav
