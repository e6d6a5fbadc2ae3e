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
#include "platform/notificationservice.h"
#include "platform/preferences.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QThreadPool>
#include <QTimer>
#include <QtGui/qguiapplication_platform.h>

#include <dlfcn.h>
#include <malloc.h>
#include <sys/socket.h>

namespace tsav {

const QString TessalyAntivirusApp::quitNoticeTitle = QStringLiteral("Tessaly — agentul rămâne pornit");
const QString TessalyAntivirusApp::quitNoticeBody =
    QStringLiteral("Consola s-a închis; agentul continuă protecția în fundal. "
                   "O redeschizi din meniul aplicațiilor.");

TessalyAntivirusApp::Parts::Parts() = default;
TessalyAntivirusApp::Parts::Parts(Parts &&) noexcept = default;
TessalyAntivirusApp::Parts &TessalyAntivirusApp::Parts::operator=(Parts &&) noexcept = default;
TessalyAntivirusApp::Parts::~Parts() = default;

void TessalyAntivirusApp::prepareProcess()
{
    // glibc raises its mmap threshold after each large free (up to 32 MiB), after which
    // every later block of that size is carved from a heap that never shrinks. With the
    // threshold fixed at 64 KiB, the blocks that come and go at that size and above (a
    // reply's text, a screen's pictures, a list's rows) are mapped and unmapped each time
    // and leave no holes between the blocks that stay (after ten minutes on the dashboard,
    // 0.2-0.3 MB less resident, for a mapping every few seconds). The link's worker
    // threads allocate little: two heaps serve them and the window.
    mallopt(M_MMAP_THRESHOLD, 64 << 10);
    mallopt(M_ARENA_MAX, 2);
    // Qt's raster engine cuts every fill of more than 96 spans into pieces for its global
    // pool and waits for them: a panel's ring, a tall gradient. The GUI thread only waits,
    // so a second thread adds no speed, while every piece may wake either thread and the
    // two hand the pieces back and forth. One thread takes them in turn: the same pieces,
    // the same pixels, about 30 % less CPU a stroke.
    QThreadPool::globalInstance()->setMaxThreadCount(1);
}

namespace {
// Where frames go over the X connection's socket rather than through shared memory (a
// remote display, or QT_XCB_NO_MITSHM set), a frame of the dashboard (the radar and a
// dial or two) is about 400 KB of pixels written to it. With a socket's default send
// buffer (208 KiB) a frame fills it: the console sleeps until the server has read part of
// it, the server wakes for each part, and so on two or three times a frame. The buffer
// is widened to hold a frame or two (the kernel caps the request at what the system
// allows).
void widenDisplayConnection()
{
#if QT_CONFIG(xcb)
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection())
        return;
    // libxcb is already loaded, by Qt's X11 plugin: its own call gives the descriptor.
    void *xcb = dlopen("libxcb.so.1", RTLD_LAZY | RTLD_NOLOAD);
    if (!xcb)
        return;
    using DescriptorOf = int (*)(void *);
    const auto descriptorOf = reinterpret_cast<DescriptorOf>(dlsym(xcb, "xcb_get_file_descriptor"));
    const int fd = descriptorOf ? descriptorOf(x11->connection()) : -1;
    dlclose(xcb);
    if (fd < 0)
        return;
    constexpr int wanted = 1 << 20;
    int now = 0;
    socklen_t length = sizeof now;
    if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &now, &length) == 0 && now >= wanted)
        return;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &wanted, sizeof wanted);
#endif
}
} // namespace

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
    widenDisplayConnection();
    const ScreenContext ctx = context();
    m_window = new MainWindow(ctx);
    m_window->setOnShown([this] {
        // The window's icon is for the window manager's title bar and task list, not for
        // the window's first frame: its two renderings of a large glyph (and the two font
        // sizes they take) wait until that frame is on screen.
        if (!m_window->testAttribute(Qt::WA_SetWindowIcon))
            m_window->setWindowIcon(icons::icon(QStringLiteral("shield.lefthalf.filled"), palette::accentRed));
        ensureTray();
        startServices();
    });
    // The console ends through quit() only (which says that the agent keeps running and
    // gives the notification time to leave), never behind its back when a window closes.
    QApplication::setQuitOnLastWindowClosed(false);
    m_window->installEventFilter(this);
    connect(m_window, &MainWindow::quitRequested, this, [this] { quit(); });

    // Nobody answers on the socket: the supervisor relaunches an agent that has gone away.
    AgentClient *agent = m_parts.agent.get();
    AgentSupervisor *supervisor = m_parts.supervisor.get();
    connect(agent, &AgentClient::connectedChanged, this, [this, agent, supervisor] {
        if (!agent->connected() && !agent->agentRefused() && !m_quitting)
            supervisor->agentUnreachable();
    });

    // The heap's free pages between blocks still in use (every poll frees its replies,
    // lists and layouts) go back to the system once a minute; a trim takes a millisecond.
    auto *trim = new QTimer(this);
    trim->setTimerType(Qt::VeryCoarseTimer);
    connect(trim, &QTimer::timeout, this, [] { malloc_trim(0); });
    trim->start(std::chrono::minutes(1));
}

void TessalyAntivirusApp::ensureTray()
{
    if (m_tray)
        return;
    m_tray = std::make_unique<TrayIcon>(context(), [this] { openMainWindow(); }, [this] { quit(); });
    if (!m_tray->available()) {
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

const PlatformServices &TessalyAntivirusApp::services()
{
    if (!m_parts.services)
        m_parts.services = PlatformServices::real();
    return *m_parts.services;
}

void TessalyAntivirusApp::showMainWindow()
{
    if (m_window)
        m_window->show();
}

void TessalyAntivirusApp::startServices()
{
    if (m_quitting)
        return;
    m_parts.supervisor->startIfNeeded();
    m_parts.agent->start();
    if (!m_parts.notifier) {
        m_parts.notifier = std::make_unique<ThreatNotifier>(
            services(), m_parts.sound ? *m_parts.sound : SoundPlayer::shared());
    }
    m_parts.notifier->setOpenHandler([this] { openThreats(); });
    m_parts.notifier->bind(*m_parts.agent);
}

void TessalyAntivirusApp::openMainWindow()
{
    if (!m_window || m_quitting)
        return;
    if (m_window->isMinimized())
        m_window->setWindowState(m_window->windowState() & ~Qt::WindowMinimized);
    m_window->show(); // a hidden (closed) window comes back as it was
    m_window->raise();
    m_window->activateWindow();
}

void TessalyAntivirusApp::openThreats()
{
    openMainWindow();
    if (m_window && !m_quitting)
        m_window->setTab(Tab::threats);
}

void TessalyAntivirusApp::quit(std::chrono::milliseconds grace)
{
    if (m_quitting)
        return;
    m_quitting = true;
    // Only an agent that answers can be said to keep running.
    if (m_parts.agent->connected()) {
        Preferences *prefs = services().preferences;
        if (!prefs->boolValue(kQuitNoticeShownKey).value_or(false)) {
            NotificationRequest notice;
            notice.identifier = QStringLiteral("tsav.quit");
            notice.title = quitNoticeTitle;
            notice.body = quitNoticeBody;
            services().notifications->post(notice);
            prefs->setBool(kQuitNoticeShownKey, true);
        }
    }
    m_parts.agent->stop();
    if (m_tray && m_tray->panel())
        m_tray->panel()->hide();
    if (m_window)
        m_window->hide();
    QTimer::singleShot(grace, this, [this] { Q_EMIT finished(); });
}

bool TessalyAntivirusApp::eventFilter(QObject *watched, QEvent *event)
{
    // Without a tray, closing the window is the way out: the same quit as everywhere.
    if (watched == m_window && event->type() == QEvent::Close && !(m_tray && m_tray->available()))
        quit();
    return QObject::eventFilter(watched, event);
}

} // namespace tsav
