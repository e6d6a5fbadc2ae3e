#pragma once
// AuditView: asks the agent for the host audit and shows its score and checks.
//
// State lives only as long as the screen: `audit` (absent until an answer arrives) and
// `running`. An audit starts as soon as the screen is built, and again on the header
// button (disabled while one runs). The answer replaces `audit` — a failed request
// clears a previous result — and a result earns feedback by its score. A late answer
// for a screen that is gone does nothing.

#include "agentlink/records.h"
#include "screens/screencontext.h"

#include <QCoroTask>
#include <QPointer>
#include <QWidget>

#include <optional>

class QLabel;
class QVBoxLayout;

namespace tsav {

class AgentClient;
class GaugeView;
class SoundPlayer;
class TSPillButton;

class AuditView : public QWidget {
    Q_OBJECT
public:
    explicit AuditView(const ScreenContext &context, QWidget *parent = nullptr);
    ~AuditView() override;

    bool running() const { return m_running; }
    const std::optional<AuditResult> &audit() const { return m_audit; }

    // Runs one audit; does nothing while one is running.
    QCoro::Task<> performAudit();

Q_SIGNALS:
    // After an answer (or a failure) has been shown.
    void auditFinished();

private:
    QWidget *buildHeader();
    QWidget *buildScore();
    QWidget *buildChecksPanel();

    void setRunning(bool running);
    void showResult();
    QWidget *checkRow(const AuditCheck &check);
    SoundPlayer &player() const;

    QPointer<AgentClient> m_agent;
    SoundPlayer *m_sound;
    std::optional<AuditResult> m_audit;
    bool m_running = false;

    TSPillButton *m_button = nullptr;
    GaugeView *m_gauge = nullptr;
    QLabel *m_passing = nullptr;
    QVBoxLayout *m_checks = nullptr; // rows, or the empty-state text
};

} // namespace tsav
