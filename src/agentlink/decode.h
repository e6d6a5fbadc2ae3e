#pragma once
// Strict decoding of the agent's replies into the wire records (records.h).
//
// Rules, identical for every record:
//  - fields are looked up by JSON key; keys a record does not list are ignored;
//  - int: a JSON number whose value is a whole number that fits in 64 bits (3 and 3.0
//    decode; 1.5, 1e30 and 2^63 fail; 9007199254740993 keeps every digit);
//  - double: any JSON number; string: a JSON string; bool: true or false only;
//  - a required field that is missing, null or of the wrong type fails the record;
//    an optional one that is missing or null is absent, of the wrong type it fails;
//  - lists are all-or-nothing.
// Failures are AgentError values of domain "tsav.decode" whose message names the record
// and the path of the offending member, e.g. "Threat[3].status: missing".

#include "agentlink/records.h"
#include "agentlink/transport.h"

#include <QHash>
#include <QList>

#include <limits>
#include <optional>

namespace tsav {

// One record from the reply's data: ("tsav", 2, "no data") when data is missing or null.
// A refusal that says why ("ok" false and an "error" text) gives ("tsav.agent", 0, text).
template <typename T>
Expected<T> decodeRecord(const AgentResponse &response);

// A list from the reply's data: missing or null data is an empty list (unless the
// agent refused, as above). Only the first `maxItems` items are decoded and kept; the
// number of items the agent sent goes to `received`.
template <typename T>
Expected<QList<T>> decodeList(const AgentResponse &response,
                              qsizetype maxItems = std::numeric_limits<qsizetype>::max(),
                              qsizetype *received = nullptr);

#define TSAV_DECLARE_DECODERS(T)                                                              \
    extern template Expected<T> decodeRecord<T>(const AgentResponse &);                     \
    extern template Expected<QList<T>> decodeList<T>(const AgentResponse &, qsizetype, qsizetype *);
TSAV_DECLARE_DECODERS(Summary)
TSAV_DECLARE_DECODERS(Threat)
TSAV_DECLARE_DECODERS(QuarantineEntry)
TSAV_DECLARE_DECODERS(ProcessRow)
TSAV_DECLARE_DECODERS(NetworkRow)
TSAV_DECLARE_DECODERS(EventRow)
TSAV_DECLARE_DECODERS(ScanStatus)
TSAV_DECLARE_DECODERS(AgentSelfStats)
TSAV_DECLARE_DECODERS(SystemStats)
TSAV_DECLARE_DECODERS(LiveMetrics)
TSAV_DECLARE_DECODERS(AuditCheck)
TSAV_DECLARE_DECODERS(AuditResult)
TSAV_DECLARE_DECODERS(ExportPage)
TSAV_DECLARE_DECODERS(AllowEntry)
TSAV_DECLARE_DECODERS(AllowAdded)
#undef TSAV_DECLARE_DECODERS

// The reply of "settings.get": every Boolean member (by its key as sent) and
// "scheduled_scan_hours" when it holds a whole number, "unavailable": the switches whose
// effect the agent cannot apply, each with its reason, and "forward_to": where events go
// while cloud telemetry is on (left out when malformed). Absent when data is missing,
// null or not an object.
struct SettingsReply {
    QHash<QString, bool> switches;
    std::optional<qint64> scheduledScanHours;
    QHash<QString, QString> unavailable;
    std::optional<ForwardTarget> forwardTo;
};
std::optional<SettingsReply> decodeSettings(const AgentResponse &response);

// Sorts process rows by score, largest first; equal scores keep the agent's order.
void sortProcessesByScore(QList<ProcessRow> &rows);

} // namespace tsav
