#pragma once
// The main window: the background gradient, the sidebar, a hairline divider and the
// content area that shows the selected tab's screen with a 20-point inset. A tab change
// replaces the screen: the new one fades in while rising 6 points, the old one fades out
// (0.22 s, ease-out).

#include "app/tab.h"
#include "screens/screencontext.h"

#include <QWidget>

#include <functional>

namespace tsav {

class Sidebar;
class ContentArea;

class MainWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int minimumWidth = 980, minimumHeight = 660;

    explicit MainWindow(const ScreenContext &ctx, QWidget *parent = nullptr);
    ~MainWindow() override;

    Tab tab() const;
    // Shows a tab's screen (a fresh one). Without animation for start-up and snapshots.
    void setTab(Tab tab, bool animated = true);
    // The user's choice of a tab (keyboard or sidebar): feedback, then setTab.
    void chooseTab(Tab tab);

    Sidebar *sidebar() const { return m_sidebar; }
    QWidget *currentScreen() const;

    // Runs each time the window is shown (not on un-minimising), from the event loop
    // once the first frame after showing has been painted.
    void setOnShown(std::function<void()> onShown) { m_onShown = std::move(onShown); }

Q_SIGNALS:
    // Ctrl+Q: the user wants the console to end.
    void quitRequested();

protected:
    void paintEvent(QPaintEvent *) override;
    void showEvent(QShowEvent *) override;

private:
    ScreenContext m_ctx;
    Sidebar *m_sidebar;
    ContentArea *m_content;
    std::function<void()> m_onShown;
    bool m_shownPending = false;
};

} // namespace tsav
