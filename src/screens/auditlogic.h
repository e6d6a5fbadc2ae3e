#pragma once
// The audit screen's rules, apart from its widgets: texts, the score zones, the colour
// of a check's icon and badge, and which feedback a score earns.

#include "agentlink/records.h"
#include "alerts/feedback.h"

#include <QColor>
#include <QList>
#include <QString>

#include <optional>
#include <utility>

namespace tsav::audit {

inline const QString kTitle = QStringLiteral("System Audit");
inline const QString kSubtitle =
    QStringLiteral("Verifică automat firewall (nftables/iptables), criptare disc (dm-crypt), Secure Boot, "
                   "actualizări automate, SSH și setări de kernel");
inline const QString kRunTitle = QStringLiteral("Rulează audit");
inline const QString kRunningTitle = QStringLiteral("Verific…");
inline const QString kRunIcon = QStringLiteral("arrow.triangle.2.circlepath");
inline const QString kGaugeTitle = QStringLiteral("Audit score");
inline const QString kStateTitle = QStringLiteral("Stare securitate Linux");
inline const QString kNoResultLine =
    QStringLiteral("Rulează auditul pentru a evalua dispozitivul");
inline const QString kFootnote = QStringLiteral(
    "Citește configurări native Linux (nft, /sys, sshd_config, sysctl). Nu modifică nimic.");
inline const QString kChecksEmptyState =
    QStringLiteral("Apasă „Rulează audit” pentru a evalua dispozitivul");
inline const QString kPassIcon = QStringLiteral("checkmark.circle.fill");
inline const QString kFailIcon = QStringLiteral("xmark.circle.fill");

// Rows shown at most; an agent that sends more gets a closing line with the rest's count
// instead of thousands of widgets.
inline constexpr int kMaxRows = 200;
// "… și încă N verificări" for the checks beyond kMaxRows; empty when all are shown.
QString overflowLine(qsizetype checkCount);

// Score thresholds (0..100) shared by the gauge zones and the feedback rule.
inline constexpr qint64 kGoodScore = 85;
inline constexpr qint64 kFairScore = 60;

// The header button's title.
QString buttonTitle(bool running);

// "N din M verificări trecute" with a result, the invitation to run one without.
QString passingLine(const std::optional<AuditResult> &audit);

// The gauge's value: the score, 0 without a result.
double gaugeValue(const std::optional<AuditResult> &audit);

// Gauge zones as (fraction of the maximum, colour), ascending: red, amber from 0.60,
// green from 0.85.
QList<std::pair<double, QColor>> scoreZones();

// The feedback an arriving result earns: >= 85 good, 60..84 fair, below 60 poor.
feedback::Trigger feedbackForScore(qint64 score);

// A check's severity colour, from the word exactly as received (no lower-casing).
QColor severityColor(const AuditCheck &check);
// The row's icon: a green check mark when passed, else a cross in the severity colour.
QString iconName(const AuditCheck &check);
QColor iconColor(const AuditCheck &check);
// The badge text: the severity in upper case, made safe for display.
QString badgeText(const AuditCheck &check);

} // namespace tsav::audit
