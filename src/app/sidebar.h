#pragma once
// The main window's sidebar: header, the nine tab rows with a selection highlight that
// slides between rows, and the agent's state in the footer: "Agent activ", "Agent inactiv"
// with the reason, or the agent's own words when it refuses to answer, and for a while
// after the supervisor relaunched a stopped agent, "Agent repornit".

#include "app/tab.h"
#include "screens/screencontext.h"

#include <QAbstractButton>
#include <QPointer>
#include <QWidget>

class QLabel;
class QVBoxLayout;

namespace tsav {

class SoundPlayer;

class SidebarRow : public QAbstractButton {
    Q_OBJECT
public:
    SidebarRow(Tab tab, QWidget *parent = nullptr);
    Tab tab() const { return m_tab; }
    bool selected() const { return m_selected; }
    void setSelected(bool selected);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *) override;
    void focusInEvent(QFocusEvent *) override;

private:
    Tab m_tab;
    bool m_keyboardFocus = false;
    bool m_selected = false;
    double m_selectedChangedAt = -1e9; // for the icon's one-shot bounce
};

class Sidebar : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 220;

    // `player` gives the tab-change haptic (the shared player when null).
    Sidebar(const ScreenContext &ctx, QWidget *parent = nullptr);

    Tab currentTab() const { return m_current; }
    // A user's choice: the selected tab is ignored; another tab gives the alignment
    // haptic, moves the selection and emits tabChosen.
    void choose(Tab tab);
    // Moves the selection without feedback (start-up, tools).
    void setCurrentTab(Tab tab, bool animated = true);

    SidebarRow *row(Tab tab) const;
    // The highlight's rectangle (in the rows container) at time t.
    QRectF highlightRect(double t) const;
    // Adds a widget to the footer, above the agent state line.
    void addFooterWidget(QWidget *w);

    // Footer texts, for tests and accessibility.
    QString agentStateText() const;
    bool errorLineVisible() const;
    QString errorLineText() const;
    bool restartNoteVisible() const;
    // How long "Agent repornit" stays after a relaunch.
    static constexpr int restartNoteMs = 10000;

Q_SIGNALS:
    void tabChosen(Tab tab);

private:
    void refreshFooter();
    friend class SidebarRows;

    ScreenContext m_ctx;
    QPointer<AgentClient> m_agent;
    Tab m_current = Tab::dashboard;
    Tab m_previous = Tab::dashboard;
    double m_changedAt = -1e9;
    double m_slideAt = -1e9; // the time of the highlight's latest frame
    QWidget *m_rowsBox;
    QList<SidebarRow *> m_rows;
    QVBoxLayout *m_footer;
    QWidget *m_stateDot;
    QLabel *m_stateText;
    QLabel *m_errorText;
    QLabel *m_restartNote;
};

} // namespace tsav
