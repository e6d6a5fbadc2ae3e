#pragma once
// What the network screen derives from the connections and the live rates.

#include "agentlink/records.h"

#include <QColor>
#include <QList>
#include <QString>

#include <optional>

namespace tsav::network {

struct Counts {
    qint64 connections = 0;
    qint64 suspect = 0;
};
Counts counts(const QList<NetworkRow> &rows);
// "%lld conexiuni active · %lld suspect"
QString headerLine(const Counts &c);

// Legend texts: "DOWN  " / "UP  " and the rate (0 without metrics).
QString downText(const std::optional<LiveMetrics> &metrics);
QString upText(const std::optional<LiveMetrics> &metrics);

// Row cells.
QString processText(const NetworkRow &r); // process or "—"
QString pidText(const NetworkRow &r);     // pid, 0 when absent
QString reasonText(const NetworkRow &r);  // reason / "suspect" when suspicious, else "OK"
QColor remoteColor(const NetworkRow &r);
QColor reasonColor(const NetworkRow &r);

// Row keys for the list model: the row's identity, with "#n" added to the n-th repeat
// so that rows sharing an identity stay apart.
QStringList rowKeys(const QList<NetworkRow> &rows);

} // namespace tsav::network
