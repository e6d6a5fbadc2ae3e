#include "screens/settingslogic.h"

#include "kit/palette.h"
#include "kit/plaintext.h"

#include <QDateTime>

#include <array>
#include <cmath>

namespace tsav::settings {

namespace {

const std::array<EngineRow, 7> &rowTable()
{
    static const std::array<EngineRow, 7> rows{{
        {QStringLiteral("Protecție în timp real"),
         QStringLiteral("Monitor fișiere + procese (inotify + psutil)"),
         SettingKey::realtime_enabled, false},
        {QStringLiteral("AI Behavior Engine"),
         QStringLiteral("Isolation Forest local pe comportament proces"),
         SettingKey::ai_engine_enabled, false},
        {QStringLiteral("Carantină automată"), QStringLiteral("Mută în vault fișierele detectate"),
         SettingKey::auto_quarantine, false},
        {QStringLiteral("Kill auto procese cu risc mare"),
         QStringLiteral("Termină procese cu scor AI ≥ 0.93"), SettingKey::auto_kill_high_risk,
         false},
        {QStringLiteral("Monitor rețea"), QStringLiteral("Verifică conexiuni vs threat-intel feed"),
         SettingKey::network_monitor, false},
        {QStringLiteral("Cloud telemetry (XDR)"),
         QStringLiteral("Trimite evenimentele la un receptor syslog (SIEM)"), SettingKey::cloud_telemetry,
         false},
        {QStringLiteral("Kill switch — Izolare host"),
         QStringLiteral("Blochează tot traficul cu nftables (necesită root)"), SettingKey::kill_switch_isolate,
         true},
    }};
    return rows;
}

const std::array<ScanChoice, 6> &choiceTable()
{
    static const std::array<ScanChoice, 6> choices{{
        {QStringLiteral("Oprit"), 0},
        {QStringLiteral("1h"), 1},
        {QStringLiteral("4h"), 4},
        {QStringLiteral("12h"), 12},
        {QStringLiteral("24h"), 24},
        {QStringLiteral("Săptămânal"), 168},
    }};
    return choices;
}

const std::array<TestButton, 3> &buttonTable()
{
    using Kind = TSPillButton::Kind;
    using feedback::Trigger;
    static const std::array<TestButton, 3> buttons{{
        {QStringLiteral("Test sunet"), QStringLiteral("speaker.wave.2.fill"), Kind::ghost,
         Trigger::testSound},
        {QStringLiteral("Test alertă"), QStringLiteral("bell.badge.fill"), Kind::ghost,
         Trigger::testAlert},
        {QStringLiteral("Test critic"), QStringLiteral("exclamationmark.octagon.fill"), Kind::danger,
         Trigger::testCritical},
    }};
    return buttons;
}

} // namespace

std::span<const EngineRow> engineRows()
{
    return rowTable();
}

QColor titleColor(const EngineRow &row)
{
    return row.danger ? palette::accentRed : palette::textPrimary;
}

QColor switchTint(const EngineRow &row)
{
    return row.danger ? palette::accentRed : palette::accentGreen;
}

bool displayedValue(const QHash<QString, bool> &settings, SettingKey key)
{
    return settings.value(wireName(key), false);
}

QString unavailableLine(const QHash<QString, QString> &unavailable, SettingKey key, bool on)
{
    const auto reason = unavailable.constFind(wireName(key));
    if (reason == unavailable.cend())
        return QString();
    return (on ? QStringLiteral("Pornit, dar fără efect: ") : QStringLiteral("Indisponibil: "))
           + plainText(*reason, 160);
}

QString forwardLine(bool telemetryOn, const std::optional<ForwardTarget> &target)
{
    if (!telemetryOn || !target)
        return QString();
    if (target->protocol == u"local")
        return QStringLiteral("Trimite evenimente la syslog-ul local (/dev/log)");
    if (target->host.isEmpty())
        return QString();
    QString host = plainText(target->host, 255);
    if (host.contains(u':'))
        host = u'[' + host + u']';
    QString kind = QStringLiteral("syslog");
    if (target->protocol == u"tls")
        kind += QStringLiteral(", TLS");
    else if (target->protocol == u"udp")
        kind += QStringLiteral(", UDP");
    return QStringLiteral("Trimite evenimente la %1:%2 (%3)").arg(host).arg(target->port).arg(kind);
}

QString allowKindLabel(const QString &kind)
{
    if (kind == u"path")
        return QStringLiteral("Folder sau fișier");
    if (kind == u"sha256")
        return QStringLiteral("Conținut (SHA-256)");
    if (kind == u"process")
        return QStringLiteral("Program");
    return plainText(kind, 40);
}

QString allowDetailLine(const AllowEntry &e)
{
    QString line = QStringLiteral("adăugată ");
    if (std::isfinite(e.ts) && e.ts > 0 && e.ts < 1.0e12)
        line += QDateTime::fromMSecsSinceEpoch(qint64(e.ts * 1000)).toString(QStringLiteral("dd.MM.yyyy HH:mm"));
    else
        line += QStringLiteral("—");
    if (!e.note.isEmpty())
        line += QStringLiteral(" · ") + plainText(e.note, 200);
    return line;
}

std::span<const ScanChoice> scanChoices()
{
    return choiceTable();
}

int scanChoiceIndex(qint64 hours)
{
    const auto &choices = choiceTable();
    for (size_t i = 0; i < choices.size(); ++i) {
        if (choices[i].hours == hours)
            return int(i);
    }
    return -1;
}

std::span<const TestButton> testButtons()
{
    return buttonTable();
}

feedback::Trigger soundSwitchFeedback(bool nowOn)
{
    return nowOn ? feedback::Trigger::soundsTurnedOn : feedback::Trigger::soundsTurnedOff;
}

} // namespace tsav::settings
