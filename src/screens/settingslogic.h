#pragma once
// The settings screen's tables and rules, apart from its widgets: the engine rows in
// screen order, the scheduled-scan choices, the test buttons and the switch feedback.

#include "agentlink/records.h"
#include "alerts/feedback.h"
#include "kit/tspillbutton.h"

#include <QColor>
#include <QHash>
#include <QString>

#include <span>

namespace tsav::settings {

inline const QString kTitle = QStringLiteral("Setări");
inline const QString kSubtitle = QStringLiteral("Configurare motoare de protecție");

inline const QString kSoundPanelTitle = QStringLiteral("Sunete și voce");
inline const QString kSoundTitle = QStringLiteral("Sunete activate");
inline const QString kSoundSubtitle =
    QStringLiteral("Notificări audio pentru acțiuni și amenințări");
inline const QString kVoiceTitle = QStringLiteral("Voce pentru amenințări critice");
inline const QString kVoiceSubtitle = QStringLiteral(
    "Sintetizează vocal severitatea pentru threats high/critical (speech-dispatcher)");

inline const QString kScheduleTitle = QStringLiteral("Scan programat");
inline const QString kScheduleSubtitle =
    QStringLiteral("Pornește automat un Quick Scan la fiecare X ore (0 = oprit)");

inline const QString kArchitectureTitle = QStringLiteral("Arhitectură");
inline const QString kArchitectureLine = QStringLiteral(
    "Endpoint Agent → AI Local → Cloud Telemetry → Data Lake → AI Detection → Threat Intel → "
    "Response Engine");
inline const QString kArchitectureNote = QStringLiteral(
    "Pe acest sistem: agentul rulează local, în sesiunea ta, și consola îl întreabă prin "
    "socketul Unix; evenimentele pot merge mai departe la un SIEM prin syslog.");

struct EngineRow {
    QString title;
    QString subtitle;
    SettingKey key;
    bool danger; // title and switch in accentRed
};

// The seven engine rows in screen order (which differs from SettingKey's case order).
std::span<const EngineRow> engineRows();

QColor titleColor(const EngineRow &row);
QColor switchTint(const EngineRow &row);

// What an engine switch shows: the client's value at the row's key, false when missing.
bool displayedValue(const QHash<QString, bool> &settings, SettingKey key);

// The line under a switch whose effect the agent cannot apply: "Indisponibil: <reason>"
// ("Pornit, dar fără efect: <reason>" while it is on); "" when the agent can apply it.
QString unavailableLine(const QHash<QString, QString> &unavailable, SettingKey key, bool on);

// Where the cloud-telemetry row says events go: "Trimite evenimente la <host>:<port>
// (syslog)" (", TLS" or ", UDP" inside the brackets for those; an IPv6 host in square
// brackets), "Trimite evenimente la syslog-ul local (/dev/log)"; "" when nothing is
// forwarded (telemetry off, or an agent that does not say).
QString forwardLine(bool telemetryOn, const std::optional<ForwardTarget> &target);

// The allow-list panel.
inline const QString kAllowTitle = QStringLiteral("Excepții");
inline const QString kAllowSubtitle = QStringLiteral(
    "Ce nu mai semnalează agentul: foldere și fișiere, conținut (SHA-256) și programe");
inline const QString kAllowEmpty =
    QStringLiteral("Nicio excepție. Folosește „Permite” pe o amenințare sau adaugă un folder.");
// Rows shown; the rest are counted in "… și încă N".
inline constexpr int maxAllowRows = 50;
// "Folder sau fișier", "Conținut (SHA-256)", "Program"; another word as the agent sent it.
QString allowKindLabel(const QString &kind);
// "adăugată dd.MM.yyyy HH:mm" (local time), then " · <note>" when there is one.
QString allowDetailLine(const AllowEntry &e);

struct ScanChoice {
    QString label;
    qint64 hours;
};

// The six scheduled-scan choices, in picker order.
std::span<const ScanChoice> scanChoices();
// The picker index showing `hours`, or -1 when the agent reports a value with no choice.
int scanChoiceIndex(qint64 hours);

struct TestButton {
    QString title;
    QString icon;
    TSPillButton::Kind kind;
    feedback::Trigger action; // given after the button's own press feedback
};

// The test buttons, in order (no haptic test: this desktop has no haptic device).
std::span<const TestButton> testButtons();

// Feedback after the sound switch changed to `nowOn` (the value is stored first).
feedback::Trigger soundSwitchFeedback(bool nowOn);

} // namespace tsav::settings
