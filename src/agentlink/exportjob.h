#pragma once
// Exports of the agent's history ("export"), page by page.
//
// ExportPager checks each page against the export it belongs to: the kind and format
// asked for, a cursor that moves forward, rows on every page that is not the last, and an
// end that comes (an agent whose pages never end is cut off once it has sent far more
// rows than it said the export holds). ExportJob follows the pages into a file that
// appears only when the export is complete: it is written beside its name and renamed
// into place at the end, so a failed or cancelled export leaves nothing behind.

#include "agentlink/records.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <QCoroTask>

#include <optional>

namespace tsav {

class AgentClient;

// No honest page comes near this (the agent keeps its replies under 2 MiB).
inline constexpr qsizetype maxExportPageBytes = 8 * 1024 * 1024;

class ExportPager {
public:
    ExportPager(QString kind, QString format);

    // The cursor to ask for next (0 for the first page).
    qint64 cursor() const { return m_cursor; }
    qint64 received() const { return m_received; }
    // The largest total any page announced.
    qint64 total() const { return m_total; }
    bool finished() const { return m_finished; }

    // Takes the page that answered cursor(): why it cannot be part of this export, or
    // nothing (and the cursor moves on, or the export is finished).
    std::optional<QString> accept(const ExportPage &page);

private:
    QString m_kind, m_format;
    qint64 m_cursor = 0, m_received = 0, m_total = 0;
    bool m_finished = false;
};

// What to export: kind ("threats", "events", "quarantine", "audit"), format ("csv",
// "json") and the search members the agent takes.
struct ExportRequest {
    QString kind;
    QString format;
    QString query; // "" for everything
    std::optional<double> since, until;
};

struct ExportOutcome {
    bool ok = false;
    bool cancelled = false;
    QString error;  // why it failed (empty when it did not)
    qint64 rows = 0; // records written
};

class ExportJob : public QObject {
    Q_OBJECT
public:
    ExportJob(AgentClient *client, ExportRequest request, QString path, QObject *parent = nullptr);

    // Runs the export to its end, its failure or its cancellation.
    QCoro::Task<ExportOutcome> run();
    // Stops after the page in flight; nothing is written.
    void cancel() { m_cancelled = true; }
    const QString &path() const { return m_path; }

Q_SIGNALS:
    // After every page: records written so far, and the export's total as last announced.
    void progress(qint64 rows, qint64 total);

private:
    QPointer<AgentClient> m_client;
    ExportRequest m_request;
    QString m_path;
    bool m_cancelled = false;
};

} // namespace tsav
