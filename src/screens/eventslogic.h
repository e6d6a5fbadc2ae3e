#pragma once
// What the events screen derives from the client's events: the source picker's
// options and the filtered list.

#include "agentlink/records.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace tsav::events {

inline const QString allSources = QStringLiteral("all");

// "all", then the distinct sources ascending by character code (upper case first).
QStringList sourceOptions(const QList<EventRow> &events);
// "all": every event; otherwise the events whose source equals `source` exactly.
QList<EventRow> filtered(const QList<EventRow> &events, const QString &source);
// "%lld evenimente recente" over all events.
QString headerLine(qint64 count);
// `ts` as the local date and time "dd.MM.yyyy HH:mm:ss" (24-hour); "—" when it is not a time.
QString timeText(double ts);
QString targetText(const EventRow &e); // target or "—"

} // namespace tsav::events
