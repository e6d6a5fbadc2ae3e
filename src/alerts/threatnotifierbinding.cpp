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
    m_client = &client;

    m_services.notifications->requestAuthorization();

    // Only the agent's answers count: before the first one, and after a failed fetch, the
    // client's list is empty for want of an answer, not because nothing is there.
    const auto deliver = [this](AgentClient &c) {
        if (c.threatsReceived())
            handleThreats(c.threats(), c.summary() ? std::optional<qint64>(c.summary()->threats_active)
                                                   : std::nullopt);
    };
    // `this` is the context of every connection: nothing reaches a destroyed notifier,
    // and a destroyed client takes its connections with it.
    QPointer<AgentClient> source(&client);
    m_subscriptions << connect(&client, &AgentClient::threatsChanged, this, [source, deliver] {
        if (source)
            deliver(*source);
    });
    m_subscriptions << connect(&client, &AgentClient::summaryChanged, this, [this, source] {
        if (source)
            updateDockBadge(source->summary());
    });

    deliver(client);
    updateDockBadge(client.summary());
}

void ThreatNotifier::requestQuarantine(qint64 threatId)
{
    if (m_client)
        m_client->quarantineThreat(threatId); // runs on; the next poll shows the result
}

} // namespace tsav
