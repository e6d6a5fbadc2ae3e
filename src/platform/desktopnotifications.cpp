#include "platform/desktopnotifications.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>

namespace tsav {

namespace {
constexpr uchar urgencyNormal = 1;
constexpr uchar urgencyCritical = 2;
const QString interfaceName = QStringLiteral("org.freedesktop.Notifications");
} // namespace

DesktopNotifications::DesktopNotifications(QDBusConnection bus, QObject *parent)
    : QObject(parent), m_bus(std::move(bus))
{
    if (!m_bus.isConnected()) {
        m_server = Server::unavailable;
        return;
    }
    // A server that starts (or restarts) later is used from then on; ids of a server
    // that went away mean nothing to its successor.
    m_watcher = new QDBusServiceWatcher(serviceName, m_bus,
                                        QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &, const QString &, const QString &newOwner) {
                m_ids.clear();
                m_capabilities.clear();
                if (!newOwner.isEmpty()) {
                    setServer(Server::available);
                    requestAuthorization(); // learn the new server's capabilities
                }
            });
    m_bus.connect(serviceName, objectPath, interfaceName, QStringLiteral("NotificationClosed"),
                  this, SLOT(onNotificationClosed(quint32, quint32)));
    m_bus.connect(serviceName, objectPath, interfaceName, QStringLiteral("ActionInvoked"),
                  this, SLOT(onActionInvoked(quint32, QString)));
}

void DesktopNotifications::setServer(Server s)
{
    if (m_server == s)
        return;
    m_server = s;
    Q_EMIT serverChanged();
}

void DesktopNotifications::requestAuthorization()
{
    if (!m_bus.isConnected())
        return;
    auto msg = QDBusMessage::createMethodCall(serviceName, objectPath, interfaceName,
                                              QStringLiteral("GetCapabilities"));
    auto *w = new QDBusPendingCallWatcher(m_bus.asyncCall(msg), this);
    connect(w, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        QDBusPendingReply<QStringList> reply = *w;
        if (!reply.isError())
            m_capabilities = reply.value();
        setServer(reply.isError() ? Server::unavailable : Server::available);
    });
}

QVariantMap DesktopNotifications::hintsFor(const NotificationRequest &request)
{
    QVariantMap hints;
    const bool critical = request.level == NotificationLevel::critical;
    hints.insert(QStringLiteral("urgency"),
                 QVariant::fromValue<uchar>(critical ? urgencyCritical : urgencyNormal));
    if (critical)
        hints.insert(QStringLiteral("sound-name"), criticalSoundName);
    hints.insert(QStringLiteral("desktop-entry"), desktopEntry);
    hints.insert(QStringLiteral("category"), QStringLiteral("x-tsav.threat"));
    for (auto it = request.userInfo.cbegin(); it != request.userInfo.cend(); ++it) {
        QString key = it.key();
        key.replace(QLatin1Char('_'), QLatin1Char('-'));
        QVariant value = it.value();
        // Integers travel as int64 whatever width they were stored with.
        if (value.typeId() == QMetaType::Int || value.typeId() == QMetaType::UInt ||
            value.typeId() == QMetaType::Long || value.typeId() == QMetaType::ULongLong)
            value = QVariant::fromValue<qlonglong>(value.toLongLong());
        hints.insert(QStringLiteral("x-tsav-") + key, value);
    }
    return hints;
}

QString DesktopNotifications::cleanText(const QString &text, bool escapeMarkup)
{
    QString out = text.left(maxTextLength);
    out.remove(QChar(u'\0'));
    return escapeMarkup ? out.toHtmlEscaped() : out;
}

void DesktopNotifications::post(const NotificationRequest &request)
{
    if (!m_bus.isConnected() || m_server == Server::unavailable)
        return;
    auto msg = QDBusMessage::createMethodCall(serviceName, objectPath, interfaceName,
                                              QStringLiteral("Notify"));
    const quint32 replaces = m_ids.value(request.identifier);
    const bool markup = m_capabilities.contains(QStringLiteral("body-markup"));
    QStringList actions; // key, label, key, label …
    for (const NotificationAction &a : request.actions)
        actions << a.key << cleanText(a.label, false);
    msg << QStringLiteral("Tessaly Antivirus") << replaces << desktopEntry
        << cleanText(request.title, false) << cleanText(request.body, markup) << actions << hintsFor(request) << qint32(-1);
    auto *w = new QDBusPendingCallWatcher(m_bus.asyncCall(msg), this);
    const QString identifier = request.identifier;
    connect(w, &QDBusPendingCallWatcher::finished, this,
            [this, identifier](QDBusPendingCallWatcher *w) {
                w->deleteLater();
                QDBusPendingReply<quint32> reply = *w;
                if (reply.isError() || reply.value() == 0)
                    return; // failures are ignored: nothing else depends on the notification
                m_ids.insert(identifier, reply.value());
                Q_EMIT posted(identifier, reply.value());
            });
}

void DesktopNotifications::onActionInvoked(quint32 id, const QString &actionKey)
{
    // Only our own notifications: the signal is broadcast to every client of the server.
    for (auto it = m_ids.cbegin(); it != m_ids.cend(); ++it) {
        if (it.value() == id) {
            actionInvoked(it.key(), actionKey);
            return;
        }
    }
}

void DesktopNotifications::onNotificationClosed(quint32 id, quint32)
{
    // A closed notification's id may be handed out again by the server; forget it so a
    // later post cannot replace someone else's notification.
    for (auto it = m_ids.begin(); it != m_ids.end();) {
        if (it.value() == id)
            it = m_ids.erase(it);
        else
            ++it;
    }
}

} // namespace tsav
