#pragma once
// The protection status shown in the tray panel and the tray icon's label, as plain
// functions of the client's state.

#include "agentlink/records.h"

#include <QColor>
#include <QHash>
#include <QString>

#include <optional>

namespace tsav {

class AgentClient;

struct PanelStatus {
    QString text;   // "AGENT INACTIV", "3 AMENINȚĂRI ACTIVE", "PROTEJAT", "PROTECȚIE DEGRADATĂ",
                    // "PROTECȚIE INACTIVĂ"
    QColor color;
    QString icon;   // header icon: depends only on the connection
    QString detail; // under the status: which engine is not working and why ("" otherwise)
};

// Evaluated in order: disconnected, active threats, realtime protection on with an engine
// that is not working (`problems`, from engineProblems()), realtime protection on,
// otherwise. The engine that is not working is named in `detail` whenever the agent
// answers.
PanelStatus panelStatus(bool connected, const std::optional<Summary> &summary,
                        const QHash<QString, bool> &settings, const QList<EngineProblem> &problems = {});

// The engines that are not working, from what the client holds (none without metrics).
QList<EngineProblem> currentEngineProblems(const AgentClient &agent);

struct TrayLabel {
    QString icon;  // "shield.lefthalf.filled" or "exclamationmark.shield.fill"
    QString count; // the active-threat count when >= 1, else empty
};

// The warning shield while disconnected, with active threats, or with an engine that is
// not working.
TrayLabel trayLabel(bool connected, const std::optional<Summary> &summary, bool enginesNotWorking = false);

// The tray icon's tooltip: the application's name and the panel status.
QString trayToolTip(bool connected, const std::optional<Summary> &summary,
                    const QHash<QString, bool> &settings, const QList<EngineProblem> &problems = {});

// The four figures of the panel, formatted.
struct PanelFigures {
    QString threatsActive, quarantined, filesPerSecond, agentCpu;
    QColor threatsColor;
};
PanelFigures panelFigures(const std::optional<Summary> &summary,
                          const std::optional<LiveMetrics> &metrics);

} // namespace tsav
