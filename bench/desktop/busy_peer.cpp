// A busy agent for the desktop benchmark: serves a sample file of agent replies (by
// default the snapshot tool's busy sample) on the console's socket, with its timestamps
// moved to the present once, at start, and its live metrics moving every 2 seconds, as
// successive polls of a working agent would show them: its threats, events and
// quarantine stay what they were (moving every timestamp on every poll would change
// every row of every list every 2 s, which no agent does). It runs until its standard
// input closes.
//
//   tsav_busy_peer SOCKET [SAMPLE.json]

#include "agentlink/scriptedpeer.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace {

// Adds `offset` to every timestamp field of the tree.
QJsonValue shifted(const QJsonValue &v, double offset)
{
    static const QStringList stamps{"ts", "last", "last_ts", "started", "finished"};
    if (v.isArray()) {
        QJsonArray out;
        for (const QJsonValue &e : v.toArray())
            out.append(shifted(e, offset));
        return out;
    }
    if (!v.isObject())
        return v;
    QJsonObject o = v.toObject();
    for (auto it = o.begin(); it != o.end(); ++it) {
        if (stamps.contains(it.key()) && it->isDouble() && it->toDouble() > 1e9)
            *it = it->toDouble() + offset;
        else
            *it = shifted(*it, offset);
    }
    return o;
}

// The newest event's time: the sample's "present".
double sampleNow(const QJsonObject &o)
{
    double newest = 0;
    for (const QJsonValue &e : o.value(QStringLiteral("events")).toArray())
        newest = std::max(newest, e.toObject().value(QStringLiteral("ts")).toDouble());
    return newest;
}

QByteArray poll(const QJsonObject &sample, double offset, int variant)
{
    QJsonObject o = shifted(sample, offset).toObject();
    QJsonObject m = o.value(QStringLiteral("metrics.live")).toObject();
    const double v = variant;
    m[QStringLiteral("files_per_second")] = 300 + 120 * std::sin(v * 0.7);
    m[QStringLiteral("uptime_seconds")] = m.value(QStringLiteral("uptime_seconds")).toDouble() + 2 * v;
    QJsonObject agent = m.value(QStringLiteral("agent")).toObject();
    agent[QStringLiteral("cpu")] = 6 + 4 * std::sin(v * 1.3);
    agent[QStringLiteral("rss")] = 73400320 + 1048576 * (variant % 7);
    agent[QStringLiteral("threads")] = 9 + variant % 3;
    m[QStringLiteral("agent")] = agent;
    QJsonObject system = m.value(QStringLiteral("system")).toObject();
    system[QStringLiteral("cpu_percent")] = 35 + 25 * std::sin(v * 0.9);
    system[QStringLiteral("ram_percent")] = 52 + 6 * std::sin(v * 0.3);
    m[QStringLiteral("system")] = system;
    o[QStringLiteral("metrics.live")] = m;
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: tsav_busy_peer SOCKET [SAMPLE.json]\n");
        return 2;
    }
    QFile file(QString::fromLocal8Bit(argc > 2 ? argv[2] : TSAV_BUSY_SAMPLE));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "tsav_busy_peer: cannot read %s\n", qPrintable(file.fileName()));
        return 2;
    }
    QJsonParseError error;
    const QJsonObject sample = QJsonDocument::fromJson(file.readAll(), &error).object();
    if (error.error != QJsonParseError::NoError) {
        std::fprintf(stderr, "tsav_busy_peer: %s: %s\n", qPrintable(file.fileName()), qPrintable(error.errorString()));
        return 2;
    }
    const double base = sampleNow(sample);

    tsav::ScriptedPeer peer(QString::fromLocal8Bit(argv[1]));
    if (!peer.isListening()) {
        std::fprintf(stderr, "tsav_busy_peer: cannot listen: %s\n", qPrintable(peer.errorString()));
        return 1;
    }
    const double offset = base > 0 ? QDateTime::currentMSecsSinceEpoch() / 1000.0 - base : 0;
    int variant = 0;
    peer.loadDataObject(poll(sample, offset, variant));
    QTimer moving;
    QObject::connect(&moving, &QTimer::timeout, [&] { peer.loadDataObject(poll(sample, offset, ++variant)); });
    moving.start(2000);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char chunk[64];
        if (::read(STDIN_FILENO, chunk, sizeof chunk) <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
        }
    });
    std::printf("listening %s\n", argv[1]);
    std::fflush(stdout);
    return app.exec();
}
