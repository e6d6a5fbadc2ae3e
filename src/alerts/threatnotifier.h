#pragma once
// ThreatNotifier: turns newly seen threats into a desktop notification, the alert haptic,
// the threat sound and (for high and critical threats, when voice is on) a spoken
// announcement, and keeps the launcher badge at the agent's count of active threats.
//
// State (GUI thread only):
//  - seen: every threat id met so far; never shrinks, so an id is announced at most once
//    per run, even if it leaves the list and comes back;
//  - primed: false until the first list arrives. The first list only fills `seen`.

#include "agentlink/records.h"
#include "platform/notificationservice.h"
#include "platform/services.h"

#include <QList>
#include <QMetaObject>
#include <QObject>
#include <QSet>

#include <optional>

namespace tsav {

class AgentClient;
class SoundPlayer;

class ThreatNotifier : public QObject {
    Q_OBJECT
public:
    // Uses the services' notifications, badge, speech and preferences; sounds and haptics
    // go through `player`. All must outlive the notifier.
    ThreatNotifier(const PlatformServices &services, SoundPlayer &player,
                   QObject *parent = nullptr);
    // The real platform services and the shared sound player.
    explicit ThreatNotifier(QObject *parent = nullptr);

    // Asks for notification permission, delivers the client's current threats and summary
    // at once, then every change. Binding again replaces the earlier subscriptions.
    // Deliveries stop when either object is destroyed.
    void bind(AgentClient &client);

    void handleThreats(const QList<Threat> &list);
    void notify(const Threat &threat);
    void updateDockBadge(const std::optional<Summary> &summary);
    bool voiceEnabled() const;

    const QSet<qint64> &seen() const { return m_seen; }
    bool primed() const { return m_primed; }

    // The notification for a threat: identifier "tsav.threat.<id>", title
    // "Tessaly — <SEVERITY>", body name[\ndetail], critical for "critical" and "high".
    static NotificationRequest requestFor(const Threat &threat);
    // "Tessaly alert. <severity in lower case> threat detected."
    static QString announcementFor(const Threat &threat);
    static bool isSevere(const QString &severity);
    // The last component of a slash-separated path ("/a/b/x.dmg" → "x.dmg").
    static QString lastPathComponent(const QString &path);

private:
    PlatformServices m_services;
    SoundPlayer &m_player;
    QSet<qint64> m_seen;
    bool m_primed = false;
    QList<QMetaObject::Connection> m_subscriptions;
};

} // namespace tsav
