#include "agentlink/exportjob.h"

#include "agentlink/agentclient.h"
#include "agentlink/decode.h"

#include <QSaveFile>
#include <QVariantMap>

namespace tsav {

ExportPager::ExportPager(QString kind, QString format) : m_kind(std::move(kind)), m_format(std::move(format)) {}

std::optional<QString> ExportPager::accept(const ExportPage &page)
{
    if (m_finished)
        return QStringLiteral("the export had already ended");
    if (page.kind != m_kind || page.format != m_format)
        return QStringLiteral("the agent answered with an export of %1 as %2")
            .arg(page.kind.left(40), page.format.left(40));
    if (page.rows < 0 || page.total < 0)
        return QStringLiteral("the agent sent a negative row count");
    if (page.next && (*page.next <= m_cursor || page.rows == 0))
        return QStringLiteral("the export does not advance (cursor %1)").arg(m_cursor);
    m_received += page.rows;
    m_total = std::max(m_total, page.total);
    if (m_received > 2 * m_total + 1000)
        return QStringLiteral("the export does not end: %1 rows received of %2").arg(m_received).arg(m_total);
    if (page.next)
        m_cursor = *page.next;
    else
        m_finished = true;
    return std::nullopt;
}

ExportJob::ExportJob(AgentClient *client, ExportRequest request, QString path, QObject *parent)
    : QObject(parent), m_client(client), m_request(std::move(request)), m_path(std::move(path))
{
}

QCoro::Task<ExportOutcome> ExportJob::run()
{
    QPointer<ExportJob> self(this);
    ExportOutcome outcome;
    // Written beside its name and renamed into place by commit(); never a half file.
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly)) {
        outcome.error = file.errorString();
        co_return outcome;
    }
    QVariantMap payload;
    payload.insert(QStringLiteral("kind"), m_request.kind);
    payload.insert(QStringLiteral("format"), m_request.format);
    if (!m_request.query.isEmpty())
        payload.insert(QStringLiteral("query"), m_request.query);
    if (m_request.since)
        payload.insert(QStringLiteral("since"), *m_request.since);
    if (m_request.until)
        payload.insert(QStringLiteral("until"), *m_request.until);

    ExportPager pager(m_request.kind, m_request.format);
    while (!pager.finished()) {
        QPointer<AgentClient> client = m_client;
        if (!client) {
            outcome.error = QStringLiteral("the console is closing");
            break;
        }
        payload.insert(QStringLiteral("cursor"), pager.cursor());
        auto response = co_await client->call(QStringLiteral("export"), payload);
        if (!self) { // the job was dropped meanwhile: the file goes with it
            file.cancelWriting();
            co_return outcome;
        }
        if (m_cancelled) {
            outcome.cancelled = true;
            break;
        }
        if (!response) {
            outcome.error = response.error().description();
            break;
        }
        if (response.value().raw.size() > maxExportPageBytes) {
            outcome.error = QStringLiteral("export page of %1 bytes refused").arg(response.value().raw.size());
            break;
        }
        auto page = decodeRecord<ExportPage>(response.value()); // a refusal comes back in the agent's words
        if (!page) {
            outcome.error = page.error().domain == QLatin1String("tsav.agent") ? page.error().message
                                                                               : page.error().description();
            break;
        }
        if (auto why = pager.accept(page.value())) {
            outcome.error = *why;
            break;
        }
        if (file.write(page.value().chunk) != page.value().chunk.size()) {
            outcome.error = file.errorString();
            break;
        }
        outcome.rows = pager.received();
        Q_EMIT progress(pager.received(), pager.total());
    }
    if (!pager.finished() || outcome.cancelled || !outcome.error.isEmpty()) {
        file.cancelWriting(); // the partial copy goes; nothing was ever at the path
        co_return outcome;
    }
    if (!file.commit()) {
        outcome.error = file.errorString();
        co_return outcome;
    }
    outcome.ok = true;
    co_return outcome;
}

} // namespace tsav
