#pragma once
// The tray icon (StatusNotifierItem on current desktops through QSystemTrayIcon): the
// shield, or the exclamation shield when the agent is away or threats are active, with
// the active-threat count drawn on it, and the status as its tooltip. A click opens the
// status panel as a small frameless panel next to the tray; its menu offers "Deschide",
// "Scan rapid" and "Ieșire" (which ends the console, not the agent).

#include "app/menubarstatusview.h"
#include "app/statusrules.h"
#include "screens/screencontext.h"

#include <QIcon>
#include <QObject>
#include <QPointer>

#include <functional>

class QMenu;
class QSystemTrayIcon;

namespace tsav {

// The tray icon's picture for a label, `size` pixels square.
QImage trayIconImage(const TrayLabel &label, int size);

class TrayIcon : public QObject {
    Q_OBJECT
public:
    TrayIcon(const ScreenContext &ctx, std::function<void()> openMainWindow,
             std::function<void()> quit = {}, QObject *parent = nullptr);
    ~TrayIcon() override;

    // Whether the desktop shows tray icons; without one the panel is a small window
    // opened from the main window.
    bool available() const;
    // Opens the panel (near `anchor`, in global coordinates, when given).
    void showPanel(std::optional<QPoint> anchor = std::nullopt);
    void togglePanel(std::optional<QPoint> anchor = std::nullopt);
    MenuBarStatusView *panel() const { return m_panel; }
    // The tray icon's menu (also made where no tray shows it, for tests).
    QMenu *menu() const { return m_menu; }

    TrayLabel label() const { return m_label; }
    QString toolTip() const;

private:
    void refresh();

    ScreenContext m_ctx;
    std::function<void()> m_openMainWindow;
    std::function<void()> m_quit;
    QSystemTrayIcon *m_tray = nullptr;
    QMenu *m_menu = nullptr;
    QPointer<MenuBarStatusView> m_panel;
    TrayLabel m_label;
};

} // namespace tsav
