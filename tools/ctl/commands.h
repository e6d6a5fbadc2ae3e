#pragma once
// The subcommands of tessaly-ctl, each built only on AgentClient's operations.

#include "agentlink/agentclient.h"

#include <QStringList>
#include <QTextStream>

#include <QCoroTask>

namespace tsav::ctl {

struct Options {
    bool json = false;      // print the reply's data as JSON instead of a table
    int watchCycles = 0;    // watch: stop after this many cycles (0: run until interrupted)
    QStringList words;      // the subcommand and its arguments
};

enum ExitCode { Success = 0, Failure = 1, Usage = 2 };

QString usageText();

// Runs one subcommand; output goes to out, errors to err. Returns the exit status.
QCoro::Task<int> run(AgentClient &client, Options options, QTextStream &out, QTextStream &err);

} // namespace tsav::ctl
