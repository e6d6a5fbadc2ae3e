#include "screens/eventslogic.h"
#include "screens/networklogic.h"

#include "kit/palette.h"

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

EventRow event(qint64 id, QString source, double ts = 0)
{
    EventRow e;
    e.id = id;
    e.source = std::move(source);
    e.action = "act";
    e.ts = ts;
    return e;
}

} // namespace

TEST(NetworkTexts, CountsAndReasons)
{
    const QList<NetworkRow> rows{conn(1, "1.1.1.1:443", false), conn(2, "6.6.6.6:4444", true, "beacon"),
                                 conn(std::nullopt, "8.8.8.8:53", false)};
    const auto c = network::counts(rows);
    EXPECT_EQ(network::headerLine(c), "3 conexiuni active · 1 suspect");
    EXPECT_EQ(network::headerLine(network::counts({})), "0 conexiuni active · 0 suspect");

    EXPECT_EQ(network::reasonText(rows[0]), "OK");
    EXPECT_EQ(network::reasonColor(rows[0]), palette::accentGreen);
    EXPECT_EQ(network::remoteColor(rows[0]), palette::textSecondary);
    EXPECT_EQ(network::reasonText(rows[1]), "beacon");
    EXPECT_EQ(network::reasonColor(rows[1]), palette::accentRed);
    EXPECT_EQ(network::remoteColor(rows[1]), palette::accentRed);
    EXPECT_EQ(network::reasonText(conn(3, "x", true)), "suspect");
    // A reason on a row that is not suspicious is not shown.
    EXPECT_EQ(network::reasonText(conn(3, "x", false, "beacon")), "OK");

    EXPECT_EQ(network::processText(rows[2]), "—");
    EXPECT_EQ(network::pidText(rows[2]), "0");
}

TEST(NetworkTexts, LegendRates)
{
    EXPECT_EQ(network::downText(std::nullopt), "DOWN  0 KB/s");
    EXPECT_EQ(network::upText(std::nullopt), "UP  0 KB/s");
    LiveMetrics m;
    m.system.net_bytes_recv_per_sec = 1536.9;
    m.system.net_bytes_sent_per_sec = 3 * 1048576.0;
    EXPECT_EQ(network::downText(m), "DOWN  1.5 KB/s");
    EXPECT_EQ(network::upText(m), "UP  3 MB/s");
}

TEST(NetworkTexts, RowKeysKeepSharedIdentitiesApart)
{
    const QList<NetworkRow> rows{conn(std::nullopt, "1.2.3.4:443", false), conn(7, "a", false),
                                 conn(7, "a", true), conn(7, "a", false)};
    EXPECT_EQ(network::rowKeys(rows), (QStringList{"0-1.2.3.4:443", "7-a", "7-a#1", "7-a#2"}));
}

TEST(EventSources, OptionsSortedByCharacterCode)
{
    const QList<EventRow> list{event(1, "yara"), event(2, "fs"), event(3, "yara"), event(4, "Net")};
    EXPECT_EQ(events::sourceOptions(list), (QStringList{"all", "Net", "fs", "yara"}));
    EXPECT_EQ(events::sourceOptions({}), (QStringList{"all"}));
}

TEST(EventSources, ExactCaseSensitiveFilter)
{
    const QList<EventRow> list{event(1, "fs"), event(2, "FS"), event(3, "yara"), event(4, "fs")};
    const auto fs = events::filtered(list, "fs");
    ASSERT_EQ(fs.size(), 2);
    EXPECT_EQ(fs[0].id, 1);
    EXPECT_EQ(fs[1].id, 4);
    EXPECT_EQ(events::filtered(list, "all").size(), 4);
    EXPECT_TRUE(events::filtered(list, "gone").isEmpty());
    EXPECT_EQ(events::headerLine(list.size()), "4 evenimente recente"); // all events
}

TEST(EventTexts, LocalTimeAndTarget)
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

    EventRow e = event(1, "fs");
    EXPECT_EQ(events::targetText(e), "—");
    e.target = "/etc/passwd";
    EXPECT_EQ(events::targetText(e), "/etc/passwd");
}
