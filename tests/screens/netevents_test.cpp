#include "screens/eventslogic.h"
#include "screens/networklogic.h"

#include <QDateTime>

#include <gtest/gtest.h>

#include <cstdlib>

using namespace tsav;

namespace {

NetworkRow conn(std::optional<qint64> pid, QString remote, bool suspicious,
                std::optional<QString> reason = {})
{
    NetworkRow r;
    r.pid = pid;
    r.remote = std::move(remote);
    r.local = "127.0.0.1:5000";
    r.suspicious = suspicious;
    r.reason = std::move(reason);
    return r;
}

} // namespace

TEST(NetworkTexts, CountsAndReasons)
{
    const QList<NetworkRow> rows{conn(1, "1.1.1.1:443", false), conn(2, "6.6.6.6:4444", true, "beacon"),
                                 conn(std::nullopt, "8.8.8.8:53", false)};
    const auto c = network::counts(rows);
    EXPECT_EQ(network::headerLine(c), "3 conexiuni active · 1 suspect");

    EXPECT_EQ(network::reasonText(rows[0]), "OK");
    EXPECT_EQ(network::reasonText(rows[1]), "beacon");
    EXPECT_NE(network::remoteColor(rows[1]), network::remoteColor(rows[0]));
    EXPECT_EQ(network::reasonText(conn(3, "x", true)), "suspect");
    // A reason on a row that is not suspicious is not shown.
    EXPECT_EQ(network::reasonText(conn(3, "x", false, "beacon")), "OK");
}

TEST(NetworkTexts, RowKeysKeepSharedIdentitiesApart)
{
    const QList<NetworkRow> rows{conn(std::nullopt, "1.2.3.4:443", false), conn(7, "a", false),
                                 conn(7, "a", true), conn(7, "a", false)};
    EXPECT_EQ(network::rowKeys(rows), (QStringList{"0-1.2.3.4:443", "7-a", "7-a#1", "7-a#2"}));
}

TEST(EventTexts, LocalTimeAndHostileStamps)
{
    // The local zone decides the text; compare with Qt's own conversion and, in a fixed
    // zone two hours east of UTC, with the literal.
    EXPECT_EQ(events::timeText(0), QDateTime::fromSecsSinceEpoch(0).toString("dd.MM.yyyy HH:mm:ss"));
    EXPECT_EQ(events::timeText(3661.9), QDateTime::fromSecsSinceEpoch(3661).toString("dd.MM.yyyy HH:mm:ss"));
    if (const char *expected = std::getenv("TSAV_EXPECT_EPOCH_LOCAL")) {
        EXPECT_EQ(events::timeText(0), QString::fromUtf8(expected));
    }
    EXPECT_EQ(events::timeText(NAN), "—");
    EXPECT_EQ(events::timeText(1e300), "—");
}
