#include "screens/auditlogic.h"

#include "kit/palette.h"
#include "kit/plaintext.h"

namespace tsav::audit {

QString buttonTitle(bool running)
{
    return running ? kRunningTitle : kRunTitle;
}

QString passingLine(const std::optional<AuditResult> &audit)
{
    if (!audit)
        return kNoResultLine;
    return QStringLiteral("%1 din %2 verificări trecute").arg(audit->passing).arg(audit->total);
}

QString overflowLine(qsizetype checkCount)
{
    if (checkCount <= kMaxRows)
        return {};
    return QStringLiteral("… și încă %1 verificări").arg(checkCount - kMaxRows);
}

double gaugeValue(const std::optional<AuditResult> &audit)
{
    return audit ? double(audit->score) : 0.0;
}

QList<std::pair<double, QColor>> scoreZones()
{
    return {
        {0.0, palette::accentRed},
        {kFairScore / 100.0, palette::accentAmber},
        {kGoodScore / 100.0, palette::accentGreen},
    };
}

feedback::Trigger feedbackForScore(qint64 score)
{
    if (score >= kGoodScore)
        return feedback::Trigger::auditGood;
    if (score >= kFairScore)
        return feedback::Trigger::auditFair;
    return feedback::Trigger::auditPoor;
}

QColor severityColor(const AuditCheck &check)
{
    return palette::severityColorExact(check.severity);
}

QString iconName(const AuditCheck &check)
{
    return check.pass ? kPassIcon : kFailIcon;
}

QColor iconColor(const AuditCheck &check)
{
    return check.pass ? palette::accentGreen : severityColor(check);
}

QString badgeText(const AuditCheck &check)
{
    return plainText(check.severity, 32).toUpper();
}

} // namespace tsav::audit
