// What the audit screen makes of a hostile severity word, without widgets.

#include "kit/palette.h"
#include "screens/auditlogic.h"

#include <gtest/gtest.h>

namespace tsav {
namespace {

AuditCheck check(QString severity, bool pass)
{
    return AuditCheck{QStringLiteral("id"), QStringLiteral("title"), pass, std::move(severity),
                      QStringLiteral("detail")};
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

} // namespace
} // namespace tsav
