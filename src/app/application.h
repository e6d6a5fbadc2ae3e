#pragma once
// TessalyAntivirusApp: owns the console's three long-lived objects (the agent client,
// the agent supervisor, the threat notifier), the main window and the tray icon. Screens
// and the tray panel get the client and supervisor from it; none opens the socket.
//
// Each time the main window has been shown (after its first frame), startServices() runs: the supervisor's
// startIfNeeded(), the client's start(), the notifier's bind(), in that order.
//
// Quitting (the tray menu, Ctrl+Q, the panel's button, or closing the window when there
// is no tray) ends the console only: the agent keeps protecting. The first time, and
// only while an agent answers, a notification says so.

#include "platform/services.h"
#include "screens/screencontext.h"

#include <QObject>
#include <QPointer>

#include <chrono>
#include <memory>
#include <optional>

namespace tsav {

class AgentClient;
class AgentSupervisor;
class ThreatNotifier;
class SoundPlayer;
class MainWindow;
class TrayIcon;

class TessalyAntivirusApp : public QObject {
    Q_OBJECT
public:
    // The long-lived objects; tests give their own (a private socket, recording services).
    struct Parts {
        Parts();
        Parts(Parts &&) noexcept;
        Parts &operator=(Parts &&) noexcept;
        ~Parts();
        std::unique_ptr<AgentClient> agent;
        std::unique_ptr<AgentSupervisor> supervisor;
        std::unique_ptr<ThreatNotifier> notifier;
        SoundPlayer *sound = nullptr; // the shared player when null
        // The desktop's services when absent, made on first need (after the first frame).
        std::optional<PlatformServices> services;
    };
    // The real objects: the user's socket, the bundled agent, the desktop's services.
    static Parts realParts();
    // Process-wide settings, before the application object and anything else is made:
    // large blocks (a reply of many megabytes and its parse) go back to the system as soon
    // as they are freed instead of staying in the worker threads' heaps, and, on X11, the
    // window's frames go to the server over its socket rather than in shared memory.
    static void prepareProcess();

    explicit TessalyAntivirusApp(Parts parts = realParts(), QObject *parent = nullptr);
    ~TessalyAntivirusApp() override;

    AgentClient &agent() const { return *m_parts.agent; }
    AgentSupervisor &supervisor() const { return *m_parts.supervisor; }
    // Made by the first startServices() unless given in the parts.
    ThreatNotifier *notifier() const { return m_parts.notifier.get(); }
    ScreenContext context() const;

    MainWindow *mainWindow() const;
    TrayIcon *tray() const { return m_tray.get(); }

    // Shows the main window; once its first frame is on screen the tray icon goes up and
    // startServices() runs.
    void showMainWindow();
    // Supervisor, polling, notifier: strictly in this order.
    void startServices();
    // Brings the existing main window to the front and focuses it; never creates one.
    void openMainWindow();
    // The same, on the threats screen (a notification's "Deschide").
    void openThreats();
    // Ends the console, leaving the agent running; says so the first time. finished() comes
    // `grace` later (the program then ends its event loop), so the notification leaves first.
    void quit(std::chrono::milliseconds grace = std::chrono::milliseconds(300));
    bool quitting() const { return m_quitting; }

    // Texts of the notification sent on the first quit.
    static const QString quitNoticeTitle;
    static const QString quitNoticeBody;

Q_SIGNALS:
    void finished();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void ensureTray();
    const PlatformServices &services();

    Parts m_parts;
    QPointer<MainWindow> m_window;
    std::unique_ptr<TrayIcon> m_tray;
    bool m_quitting = false;
};

} // namespace tsav
