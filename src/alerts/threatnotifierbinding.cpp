// ThreatNotifier::bind lives apart so that code using the notifier without a client
// does not pull in the agent link.
#include "alerts/threatnotifier.h"

#include "agentlink/agentclient.h"
#include "platform/notificationservice.h"

#include <QPointer>

namespace tsav {

void ThreatNotifier::bind(AgentClient &client)
{
    for (const auto &c : std::as_const(m_subscriptions))
        disconnect(c);
    m_subscriptions.clear();

    m_services.notifications->requestAuthorization();

    // `this` is the context of every connection: nothing reaches a destroyed notifier,
    // and a destroyed client takes its connections with it.
    QPointer<AgentClient> source(&client);
    m_subscriptions << connect(&client, &AgentClient::threatsChanged, this, [this, source] {
        if (source)
            handleThreats(source->threats());
    });
    m_subscriptions << connect(&client, &AgentClient::summaryChanged, this, [this, source] {
        if (source)
            updateDockBadge(source->summary());
    });

    handleThreats(client.threats());
    updateDockBadge(client.summary());
}

} // namespace tsav
