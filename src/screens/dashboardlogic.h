#pragma once
// The dashboard's plain functions: protection state and score, uptime and relative
// times, and the engine table's icons and colours.

#include "agentlink/records.h"

#include <QColor>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

#include <optional>

namespace tsav {

// True only when realtime_enabled, ai_engine_enabled and auto_quarantine are all true
// (a missing key counts as false) and the agent answers: switches remembered from an agent
// that no longer runs protect nothing.
bool isProtected(const QHash<QString, bool> &settings, bool connected = true);

// The protection block's state, first rule that holds:
//  - the agent refuses to answer: ATENȚIE, "Agentul semnalează o eroare" (amber);
//  - the agent does not answer: AGENT INACTIV, "Protecția nu poate fi verificată" (red);
//  - one of the three engines above is off: ATENȚIE, "Un motor de protecție e dezactivat";
//  - one of them is on but the agent cannot apply it: ATENȚIE, "Un motor de protecție nu
//    poate funcționa: <reason>";
//  - a detection engine is degraded or off when it should run (`problems`, from
//    engineProblems()): ATENȚIE, engineProblemText();
//  - otherwise PROTEJAT, "Toate motoarele rulează" (green).
struct ProtectionState {
    QString icon;
    QColor color;
    QString title;
    QString subtitle;
    bool protectedNow = false;
};
ProtectionState protectionState(const QHash<QString, bool> &settings, const QHash<QString, QString> &unavailable,
                                bool connected, bool refused, const QList<EngineProblem> &problems = {});

// An engine's state in the console's words: "OK", "DEGRADAT", "OPRIT", or the agent's
// word in upper case; and its colour (green, amber, red; textSecondary for other words).
QString engineStateLabel(const QString &state);
QColor engineStateColor(const QString &state);

// The first engine that is not working, in a sentence: "Motorul Signature e degradat:
// clamd not running" ("e oprit" for off), and " (și încă N)" when more are; "" for none.
QString engineProblemText(const QList<EngineProblem> &problems);

// The line over a dashboard whose figures are not fresh: the agent's own words when it
// refuses, "Agent inactiv — datele afișate sunt din HH:mm" when it stopped answering after
// an answer at `lastAnswer`; nothing while it answers, or before it ever did (nothing shown
// is old then).
std::optional<QString> staleDataBanner(bool connected, bool refused, const std::optional<QString> &lastError,
                                       const std::optional<QDateTime> &lastAnswer);

// Rows of the engine table; the rest are counted in one "… și încă N" line.
inline constexpr int maxEngineRows = 32;

// 100 with realtime on (else 70), minus 15 (AI off), 15 (auto-quarantine off), 10
// (network monitor off), 5 (cloud telemetry off), min(5 × active threats, 25) and 20 for
// each of at most two engines that are not working (so the gauge leaves its green zone);
// never below 0.
double protectionScore(const QHash<QString, bool> &settings, const std::optional<Summary> &summary,
                       qsizetype enginesNotWorking = 0);

// "%02d:%02d:%02d" of whole hours (not wrapped at 24), minutes and seconds.
QString formatUptime(double seconds);

// Age of a timestamp (Unix seconds) at `now`: "—" for 0 or less, else "<n>s ago",
// "<n>m ago", "<n>h ago" or "<n>d ago", n truncated toward zero.
QString relativeTime(double timestamp, double now);

// Icon and colour of an engine name (exact, case-sensitive).
QString engineIcon(const QString &engine);
QColor engineColor(const QString &engine);

// First letter of each word upper case ("behavior" -> "Behavior").
QString capitalizeWords(const QString &text);

// The engine badges of the protection block, in order: (title, settings key).
struct EngineBadgeSpec {
    QString title;
    QString key;
};
const QList<EngineBadgeSpec> &engineBadges();

} // namespace tsav
