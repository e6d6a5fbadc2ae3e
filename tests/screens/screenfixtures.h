#pragma once
// Deterministic busy data for the screens' tests, renders and benchmarks.

#include "agentlink/agentclient.h"
#include "agentlink/records.h"

#include <QDateTime>
#include <QUuid>

namespace tsav::fixtures {

inline const QStringList severities{"critical", "high", "medium", "low", "High", "info"};
inline const QStringList kinds{"signature", "yara", "behavior", "network", "Signature"};

inline QList<Threat> threats(int n, double now)
{
    QList<Threat> out;
    for (int i = 0; i < n; ++i) {
        Threat t;
        t.id = 1000 + i;
        t.ts = now - (i * 1237) % 90000;
        t.kind = kinds[i % kinds.size()];
        t.severity = severities[i % severities.size()];
        if (i % 3 != 2)
            t.path = QStringLiteral("/home/ana/Downloads/suspect-file-%1/payload.bin").arg(i);
        if (i % 2 == 0) {
            t.process_name = QStringLiteral("proc%1").arg(i % 17);
            t.pid = 4000 + i;
        }
        if (i % 4 == 0)
            t.score = 0.5 + (i % 50) / 100.0;
        if (i % 5 == 0)
            t.signature = QStringLiteral("Trojan.Generic.%1").arg(i);
        else if (i % 5 == 1)
            t.description = QStringLiteral("Comportament suspect #%1").arg(i);
        t.status = i % 4 == 3 ? QStringLiteral("quarantined") : QStringLiteral("detected");
        out.append(t);
    }
    return out;
}

inline QList<NetworkRow> connections(int n, int generation = 0)
{
    QList<NetworkRow> out;
    for (int i = 0; i < n; ++i) {
        NetworkRow r;
        if (i % 11 != 5)
            r.pid = 1000 + i % 900;
        if (i % 13 != 7)
            r.process = QStringLiteral("app%1").arg(i % 900);
        r.local = QStringLiteral("192.168.1.20:%1").arg(40000 + i % 20000);
        r.remote = QStringLiteral("203.0.%1.%2:443").arg(i / 250 % 256).arg(i % 250);
        r.status = QStringLiteral("ESTABLISHED");
        r.suspicious = i % 37 == 0;
        if (r.suspicious && i % 2 == 0)
            r.reason = QStringLiteral("beacon");
        // Each poll a few rows change state.
        if ((i + generation) % 97 == 0)
            r.status = QStringLiteral("CLOSE_WAIT");
        out.append(r);
    }
    return out;
}

inline QList<ProcessRow> processes(int n, int generation = 0)
{
    QList<ProcessRow> out;
    for (int i = 0; i < n; ++i) {
        ProcessRow p;
        p.pid = 100 + i;
        p.name = QStringLiteral("process-%1").arg(i);
        p.user = QStringLiteral("ana");
        p.exe = QStringLiteral("/usr/bin/process-%1").arg(i);
        p.cpu = double((i * 7919 + generation * 31) % 1000) / 10.0;
        p.rss = qint64((i * 104729) % 2048 + 1) * 1048576 / 4;
        p.connections = i % 9;
        p.open_files = i % 40;
        p.threads = 1 + i % 24;
        p.score = double((i * 37) % 100) / 100.0;
        out.append(p);
    }
    return out;
}

inline QList<EventRow> events(int n, double now)
{
    static const QStringList sources{"fs", "yara", "Net", "process", "FS", "quarantine"};
    QList<EventRow> out;
    for (int i = 0; i < n; ++i) {
        EventRow e;
        e.id = 50000 - i;
        e.ts = now - i * 17;
        e.source = sources[i % sources.size()];
        e.action = i % 3 ? QStringLiteral("file_modified") : QStringLiteral("threat_detected");
        if (i % 4)
            e.target = QStringLiteral("/home/ana/projects/very/long/path/segment-%1/file-%2.txt").arg(i % 9).arg(i);
        out.append(e);
    }
    return out;
}

inline History history(int n, double now, double scale, int phase)
{
    History out;
    for (int i = 0; i < n; ++i) {
        HistoryPoint p;
        p.id = QUuid::createUuid();
        p.date = QDateTime::fromMSecsSinceEpoch(qint64((now - (n - 1 - i) * 2.0) * 1000));
        p.value = scale * (0.5 + 0.45 * std::sin((i + phase) / 5.0));
        out.append(p);
    }
    return out;
}

} // namespace tsav::fixtures
