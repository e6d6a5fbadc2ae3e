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
    QString text;   // "AGENT INACTIV", "3 AMENINȚĂRI ACTIVE", "PROTEJAT", "PROTECȚIE INACTIVĂ"
    QColor color;
    QString icon;   // header icon: depends only on the connection
};

// Evaluated in order: disconnected, active threats, realtime protection on, otherwise.
PanelStatus panelStatus(bool connected, const std::optional<Summary> &summary,
                        const QHash<QString, bool> &settings);

struct TrayLabel {
    QString icon;  // "shield.lefthalf.filled" or "exclamationmark.shield.fill"
    QString count; // the active-threat count when >= 1, else empty
};

TrayLabel trayLabel(bool connected, const std::optional<Summary> &summary);

// The tray icon's tooltip: the application's name and the panel status.
QString trayToolTip(bool connected, const std::optional<Summary> &summary,
                    const QHash<QString, bool> &settings);

// The four figures of the panel, formatted.
struct PanelFigures {
    QString threatsActive, quarantined, filesPerSecond, agentCpu;
    QColor threatsColor;
};
PanelFigures panelFigures(const std::optional<Summary> &summary,
                          const std::optional<LiveMetrics> &metrics);

} // namespace tsav
