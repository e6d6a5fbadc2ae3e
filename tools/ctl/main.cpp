// tessaly-ctl: the agent's state and commands from a terminal, over the console's client.

#include "commands.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

namespace {

QCoro::Task<> runAndQuit(tsav::AgentClient *client, tsav::ctl::Options options, QTextStream *out, QTextStream *err)
{
    const int status = co_await tsav::ctl::run(*client, std::move(options), *out, *err);
    out->flush();
    err->flush();
    QCoreApplication::exit(status);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);

    tsav::ctl::Options options;
    QString socket = tsav::agentSocketPath();
    QStringList args = app.arguments().mid(1);
    while (!args.isEmpty()) {
        const QString a = args.takeFirst();
        if (a == u"--json") {
            options.json = true;
        } else if (a == u"--note" && !args.isEmpty()) {
            options.note = args.takeFirst();
        } else if (a == u"--socket" && !args.isEmpty()) {
            socket = args.takeFirst();
        } else if (a == u"--cycles" && !args.isEmpty()) {
            bool ok = false;
            options.watchCycles = args.takeFirst().toInt(&ok);
            if (!ok || options.watchCycles < 0) {
                err << "tessaly-ctl: --cycles takes a whole number\n";
                return tsav::ctl::Usage;
            }
        } else if ((a == u"--format" || a == u"--since" || a == u"--until" || a == u"--query") && !args.isEmpty()) {
            const QString value = args.takeFirst();
            (a == u"--format" ? options.format : a == u"--since" ? options.since
                                             : a == u"--until"  ? options.until
                                                                : options.query) = value;
        } else if (a == u"-h" || a == u"--help") {
            out << tsav::ctl::usageText();
            return tsav::ctl::Success;
        } else if (a.startsWith(u"--")) {
            err << "tessaly-ctl: unknown option " << a << "\n\n" << tsav::ctl::usageText();
            return tsav::ctl::Usage;
        } else {
            options.words << a;
        }
    }

    tsav::AgentClient client(socket);
    QTimer::singleShot(0, &app, [&] { runAndQuit(&client, options, &out, &err); });
    return app.exec();
}
