#pragma once
// Notifications through the freedesktop notification server (org.freedesktop.Notifications
// on the session bus). Every bus call is asynchronous. The server's id for each identifier
// is remembered so that posting the identifier again replaces the notification, and so
// that the server's ActionInvoked signal reaches the action handler with the identifier.

#include "platform/notificationservice.h"

#include <QDBusConnection>
#include <QHash>
#include <QObject>

class QDBusServiceWatcher;

namespace tsav {

class DesktopNotifications final : public QObject, public NotificationService {
    Q_OBJECT
public:
    static inline const QString serviceName = QStringLiteral("org.freedesktop.Notifications");
    static inline const QString objectPath = QStringLiteral("/org/freedesktop/Notifications");
    static inline const QString desktopEntry = QStringLiteral("tessaly-antivirus");
    static inline const QString criticalSoundName = QStringLiteral("dialog-error");
    // Longest title or body sent; longer texts are cut (an agent record can be huge).
    static constexpr qsizetype maxTextLength = 2000;

    enum class Server { unknown, available, unavailable };

    explicit DesktopNotifications(QDBusConnection bus = QDBusConnection::sessionBus(),
                                  QObject *parent = nullptr);

    void requestAuthorization() override;
    void post(const NotificationRequest &request) override;

    Server server() const { return m_server; }
    // The server's id for an identifier, 0 when none is known.
    quint32 serverId(const QString &identifier) const { return m_ids.value(identifier); }

    // The server's answer to GetCapabilities (empty until it arrives).
    const QStringList &capabilities() const { return m_capabilities; }

    // Text made safe for the bus and the server: no NUL characters, at most
    // maxTextLength characters, and markup escaped when the server reads body markup.
    static QString cleanText(const QString &text, bool escapeMarkup);

    // The Notify hints for a request: urgency (byte), sound-name for critical ones,
    // desktop-entry, category, and each user-information entry as "x-tsav-<key>"
    // (underscores become dashes).
    static QVariantMap hintsFor(const NotificationRequest &request);

Q_SIGNALS:
    // After the server answered a Notify call (tests wait on it).
    void posted(const QString &identifier, quint32 serverId);
    void serverChanged();

private Q_SLOTS:
    void onNotificationClosed(quint32 id, quint32 reason);
    void onActionInvoked(quint32 id, const QString &actionKey);

private:
    void setServer(Server s);

    QDBusConnection m_bus;
    Server m_server = Server::unknown;
    QHash<QString, quint32> m_ids;
    QStringList m_capabilities;
    QDBusServiceWatcher *m_watcher = nullptr;
};

} // namespace tsav
