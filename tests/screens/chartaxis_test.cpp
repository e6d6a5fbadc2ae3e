#include "screens/chartaxis.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace tsav;

TEST(NiceTicks, RoundStepsNearTheDesiredCount)
{
    const auto t = axis::niceTicks(0, 1000, 4);
    EXPECT_DOUBLE_EQ(t.step, 500);
    EXPECT_EQ(t.values, (QList<double>{0, 500, 1000}));

    const auto u = axis::niceTicks(0, 1234567, 4);
    EXPECT_DOUBLE_EQ(u.lo, 0);
    EXPECT_GE(u.hi, 1234567);
    EXPECT_GE(u.values.size(), 3);
    EXPECT_LE(u.values.size(), 6);

    const auto c = axis::niceIntegerTicks(0, 3, 3);
    EXPECT_DOUBLE_EQ(c.step, 1);
    EXPECT_EQ(c.values, (QList<double>{0, 1, 2, 3}));
}

TEST(NiceTicks, FlatAndHostileRanges)
{
    const auto zero = axis::niceTicks(0, 0, 4);
    EXPECT_GT(zero.hi, zero.lo);
    const auto flat = axis::niceTicks(700, 700, 4);
    EXPECT_DOUBLE_EQ(flat.lo, 0);
    EXPECT_GE(flat.hi, 700);
    const auto bad = axis::niceTicks(NAN, INFINITY, 4);
    EXPECT_GT(bad.hi, bad.lo);
    EXPECT_LE(bad.values.size(), 1001);
    const auto huge = axis::niceTicks(-1e308, 1e308, 4);
    EXPECT_GT(huge.hi, huge.lo);
    EXPECT_LE(huge.values.size(), 1001);
}

TEST(TimeTicks, WholeMinutesAboutTheDesiredCount)
{
    const double t0 = 1'700'000'000.0 + 17; // a two-minute window of samples
    const auto two = axis::timeTicks(t0, t0 + 118, 6);
    ASSERT_FALSE(two.isEmpty());
    for (double t : two)
        EXPECT_EQ(std::fmod(t, 60.0), 0.0);

    const auto hour = axis::timeTicks(t0, t0 + 3600, 6);
    EXPECT_GE(hour.size(), 4);
    EXPECT_LE(hour.size(), 7);
    EXPECT_TRUE(axis::timeTicks(NAN, t0, 6).isEmpty());
}
