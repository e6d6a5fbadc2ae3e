#include "screens/byteformat.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace tsav;

TEST(ByteFormat, PowersOf1024WithinAllowedUnits)
{
    EXPECT_EQ(bytes::format(1536, bytes::kbToGb), "1.5 KB");
    EXPECT_EQ(bytes::format(5LL * 1024 * 1024 * 1024 / 2, bytes::kbToGb), "2.5 GB");
    // Below the smallest unit: a fraction of it, never bytes.
    EXPECT_EQ(bytes::format(512, bytes::kbToGb), "0.5 KB");
    EXPECT_EQ(bytes::format(0, bytes::kbToGb), "0 KB");
    // Above the largest: a large number of it.
    EXPECT_EQ(bytes::format(2048LL * 1024 * 1024 * 1024, bytes::kbToGb), "2048 GB");
    // Process memory: MB and GB only.
    EXPECT_EQ(bytes::format(300 * 1024, bytes::mbToGb), "0.3 MB");
    EXPECT_EQ(bytes::format(3LL * 1024 * 1024 * 1024, bytes::mbToGb), "3 GB");
    // Any unit (the treemap): whole bytes below a kilobyte.
    EXPECT_EQ(bytes::format(512, bytes::anyUnit), "512 B");
    EXPECT_EQ(bytes::format(1536, bytes::anyUnit), "1.5 KB");
}

TEST(ByteFormat, RoundingCarriesIntoTheNextAllowedUnit)
{
    EXPECT_EQ(bytes::format(1024 * 1024 - 1, bytes::kbToGb), "1 MB");
    // ...but not past the largest allowed one.
    EXPECT_EQ(bytes::format(1024 * 1024 - 1, bytes::KB), "1024 KB");
}

TEST(ByteFormat, HostileValuesStillFormat)
{
    EXPECT_EQ(bytes::format(-1536, bytes::kbToGb), "-1.5 KB");
    EXPECT_FALSE(bytes::format(std::numeric_limits<qint64>::max(), bytes::kbToGb).isEmpty());
    EXPECT_FALSE(bytes::format(std::numeric_limits<qint64>::min(), bytes::anyUnit).isEmpty());
    EXPECT_EQ(bytes::format(2048, 0), "2 KB"); // no unit given: any unit
}

TEST(ByteFormat, RatesDropTheFractionFirst)
{
    EXPECT_EQ(bytes::rate(1536.9), "1.5 KB/s");
    EXPECT_EQ(bytes::rate(0), "0 KB/s");
    EXPECT_EQ(bytes::truncateToBytes(-2.7), -2);
    EXPECT_EQ(bytes::truncateToBytes(std::nan("")), 0);
    EXPECT_EQ(bytes::truncateToBytes(1e300), std::numeric_limits<qint64>::max());
    EXPECT_EQ(bytes::truncateToBytes(-INFINITY), std::numeric_limits<qint64>::min());
    EXPECT_FALSE(bytes::rate(INFINITY).isEmpty());
}
