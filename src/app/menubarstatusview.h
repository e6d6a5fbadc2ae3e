#pragma once
// MenuBarStatusView: the tray panel. Protection status at a glance, four live figures,
// a quick scan, a way back to the main window and a way out of the console. It keeps no state of its own: every
// change of the client redraws it from the client's fields.

#include "screens/screencontext.h"

#include <QPointer>
#include <QWidget>

#include <functional>

class QLabel;

namespace tsav {

class IconView;
class TSPillButton;

class MenuBarStatusView : public QWidget {
    Q_OBJECT
public:
    // `openMainWindow` raises and focuses the existing main window; `quit`, when given,
    // adds "Ieșire", which ends the console (the agent keeps running).
    MenuBarStatusView(const ScreenContext &ctx, std::function<void()> openMainWindow,
                      std::function<void()> quit = {}, QWidget *parent = nullptr);

    void refresh();

protected:
    void paintEvent(QPaintEvent *) override;

private:
    ScreenContext m_ctx;
    QPointer<AgentClient> m_agent;
    IconView *m_statusIcon;
    QLabel *m_statusText;
    QLabel *m_statusDetail; // the engine that is not working, and why
    QLabel *m_threats, *m_quarantined, *m_filesPerSec, *m_agentCpu;
};

} // namespace tsav
