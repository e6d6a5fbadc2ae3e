#include "app/statusrules.h"

#include "agentlink/agentclient.h"
#include "kit/palette.h"
#include "screens/dashboardlogic.h"

namespace tsav {

namespace {
qint64 activeThreats(const std::optional<Summary> &summary)
{
    return summary ? summary->threats_active : 0;
}
} // namespace

PanelStatus panelStatus(bool connected, const std::optional<Summary> &summary,
                        const QHash<QString, bool> &settings, const QList<EngineProblem> &problems)
{
    const QString icon = connected ? QStringLiteral("shield.lefthalf.filled")
                                   : QStringLiteral("exclamationmark.shield");
    if (!connected)
        return {QStringLiteral("AGENT INACTIV"), palette::accentRed, icon, QString()};
    const QString detail = engineProblemText(problems);
    if (const qint64 n = activeThreats(summary); n >= 1)
        return {QString::number(n) + QStringLiteral(" AMENINȚĂRI ACTIVE"), palette::accentRed, icon, detail};
    const bool realtime = settings.value(QStringLiteral("realtime_enabled"), false);
    if (realtime && !problems.isEmpty())
        return {QStringLiteral("PROTECȚIE DEGRADATĂ"), palette::accentAmber, icon, detail};
    if (realtime)
        return {QStringLiteral("PROTEJAT"), palette::accentGreen, icon, QString()};
    return {QStringLiteral("PROTECȚIE INACTIVĂ"), palette::accentAmber, icon, detail};
}

QList<EngineProblem> currentEngineProblems(const AgentClient &agent)
{
    const auto &metrics = agent.metrics();
    return metrics ? engineProblems(*metrics, agent.settings()) : QList<EngineProblem>{};
}

TrayLabel trayLabel(bool connected, const std::optional<Summary> &summary, bool enginesNotWorking)
{
    const qint64 n = activeThreats(summary);
    TrayLabel out;
    out.icon = (connected && n <= 0 && !enginesNotWorking) ? QStringLiteral("shield.lefthalf.filled")
                                                           : QStringLiteral("exclamationmark.shield.fill");
    out.count = n >= 1 ? QString::number(n) : QString();
    return out;
}

QString trayToolTip(bool connected, const std::optional<Summary> &summary,
                    const QHash<QString, bool> &settings, const QList<EngineProblem> &problems)
{
    const PanelStatus status = panelStatus(connected, summary, settings, problems);
    QString tip = QStringLiteral("Tessaly Antivirus — ") + status.text;
    if (!status.detail.isEmpty())
        tip += u'\n' + status.detail;
    return tip;
}

PanelFigures panelFigures(const std::optional<Summary> &summary,
                          const std::optional<LiveMetrics> &metrics)
{
    PanelFigures f;
    const qint64 active = activeThreats(summary);
    f.threatsActive = QString::number(active);
    f.threatsColor = active >= 1 ? palette::accentRed : palette::accentGreen;
    f.quarantined = QString::number(summary ? summary->quarantined : 0);
    f.filesPerSecond = QString::asprintf("%.1f", metrics ? metrics->files_per_second : 0.0);
    f.agentCpu = QString::asprintf("%.1f%%", metrics ? metrics->agent.cpu : 0.0);
    return f;
}

} // namespace tsav
