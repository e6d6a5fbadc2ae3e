// Severity colours, opacity arithmetic and the motion curves.
#include "kit/motion.h"
#include "kit/palette.h"

#include <gtest/gtest.h>

using namespace tsav;

TEST(SeverityColor, TheAgentsSpellingDoesNotMatterButOnlyKnownWordsColour)
{
    EXPECT_EQ(palette::severityColor("CRITICAL"), palette::severityColor("critical"));
    EXPECT_EQ(palette::severityColor("mEdium"), palette::severityColor("medium"));
    for (const char *other : {"info", "", "severe", " critical", "critical "})
        EXPECT_EQ(palette::severityColor(other), palette::textSecondary) << other;
    EXPECT_EQ(palette::severityColorExact("Critical"), palette::textSecondary);
    // withOpacity multiplies the colour's own alpha and clamps.
    EXPECT_NEAR(palette::withOpacity(palette::accentRedSoft, 0.5).alphaF(), palette::accentRedSoft.alphaF() / 2, 0.005);
    EXPECT_EQ(palette::withOpacity(palette::accentBlue, 2.0).alpha(), 255);
    EXPECT_EQ(palette::withOpacity(palette::accentBlue, -1).alpha(), 0);
}

TEST(Motion, SpringStartsAtRestOvershootsLittleAndSettles)
{
    EXPECT_EQ(motion::spring(0, 0.4, 0.78), 0);
    EXPECT_EQ(motion::spring(-1, 0.4, 0.78), 0);
    double peak = 0;
    for (double t = 0; t < 2; t += 0.005)
        peak = std::max(peak, motion::spring(t, 0.4, 0.78));
    EXPECT_GT(peak, 1.0);   // damping below 1 overshoots...
    EXPECT_LT(peak, 1.03);  // ...by about 2 %
    EXPECT_NEAR(motion::spring(1.0, 0.4, 0.78), 1.0, 0.002);
}

TEST(Motion, EaseOutIsMonotonicFromZeroToOneAndFastAtFirst)
{
    EXPECT_NEAR(motion::easeOut(0), 0, 1e-9);
    EXPECT_NEAR(motion::easeOut(1), 1, 1e-9);
    EXPECT_EQ(motion::easeOut(7), 1);
    double last = 0;
    for (double x = 0.01; x <= 1; x += 0.01) {
        const double y = motion::easeOut(x);
        EXPECT_GE(y, last);
        last = y;
    }
    EXPECT_GT(motion::easeOut(0.5), 0.6); // ahead of linear: the motion slows at the end
    EXPECT_EQ(motion::easeOutProgress(0.3, 0.22), 1);
}
