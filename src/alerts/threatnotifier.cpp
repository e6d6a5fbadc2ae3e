#include "alerts/threatnotifier.h"

#include "alerts/feedback.h"
#include "alerts/soundplayer.h"
#include "platform/launcherbadge.h"
#include "platform/preferences.h"
#include "platform/speechservice.h"

namespace tsav {

ThreatNotifier::ThreatNotifier(const PlatformServices &services, SoundPlayer &player,
                               QObject *parent)
    : QObject(parent), m_services(services), m_player(player)
{
}

ThreatNotifier::ThreatNotifier(QObject *parent)
    : ThreatNotifier(PlatformServices::real(), SoundPlayer::shared(), parent)
{
}

void ThreatNotifier::handleThreats(const QList<Threat> &list)
{
    if (!m_primed) {
        for (const Threat &t : list)
            m_seen.insert(t.id);
        m_primed = true;
        return;
    }
    QList<Threat> fresh;
    for (const Threat &t : list) {
        if (m_seen.contains(t.id))
            continue;
        m_seen.insert(t.id); // also keeps a duplicate id within this list from alerting twice
        fresh.append(t);
    }
    for (const Threat &t : fresh)
        notify(t);
}

bool ThreatNotifier::isSevere(const QString &severity)
{
    const QString sev = severity.toLower();
    return sev == QLatin1String("critical") || sev == QLatin1String("high");
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
    return r;
}

QString ThreatNotifier::announcementFor(const Threat &threat)
{
    return QStringLiteral("Tessaly alert. ") + threat.severity.toLower() +
           QStringLiteral(" threat detected.");
}

void ThreatNotifier::notify(const Threat &threat)
{
    const NotificationRequest request = requestFor(threat);
    if (isSevere(threat.severity)) {
        feedback::give(feedback::Trigger::threatSevere, m_player);
        if (voiceEnabled())
            m_services.speech->speak({announcementFor(threat), 0.5, 1.0});
    } else {
        feedback::give(feedback::Trigger::threatOther, m_player);
    }
    m_services.notifications->post(request);
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
