#pragma once
// A busy agent's replies for the dashboard: the scripted peer's sample state with ten
// threats, 180 events spread over the last week and timestamps near the present.

#include "agentlink/scriptedpeer.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace tsav::test {

// `variant` moves the live metrics, as successive polls of a working agent would.
inline QByteArray busyAgentData(double now = QDateTime::currentMSecsSinceEpoch() / 1000.0, int variant = 0)
{
    QJsonObject o = QJsonDocument::fromJson(ScriptedPeer::sampleDataObject()).object();
    static const char *const severities[] = {"critical", "high", "medium", "low"};
    static const char *const sources[] = {"file", "process", "network", "quarantine", "scan",
                                          "agent", "telemetry", "schedule", "api", "File"};
    QJsonArray threats;
    for (int i = 0; i < 10; ++i) {
        QJsonObject t{{"id", 100 - i}, {"ts", now - 600.0 * i}, {"kind", "yara"},
                      {"severity", severities[i % 4]}, {"status", i % 3 ? "detected" : "quarantined"}};
        if (i % 2 == 0)
            t["signature"] = QStringLiteral("Trojan.Generic.%1").arg(i);
        if (i % 3 != 2)
            t["path"] = QStringLiteral("/home/ana/Downloads/payload-%1.bin").arg(i);
        threats.append(t);
    }
    o["threats"] = threats;
    QJsonArray events;
    for (int i = 0; i < 180; ++i) {
        // Denser in the last hours, thinning out over the week.
        const double age = (i < 60) ? i * 47.0 : 3600.0 * (i - 59) * 1.3;
        QJsonObject e{{"id", 1000 - i}, {"ts", now - age}, {"source", sources[i % 10]},
                      {"action", i % 4 ? "scanned" : "threat_detected"}};
        if (i % 5 != 4)
            e["target"] = i % 2 ? QStringLiteral("/home/ana/projects/tessaly/build/output/file-%1.o").arg(i)
                                : QStringLiteral("pid-%1").arg(i);
        events.append(e);
    }
    o["events"] = events;
    QJsonObject m = o["metrics.live"].toObject();
    m["engines"] = QJsonObject{{"signature", QJsonObject{{"hits", 0}, {"last", 0.0}}},
                               {"yara", QJsonObject{{"hits", 2}, {"last", now - 125}}}};
    m["engine_breakdown"] = QJsonObject{{"behavior", QJsonObject{{"last24h", 3}, {"total", 9}, {"last_ts", now - 7200}}},
                                        {"yara", QJsonObject{{"last24h", 2}, {"total", 6}, {"last_ts", now - 125}}}};
    const double v = variant;
    m["files_per_second"] = 300 + 120 * std::sin(v * 0.7);
    QJsonObject agent = m["agent"].toObject();
    agent["cpu"] = 6 + 4 * std::sin(v * 1.3);
    agent["rss"] = 73400320 + 1048576 * (variant % 7);
    agent["threads"] = 9 + variant % 3;
    m["agent"] = agent;
    QJsonObject system = m["system"].toObject();
    system["cpu_percent"] = 35 + 25 * std::sin(v * 0.9);
    system["ram_percent"] = 52 + 6 * std::sin(v * 0.3);
    m["system"] = system;
    o["metrics.live"] = m;
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

} // namespace tsav::test
