#pragma once
// The subcommands of tessaly-ctl, each built only on AgentClient's operations.

#include "agentlink/agentclient.h"

#include <QStringList>
#include <QTextStream>
#include <QVariantMap>

#include <optional>

#include <QCoroTask>

namespace tsav::ctl {

struct Options {
    bool json = false;      // print the reply's data as JSON instead of a table
    int watchCycles = 0;    // watch: stop after this many cycles (0: run until interrupted)
    // Search and export: as typed, checked by the command that uses them.
    std::optional<QString> format, since, until, query;
    std::optional<QString> note; // allow add: the entry's note
    QStringList words;      // the subcommand and its arguments
};

enum ExitCode { Success = 0, Failure = 1, Usage = 2 };

QString usageText();

// A time as typed for --since/--until: epoch seconds, or an ISO 8601 date or date and
// time ("2026-01-01", "2026-01-01T08:30", "2026-01-01 08:30:00+02:00"), local time
// unless it names a zone. Empty when it is neither.
std::optional<double> parseTime(const QString &text);

// Runs one subcommand; output goes to out, errors to err. Returns the exit status.
QCoro::Task<int> run(AgentClient &client, Options options, QTextStream &out, QTextStream &err);

} // namespace tsav::ctl
