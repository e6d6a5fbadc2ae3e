#pragma once
// The tray icon (StatusNotifierItem on current desktops through QSystemTrayIcon): the
// shield, or the exclamation shield when the agent is away or threats are active, with
// the active-threat count drawn on it, and the status as its tooltip. A click opens the
// status panel as a small frameless panel next to the tray.

#include "app/menubarstatusview.h"
#include "app/statusrules.h"
#include "screens/screencontext.h"

#include <QIcon>
#include <QObject>
#include <QPointer>

#include <functional>

class QSystemTrayIcon;

namespace tsav {

// The tray icon's picture for a label, `size` pixels square.
QImage trayIconImage(const TrayLabel &label, int size);

class TrayIcon : public QObject {
    Q_OBJECT
public:
    TrayIcon(const ScreenContext &ctx, std::function<void()> openMainWindow,
             QObject *parent = nullptr);
    ~TrayIcon() override;

    // Whether the desktop shows tray icons; without one the panel is a small window
    // opened from the main window.
    bool available() const;
    // Opens the panel (near `anchor`, in global coordinates, when given).
    void showPanel(std::optional<QPoint> anchor = std::nullopt);
    void togglePanel(std::optional<QPoint> anchor = std::nullopt);
    MenuBarStatusView *panel() const { return m_panel; }

    TrayLabel label() const { return m_label; }
    QString toolTip() const;

private:
    void refresh();

    ScreenContext m_ctx;
    std::function<void()> m_openMainWindow;
    QSystemTrayIcon *m_tray = nullptr;
    QPointer<MenuBarStatusView> m_panel;
    TrayLabel m_label;
};

} // namespace tsav
