#pragma once
// Desktop notifications.

#include <QString>
#include <QVariantMap>

namespace tsav {

enum class NotificationLevel {
    normal,   // the server's default sound; goes away on its own
    critical, // the critical-alert sound; stays until the user closes it
};

struct NotificationRequest {
    // Re-using an identifier replaces the earlier notification with that identifier.
    QString identifier;
    QString title;
    QString body;
    NotificationLevel level = NotificationLevel::normal;
    // Extra information carried with the notification (for example "threat_id").
    QVariantMap userInfo;
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
};

} // namespace tsav
