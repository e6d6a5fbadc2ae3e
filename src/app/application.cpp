#include "app/application.h"

#include "agentlink/agentclient.h"
#include "agentlink/supervisor.h"
#include "alerts/soundplayer.h"
#include "alerts/threatnotifier.h"
#include "app/mainwindow.h"
#include "app/sidebar.h"
#include "app/trayicon.h"
#include "kit/iconview.h"
#include "kit/icons.h"
#include "kit/palette.h"
#include "kit/tspillbutton.h"

#include <QApplication>

namespace tsav {

TessalyAntivirusApp::Parts::Parts() = default;
TessalyAntivirusApp::Parts::Parts(Parts &&) noexcept = default;
TessalyAntivirusApp::Parts &TessalyAntivirusApp::Parts::operator=(Parts &&) noexcept = default;
TessalyAntivirusApp::Parts::~Parts() = default;

TessalyAntivirusApp::Parts TessalyAntivirusApp::realParts()
{
    Parts parts;
    parts.agent = std::make_unique<AgentClient>();
    parts.supervisor = std::make_unique<AgentSupervisor>();
    // The notifier (and with it the desktop's notification, sound and speech services)
    // is made by the first startServices(), after the window's first frame.
    return parts;
}

TessalyAntivirusApp::TessalyAntivirusApp(Parts parts, QObject *parent)
    : QObject(parent), m_parts(std::move(parts))
{
    const ScreenContext ctx = context();
    m_window = new MainWindow(ctx);
    m_window->setWindowIcon(icons::icon(QStringLiteral("shield.lefthalf.filled"), palette::accentRed));
    m_window->setOnShown([this] {
        ensureTray();
        startServices();
    });
}

void TessalyAntivirusApp::ensureTray()
{
    if (m_tray)
        return;
    m_tray = std::make_unique<TrayIcon>(context(), [this] { openMainWindow(); });
    if (m_tray->available()) {
        // The tray keeps the console reachable: closing the window only hides it.
        QApplication::setQuitOnLastWindowClosed(false);
    } else {
        // No tray on this desktop: the panel is a small window opened from the sidebar.
        auto *status = new TSPillButton(QStringLiteral("Stare"), QStringLiteral("shield.lefthalf.filled"),
                                        TSPillButton::Kind::ghost);
        // The panel opens next to the button that asked for it.
        status->setAction([this, status] {
            m_tray->showPanel(status->mapToGlobal(QPoint(status->width() / 2, 0)));
        });
        status->setAccessibleName(QStringLiteral("Stare protecție"));
        m_window->sidebar()->addFooterWidget(status);
    }
}

TessalyAntivirusApp::~TessalyAntivirusApp()
{
    m_tray.reset();
    delete m_window.data();
}

MainWindow *TessalyAntivirusApp::mainWindow() const { return m_window.data(); }

ScreenContext TessalyAntivirusApp::context() const
{
    // Without a player of its own every user falls back to the shared one, which is
    // then made on first use rather than before the first frame.
    return ScreenContext{m_parts.agent.get(), m_parts.supervisor.get(), m_parts.sound};
}

void TessalyAntivirusApp::showMainWindow()
{
    if (m_window)
        m_window->show();
}

void TessalyAntivirusApp::startServices()
{
    m_parts.supervisor->startIfNeeded();
    m_parts.agent->start();
    if (!m_parts.notifier)
        m_parts.notifier = std::make_unique<ThreatNotifier>();
    m_parts.notifier->bind(*m_parts.agent);
}

void TessalyAntivirusApp::openMainWindow()
{
    if (!m_window)
        return;
    if (m_window->isMinimized())
        m_window->setWindowState(m_window->windowState() & ~Qt::WindowMinimized);
    m_window->show(); // a hidden (closed) window comes back as it was
    m_window->raise();
    m_window->activateWindow();
}

} // namespace tsav
