#pragma once
// Desktop notifications.

#include <QList>
#include <QString>
#include <QVariantMap>

#include <functional>

namespace tsav {

enum class NotificationLevel {
    normal,   // the server's default sound; goes away on its own
    critical, // the critical-alert sound; stays until the user closes it
};

// A button (or, with the key "default", a click on the notification itself).
struct NotificationAction {
    QString key;
    QString label;
    bool operator==(const NotificationAction &) const = default;
};

struct NotificationRequest {
    // Re-using an identifier replaces the earlier notification with that identifier.
    QString identifier;
    QString title;
    QString body;
    NotificationLevel level = NotificationLevel::normal;
    // Extra information carried with the notification (for example "threat_id").
    QVariantMap userInfo;
    QList<NotificationAction> actions;
    bool operator==(const NotificationRequest &) const = default;
};

class NotificationService {
public:
    virtual ~NotificationService() = default;
    // Asks once whether notifications can be shown; a refusal (or no notification
    // server) silently turns post() into a no-op. Returns at once.
    virtual void requestAuthorization() = 0;
    // Shows the notification now; returns at once, the outcome is ignored.
    virtual void post(const NotificationRequest &request) = 0;

    // Called with the request's identifier and the action's key when the user chooses
    // one of a notification's actions.
    using ActionHandler = std::function<void(const QString &identifier, const QString &actionKey)>;
    void setActionHandler(ActionHandler handler) { m_actionHandler = std::move(handler); }

protected:
    void actionInvoked(const QString &identifier, const QString &actionKey) const
    {
        if (m_actionHandler)
            m_actionHandler(identifier, actionKey);
    }

private:
    ActionHandler m_actionHandler;
};

} // namespace tsav
