// Rules of the audit and settings screens that need no widgets.

#include "kit/instruments/gaugemath.h"
#include "kit/palette.h"
#include "screens/auditlogic.h"
#include "screens/settingslogic.h"

#include <gtest/gtest.h>


namespace tsav {
namespace {

using feedback::Trigger;

AuditCheck check(QString severity, bool pass)
{
    return AuditCheck{QStringLiteral("id"), QStringLiteral("title"), pass, std::move(severity),
                      QStringLiteral("detail")};
}

TEST(AuditFeedback, ScoreBoundaries)
{
    EXPECT_EQ(audit::feedbackForScore(100), Trigger::auditGood);
    EXPECT_EQ(audit::feedbackForScore(85), Trigger::auditGood);
    EXPECT_EQ(audit::feedbackForScore(84), Trigger::auditFair);
    EXPECT_EQ(audit::feedbackForScore(60), Trigger::auditFair);
    EXPECT_EQ(audit::feedbackForScore(59), Trigger::auditPoor);
    EXPECT_EQ(audit::feedbackForScore(0), Trigger::auditPoor);
    EXPECT_EQ(audit::feedbackForScore(-5), Trigger::auditPoor);
}

TEST(AuditTexts, PassingLineAndGaugeValue)
{
    EXPECT_EQ(audit::passingLine(std::nullopt), audit::kNoResultLine);
    EXPECT_EQ(audit::gaugeValue(std::nullopt), 0.0);

    AuditResult r;
    r.passing = 5;
    r.total = 7;
    r.score = 71;
    EXPECT_EQ(audit::passingLine(r), QStringLiteral("5 din 7 verificări trecute"));
    EXPECT_EQ(audit::gaugeValue(r), 71.0);

    // An empty checks list still reports the numbers the agent sent.
    AuditResult empty;
    EXPECT_EQ(audit::passingLine(empty), QStringLiteral("0 din 0 verificări trecute"));
}

TEST(AuditChecks, SeverityIsMatchedExactlyAsReceived)
{
    EXPECT_EQ(audit::severityColor(check("critical", false)), palette::accentRed);
    EXPECT_EQ(audit::severityColor(check("high", false)), palette::severityHigh);
    EXPECT_EQ(audit::severityColor(check("medium", false)), palette::accentAmber);
    EXPECT_EQ(audit::severityColor(check("low", false)), palette::accentBlue);
    // Capitalised or unknown words are neutral: no lower-casing on this screen.
    for (const char *word : {"High", "CRITICAL", "Medium", "info", "", " high"})
        EXPECT_EQ(audit::severityColor(check(word, false)), palette::textSecondary) << word;
}

TEST(AuditChecks, HostileSeverityStaysShortAndPrintable)
{
    const QString hostile = QStringLiteral("lo\nw\u202E") + QString(100000, QLatin1Char('x'));
    const QString badge = audit::badgeText(check(hostile, false));
    EXPECT_LE(badge.size(), 40);
    EXPECT_FALSE(badge.contains(QLatin1Char('\n')));
    EXPECT_FALSE(badge.contains(QChar(0x202E)));
    EXPECT_EQ(audit::severityColor(check(hostile, false)), palette::textSecondary);
}

TEST(AuditZones, ColoursAtTheScoreThresholds)
{
    auto colourAt = [](double score) {
        return gauge::zoneColor(audit::scoreZones(), gauge::fraction(score, 100), false);
    };
    EXPECT_EQ(colourAt(85), palette::accentGreen);
    EXPECT_EQ(colourAt(84), palette::accentAmber);
    EXPECT_EQ(colourAt(60), palette::accentAmber);
    EXPECT_EQ(colourAt(59), palette::accentRed);
    EXPECT_EQ(colourAt(0), palette::accentRed);
}

TEST(SettingsRows, MissingKeysShowOff)
{
    QHash<QString, bool> values;
    EXPECT_FALSE(settings::displayedValue(values, SettingKey::realtime_enabled));
    values.insert(QStringLiteral("realtime_enabled"), true);
    values.insert(QStringLiteral("Network_monitor"), true); // not the wire name
    EXPECT_TRUE(settings::displayedValue(values, SettingKey::realtime_enabled));
    EXPECT_FALSE(settings::displayedValue(values, SettingKey::network_monitor));
}

TEST(SettingsSchedule, HoursWithoutAChoiceShowNone)
{
    EXPECT_EQ(settings::scanChoiceIndex(0), 0);
    EXPECT_EQ(settings::scanChoiceIndex(12), 3);
    EXPECT_EQ(settings::scanChoiceIndex(168), 5);
    EXPECT_EQ(settings::scanChoiceIndex(6), -1);
    EXPECT_EQ(settings::scanChoiceIndex(-1), -1);
}

} // namespace
} // namespace tsav
