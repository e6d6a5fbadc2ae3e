#include "screens/dashboardlogic.h"

#include "kit/palette.h"
#include "kit/plaintext.h"

#include <algorithm>
#include <cmath>

namespace tsav {

namespace {
bool on(const QHash<QString, bool> &settings, const char *key)
{
    return settings.value(QLatin1String(key), false);
}
} // namespace

bool isProtected(const QHash<QString, bool> &settings, bool connected)
{
    return connected && on(settings, "realtime_enabled") && on(settings, "ai_engine_enabled")
        && on(settings, "auto_quarantine");
}

ProtectionState protectionState(const QHash<QString, bool> &settings, const QHash<QString, QString> &unavailable,
                                bool connected, bool refused, const QList<EngineProblem> &problems)
{
    const QString warning = QStringLiteral("exclamationmark.shield");
    if (!connected && refused)
        return {warning, palette::accentAmber, QStringLiteral("ATENȚIE"), QStringLiteral("Agentul semnalează o eroare"),
                false};
    if (!connected)
        return {warning, palette::accentRed, QStringLiteral("AGENT INACTIV"),
                QStringLiteral("Protecția nu poate fi verificată"), false};
    if (!isProtected(settings, true))
        return {warning, palette::accentAmber, QStringLiteral("ATENȚIE"),
                QStringLiteral("Un motor de protecție e dezactivat"), false};
    for (const char *key : {"realtime_enabled", "ai_engine_enabled", "auto_quarantine"}) {
        const auto reason = unavailable.constFind(QLatin1String(key));
        if (reason != unavailable.cend())
            return {warning, palette::accentAmber, QStringLiteral("ATENȚIE"),
                    QStringLiteral("Un motor de protecție nu poate funcționa: ") + plainText(*reason, 120), false};
    }
    if (!problems.isEmpty())
        return {warning, palette::accentAmber, QStringLiteral("ATENȚIE"), engineProblemText(problems), false};
    return {QStringLiteral("shield.lefthalf.filled"), palette::accentGreen, QStringLiteral("PROTEJAT"),
            QStringLiteral("Toate motoarele rulează"), true};
}

QString engineStateLabel(const QString &state)
{
    if (state == u"ok")
        return QStringLiteral("OK");
    if (state == u"degraded")
        return QStringLiteral("DEGRADAT");
    if (state == u"off")
        return QStringLiteral("OPRIT");
    return plainText(state.toUpper(), 24);
}

QColor engineStateColor(const QString &state)
{
    if (state == u"ok")
        return palette::accentGreen;
    if (state == u"degraded")
        return palette::accentAmber;
    if (state == u"off")
        return palette::accentRed;
    return palette::textSecondary;
}

QString engineProblemText(const QList<EngineProblem> &problems)
{
    if (problems.isEmpty())
        return QString();
    const EngineProblem &first = problems.first();
    const QString name = plainText(capitalizeWords(first.name), 40);
    QString text = first.state == u"degraded" ? QStringLiteral("Motorul %1 e degradat").arg(name)
                   : first.state == u"off"    ? QStringLiteral("Motorul %1 e oprit").arg(name)
                                              : QStringLiteral("Motorul %1 nu funcționează normal (%2)")
                                                    .arg(name, plainText(first.state, 24));
    if (!first.reason.isEmpty())
        text += QStringLiteral(": ") + plainText(first.reason, 80);
    if (problems.size() > 1)
        text += QStringLiteral(" (și încă %1)").arg(problems.size() - 1);
    return text;
}

std::optional<QString> staleDataBanner(bool connected, bool refused, const std::optional<QString> &lastError,
                                       const std::optional<QDateTime> &lastAnswer)
{
    if (connected)
        return std::nullopt;
    if (refused && lastError)
        return plainText(*lastError, 200);
    if (!lastAnswer)
        return std::nullopt;
    return QStringLiteral("Agent inactiv — datele afișate sunt din ") + lastAnswer->toString(QStringLiteral("HH:mm"));
}

double protectionScore(const QHash<QString, bool> &settings, const std::optional<Summary> &summary,
                       qsizetype enginesNotWorking)
{
    double score = on(settings, "realtime_enabled") ? 100 : 70;
    if (!on(settings, "ai_engine_enabled"))
        score -= 15;
    if (!on(settings, "auto_quarantine"))
        score -= 15;
    if (!on(settings, "network_monitor"))
        score -= 10;
    if (!on(settings, "cloud_telemetry"))
        score -= 5;
    // min(5 × active, 25), with the count clamped first: a huge count must not overflow
    // and a negative one must not raise the score above 100.
    const qint64 active = std::clamp<qint64>(summary ? summary->threats_active : 0, 0, 5);
    score -= 5.0 * double(active);
    score -= 20.0 * double(std::clamp<qsizetype>(enginesNotWorking, 0, 2));
    return std::max(score, 0.0);
}

QString formatUptime(double seconds)
{
    // Non-finite or negative uptimes read as zero; absurdly large ones are capped so
    // the conversion to an integer stays defined.
    if (!std::isfinite(seconds) || seconds < 0)
        seconds = 0;
    const auto s = static_cast<long long>(std::min(seconds, 9.0e15));
    const long long h = s / 3600;
    const long long m = (s - 3600 * h) / 60;
    return QString::asprintf("%02lld:%02lld:%02lld", h, m, s % 60);
}

QString relativeTime(double timestamp, double now)
{
    if (!(timestamp > 0) || !std::isfinite(timestamp) || !std::isfinite(now))
        return QStringLiteral("—");
    const double d = now - timestamp;
    auto whole = [](double x) { return static_cast<long long>(std::clamp(std::trunc(x), -9.0e15, 9.0e15)); };
    if (d < 60)
        return QString::number(whole(d)) + QStringLiteral("s ago");
    if (d < 3600)
        return QString::number(whole(d / 60)) + QStringLiteral("m ago");
    if (d < 86400)
        return QString::number(whole(d / 3600)) + QStringLiteral("h ago");
    return QString::number(whole(d / 86400)) + QStringLiteral("d ago");
}

QString engineIcon(const QString &engine)
{
    if (engine == QLatin1String("signature"))
        return QStringLiteral("doc.badge.gearshape.fill");
    if (engine == QLatin1String("yara"))
        return QStringLiteral("doc.text.magnifyingglass");
    if (engine == QLatin1String("behavior"))
        return QStringLiteral("brain.head.profile");
    if (engine == QLatin1String("network"))
        return QStringLiteral("antenna.radiowaves.left.and.right");
    return QStringLiteral("circle.fill");
}

QColor engineColor(const QString &engine)
{
    if (engine == QLatin1String("signature"))
        return palette::accentBlue;
    if (engine == QLatin1String("yara"))
        return palette::accentAmber;
    if (engine == QLatin1String("behavior"))
        return palette::accentGreen;
    if (engine == QLatin1String("network"))
        return palette::accentRed;
    return palette::textSecondary;
}

QString capitalizeWords(const QString &text)
{
    QString out = text.toLower();
    bool start = true;
    for (qsizetype i = 0; i < out.size(); ++i) {
        const QChar c = out.at(i);
        if (c.isLetterOrNumber()) {
            if (start)
                out[i] = c.toUpper();
            start = false;
        } else {
            start = true;
        }
    }
    return out;
}

const QList<EngineBadgeSpec> &engineBadges()
{
    static const QList<EngineBadgeSpec> badges{
        {QStringLiteral("Real-time"), QStringLiteral("realtime_enabled")},
        {QStringLiteral("AI"), QStringLiteral("ai_engine_enabled")},
        {QStringLiteral("Carantină"), QStringLiteral("auto_quarantine")},
        {QStringLiteral("Rețea"), QStringLiteral("network_monitor")},
        {QStringLiteral("Cloud XDR"), QStringLiteral("cloud_telemetry")},
    };
    return badges;
}

} // namespace tsav
