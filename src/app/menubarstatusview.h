#pragma once
// MenuBarStatusView: the tray panel. Protection status at a glance, four live figures,
// a quick scan and a way back to the main window. It keeps no state of its own: every
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
    // `openMainWindow` raises and focuses the existing main window.
    MenuBarStatusView(const ScreenContext &ctx, std::function<void()> openMainWindow,
                      QWidget *parent = nullptr);

    void refresh();

protected:
    void paintEvent(QPaintEvent *) override;

private:
    ScreenContext m_ctx;
    QPointer<AgentClient> m_agent;
    IconView *m_statusIcon;
    QLabel *m_statusText;
    QLabel *m_threats, *m_quarantined, *m_filesPerSec, *m_agentCpu;
};

} // namespace tsav
