#include "app/statusrules.h"

#include "kit/palette.h"

namespace tsav {

namespace {
qint64 activeThreats(const std::optional<Summary> &summary)
{
    return summary ? summary->threats_active : 0;
}
} // namespace

PanelStatus panelStatus(bool connected, const std::optional<Summary> &summary,
                        const QHash<QString, bool> &settings)
{
    const QString icon = connected ? QStringLiteral("shield.lefthalf.filled")
                                   : QStringLiteral("exclamationmark.shield");
    if (!connected)
        return {QStringLiteral("AGENT INACTIV"), palette::accentRed, icon};
    if (const qint64 n = activeThreats(summary); n >= 1)
        return {QString::number(n) + QStringLiteral(" AMENINȚĂRI ACTIVE"), palette::accentRed, icon};
    if (settings.value(QStringLiteral("realtime_enabled"), false))
        return {QStringLiteral("PROTEJAT"), palette::accentGreen, icon};
    return {QStringLiteral("PROTECȚIE INACTIVĂ"), palette::accentAmber, icon};
}

TrayLabel trayLabel(bool connected, const std::optional<Summary> &summary)
{
    const qint64 n = activeThreats(summary);
    TrayLabel out;
    out.icon = (connected && n <= 0) ? QStringLiteral("shield.lefthalf.filled")
                                     : QStringLiteral("exclamationmark.shield.fill");
    out.count = n >= 1 ? QString::number(n) : QString();
    return out;
}

QString trayToolTip(bool connected, const std::optional<Summary> &summary,
                    const QHash<QString, bool> &settings)
{
    return QStringLiteral("Tessaly Antivirus — ") + panelStatus(connected, summary, settings).text;
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
