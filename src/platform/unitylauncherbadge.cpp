#include "platform/unitylauncherbadge.h"

#include <QDBusMessage>
#include <QVariantMap>

namespace tsav {

UnityLauncherBadge::UnityLauncherBadge(QDBusConnection bus) : m_bus(std::move(bus)) {}

void UnityLauncherBadge::setCount(std::optional<qint64> count)
{
    if (!m_bus.isConnected())
        return;
    const bool visible = count.has_value() && *count >= 1;
    QVariantMap props;
    props.insert(QStringLiteral("count"), QVariant::fromValue<qlonglong>(visible ? *count : 0));
    props.insert(QStringLiteral("count-visible"), visible);
    auto msg = QDBusMessage::createSignal(objectPath, interfaceName, QStringLiteral("Update"));
    msg << appUri << props;
    m_bus.send(msg); // queued by the bus library; never waits for anyone
}

} // namespace tsav
