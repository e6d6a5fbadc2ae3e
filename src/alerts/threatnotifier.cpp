#include "alerts/threatnotifier.h"

#include "alerts/feedback.h"
#include "alerts/soundplayer.h"
#include "platform/launcherbadge.h"
#include "platform/preferences.h"
#include "platform/speechservice.h"

namespace tsav {

namespace {

const QString statusDetected = QStringLiteral("detected");

// Statuses that are the user's own doing (or the cause going away): a new threat that
// arrives already in one of them is not worth an alert.
bool isQuiet(const QString &status)
{
    return status == QLatin1String("allowed") || status == QLatin1String("resolved")
           || status == QLatin1String("restored") || status == QLatin1String("deleted");
}

int severityRank(const QString &severity)
{
    const QString sev = severity.toLower();
    return sev == QLatin1String("critical") ? 2 : sev == QLatin1String("high") ? 1 : 0;
}

NotificationAction openAction() { return {ThreatNotifier::actionOpen, QStringLiteral("Deschide")}; }

} // namespace

ThreatNotifier::ThreatNotifier(const PlatformServices &services, SoundPlayer &player,
                               QObject *parent)
    : QObject(parent), m_services(services), m_player(player)
{
    m_services.notifications->setActionHandler(
        [self = QPointer<ThreatNotifier>(this)](const QString &identifier, const QString &key) {
            if (self)
                self->onAction(identifier, key);
        });
}

ThreatNotifier::ThreatNotifier(QObject *parent)
    : ThreatNotifier(PlatformServices::real(), SoundPlayer::shared(), parent)
{
}

QString ThreatNotifier::countPhrase(qint64 n, const QString &one, const QString &many)
{
    if (n == 1)
        return QStringLiteral("1 ") + one;
    // Romanian puts "de" between a number and its noun from 20 on, except when the number
    // ends in 01 to 19 (101 amenințări, 120 de amenințări).
    const qint64 lastTwo = (n < 0 ? -n : n) % 100;
    const bool withDe = !(n < 20 || (lastTwo >= 1 && lastTwo <= 19));
    return QString::number(n) + (withDe ? QStringLiteral(" de ") : QStringLiteral(" ")) + many;
}

void ThreatNotifier::handleThreats(const QList<Threat> &list, std::optional<qint64> activeCount)
{
    const QList<Threat> considered = list.size() > maxConsidered ? list.first(maxConsidered) : list;
    if (!m_primed) {
        primeWith(considered, activeCount);
        return;
    }
    QList<Threat> fresh;
    for (const Threat &t : considered) {
        if (m_seen.contains(t.id))
            continue;
        m_seen.insert(t.id); // also keeps a duplicate id within this list from alerting twice
        if (!isQuiet(t.status))
            fresh.append(t);
    }
    if (!fresh.isEmpty())
        announce(fresh);
}

void ThreatNotifier::primeWith(const QList<Threat> &considered, std::optional<qint64> activeCount)
{
    m_primed = true;
    qint64 active = 0;
    for (const Threat &t : considered) {
        m_seen.insert(t.id);
        active += t.status == statusDetected;
    }
    const qint64 n = activeCount ? *activeCount : active;
    if (n < 1)
        return;
    // Already known to the agent before this run: one quiet reminder, not an alarm.
    NotificationRequest r;
    r.identifier = activeIdentifier;
    r.title = QStringLiteral("Tessaly — ") + countPhrase(n, QStringLiteral("amenințare activă"),
                                                         QStringLiteral("amenințări active"));
    r.body = QStringLiteral("Încă nerezolvate. Deschide consola pentru detalii.");
    r.level = NotificationLevel::normal;
    r.actions = {openAction()};
    m_services.notifications->post(r);
    feedback::give(feedback::Trigger::threatOther, m_player);
}

void ThreatNotifier::announce(const QList<Threat> &fresh)
{
    for (qsizetype i = 0; i < fresh.size() && i < maxSingleNotifications; ++i)
        m_services.notifications->post(requestFor(fresh[i]));
    const qsizetype rest = fresh.size() - maxSingleNotifications;
    const Threat *worst = &fresh.first();
    for (const Threat &t : fresh)
        if (severityRank(t.severity) > severityRank(worst->severity))
            worst = &t;
    if (rest > 0) {
        NotificationRequest r;
        r.identifier = moreIdentifier;
        r.title = QStringLiteral("Tessaly — și încă ")
                  + countPhrase(rest, QStringLiteral("amenințare nouă"), QStringLiteral("amenințări noi"));
        r.body = QStringLiteral("Deschide consola pentru lista completă.");
        r.level = isSevere(worst->severity) ? NotificationLevel::critical : NotificationLevel::normal;
        r.actions = {openAction()};
        m_services.notifications->post(r);
    }
    // One alert for the whole cycle, as loud as its worst threat.
    if (isSevere(worst->severity)) {
        feedback::give(feedback::Trigger::threatSevere, m_player);
        if (voiceEnabled())
            m_services.speech->speak({announcementFor(*worst), 0.5, 1.0});
    } else {
        feedback::give(feedback::Trigger::threatOther, m_player);
    }
}

void ThreatNotifier::onAction(const QString &identifier, const QString &actionKey)
{
    if (actionKey == actionQuarantine) {
        static const QString prefix = QStringLiteral("tsav.threat.");
        bool ok = false;
        const qint64 id = identifier.startsWith(prefix) ? identifier.mid(prefix.size()).toLongLong(&ok) : 0;
        if (ok)
            requestQuarantine(id);
        return;
    }
    if (m_open)
        m_open();
}

bool ThreatNotifier::isSevere(const QString &severity) { return severityRank(severity) > 0; }

bool ThreatNotifier::isActiveFileThreat(const Threat &threat)
{
    return threat.status == statusDetected && threat.path && !threat.path->isEmpty()
           && threat.kind != QLatin1String("behavior") && threat.kind != QLatin1String("network");
}

QString ThreatNotifier::lastPathComponent(const QString &path)
{
    qsizetype end = path.size();
    while (end > 1 && path.at(end - 1) == QLatin1Char('/'))
        --end;
    if (end == 1 && path.at(0) == QLatin1Char('/'))
        return QStringLiteral("/");
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'), end - 1);
    return path.mid(slash + 1, end - slash - 1);
}

NotificationRequest ThreatNotifier::requestFor(const Threat &threat)
{
    NotificationRequest r;
    r.identifier = QStringLiteral("tsav.threat.") + QString::number(threat.id);
    r.title = QStringLiteral("Tessaly — ") + threat.severity.toUpper();

    const QString name = threat.signature     ? *threat.signature
                         : threat.description ? *threat.description
                                              : QStringLiteral("Threat");
    QString detail;
    if (threat.path)
        detail = lastPathComponent(*threat.path);
    else if (threat.process_name)
        detail = *threat.process_name;
    r.body = detail.isEmpty() ? name : name + QLatin1Char('\n') + detail;

    r.level = isSevere(threat.severity) ? NotificationLevel::critical : NotificationLevel::normal;
    r.userInfo.insert(QStringLiteral("threat_id"), QVariant::fromValue<qlonglong>(threat.id));
    r.actions = {openAction()};
    if (isActiveFileThreat(threat))
        r.actions.append({actionQuarantine, QStringLiteral("Carantină")});
    return r;
}

QString ThreatNotifier::announcementFor(const Threat &threat)
{
    return QStringLiteral("Tessaly alert. ") + threat.severity.toLower() +
           QStringLiteral(" threat detected.");
}

void ThreatNotifier::updateDockBadge(const std::optional<Summary> &summary)
{
    const qint64 n = summary ? summary->threats_active : 0;
    m_services.badge->setCount(n >= 1 ? std::optional<qint64>(n) : std::nullopt);
}

bool ThreatNotifier::voiceEnabled() const
{
    return m_services.preferences->voiceEnabled();
}

} // namespace tsav
