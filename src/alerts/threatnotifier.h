#pragma once
// ThreatNotifier: turns newly seen threats into desktop notifications, the alert haptic,
// the threat sound and (for high and critical threats, when voice is on) a spoken
// announcement, and keeps the launcher badge at the agent's count of active threats.
//
// Calm by design:
//  - the agent's first answer only establishes what is already known: at most one summary
//    notification ("N amenințări active") for threats still active, nothing for those
//    quarantined, restored, resolved, allowed or killed;
//  - later, each cycle's new threats give one notification each up to three, then one
//    summary notification for the rest, and one sound (and one announcement) for them all;
//  - at most 200 threats of a cycle are looked at, however many the agent sends.
// Notifications carry actions: "Deschide" (a click on the notification) opens the console,
// "Carantină" on an active file threat asks the agent to quarantine it now.
//
// State (GUI thread only):
//  - seen: every threat id met so far; never shrinks, so an id is announced at most once
//    per run, even if it leaves the list and comes back;
//  - primed: false until the agent's first answer arrives.

#include "agentlink/records.h"
#include "platform/notificationservice.h"
#include "platform/services.h"

#include <QList>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QSet>

#include <functional>
#include <optional>

namespace tsav {

class AgentClient;
class SoundPlayer;

class ThreatNotifier : public QObject {
    Q_OBJECT
public:
    // Threats of one answer that are looked at; the rest wait for a later cycle.
    static constexpr qsizetype maxConsidered = 200;
    // New threats of one cycle with a notification of their own; the rest share one.
    static constexpr int maxSingleNotifications = 3;

    static inline const QString activeIdentifier = QStringLiteral("tsav.threats.active");
    static inline const QString moreIdentifier = QStringLiteral("tsav.threats.more");
    static inline const QString actionOpen = QStringLiteral("default");
    static inline const QString actionQuarantine = QStringLiteral("quarantine");

    // Uses the services' notifications, badge, speech and preferences; sounds and haptics
    // go through `player`. All must outlive the notifier.
    ThreatNotifier(const PlatformServices &services, SoundPlayer &player,
                   QObject *parent = nullptr);
    // The real platform services and the shared sound player.
    explicit ThreatNotifier(QObject *parent = nullptr);

    // Asks for notification permission, delivers the client's threats when it has an
    // answer (at once if it already has one), and keeps the badge at its summary. Binding
    // again replaces the earlier subscriptions. Deliveries stop when either object goes.
    void bind(AgentClient &client);
    // What "Deschide" does: the application brings its window forward on the threats.
    void setOpenHandler(std::function<void()> open) { m_open = std::move(open); }

    // One answer of the agent. `activeCount` is the agent's own count of active threats
    // (its summary), used by the first answer's notification when known.
    void handleThreats(const QList<Threat> &list, std::optional<qint64> activeCount = std::nullopt);
    void updateDockBadge(const std::optional<Summary> &summary);
    bool voiceEnabled() const;

    const QSet<qint64> &seen() const { return m_seen; }
    bool primed() const { return m_primed; }

    // The notification for a threat: identifier "tsav.threat.<id>", title
    // "Tessaly — <SEVERITY>", body name[\ndetail], critical for "critical" and "high",
    // actions "Deschide" and, for an active file threat, "Carantină".
    static NotificationRequest requestFor(const Threat &threat);
    // "Tessaly alert. <severity in lower case> threat detected."
    static QString announcementFor(const Threat &threat);
    static bool isSevere(const QString &severity);
    // An active threat with a file the agent can quarantine (not a process or connection).
    static bool isActiveFileThreat(const Threat &threat);
    // The last component of a slash-separated path ("/a/b/x.dmg" → "x.dmg").
    static QString lastPathComponent(const QString &path);
    // A count with its noun in Romanian: 1 amenințare, 3 amenințări, 20 de amenințări.
    static QString countPhrase(qint64 n, const QString &one, const QString &many);

private:
    void primeWith(const QList<Threat> &considered, std::optional<qint64> activeCount);
    void announce(const QList<Threat> &fresh);
    void onAction(const QString &identifier, const QString &actionKey);
    void requestQuarantine(qint64 threatId); // through the bound client

    PlatformServices m_services;
    SoundPlayer &m_player;
    QSet<qint64> m_seen;
    bool m_primed = false;
    QList<QMetaObject::Connection> m_subscriptions;
    QPointer<AgentClient> m_client;
    std::function<void()> m_open;
};

} // namespace tsav
