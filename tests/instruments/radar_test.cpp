#include "kit/frameclock.h"
#include "kit/instruments/radarmath.h"
#include "kit/instruments/radarview.h"
#include "kit/palette.h"

#include <QImage>
#include <gtest/gtest.h>

#include <cmath>

using namespace tsav;
namespace pal = tsav::palette;

TEST(RadarMath, OneTurnEveryFourSecondsAlsoAtUnixTimes)
{
    for (double t : {0.3, 17.0, 1.7e9 + 0.25})
        EXPECT_NEAR(radar::sweepPhase(t), radar::sweepPhase(t + 4), 1e-5) << t;
    EXPECT_GE(radar::sweepPhase(-1), 0);
}

// Phases of 10^8 radians and more (the wall clock times a rate) have their whole turns
// taken off before the sine: what is left must be the same angle, to within rounding.
TEST(RadarMath, PulsesAtUnixTimesAsTheirSines)
{
    for (double t : {0.5, 3.3e7, 1.7e9 + 0.25, 1.8e9 + 12.345, 2.9e9 + 0.7, 5e9 + 0.1}) {
        EXPECT_NEAR(radar::centrePulse(t), 0.7 + 0.3 * std::sin(2 * t), 1e-12) << t;
        for (int i = 0; i < 8; ++i)
            EXPECT_NEAR(radar::blipPulse(i, t), 0.55 + 0.45 * std::sin(4 * t + i), 1e-12) << t << ", blip " << i;
    }
}

TEST(RadarMath, BlipsAreCappedAtEightAndUnnamedOnesNumbered)
{
    EXPECT_EQ(radar::blipCount(-3), 0);
    EXPECT_EQ(radar::blipCount(5), 5);
    EXPECT_EQ(radar::blipCount(12), 8);
    EXPECT_EQ(radar::blipLabel(0, {"X"}), "X");
    EXPECT_EQ(radar::blipLabel(2, {"X"}), "TGT-3");
    EXPECT_EQ(radar::frameCode(NAN), "0");
}

namespace {
QImage renderAt(RadarView &r, double t)
{
    FrameClock::freeze(t);
    QImage img(r.size(), QImage::Format_ARGB32_Premultiplied);
    img.fill(pal::panelBase);
    r.render(&img, QPoint(), QRegion(), QWidget::DrawChildren);
    FrameClock::freeze(std::nullopt);
    return img;
}

bool reddish(const QColor &c) { return c.red() > 120 && c.red() > 2 * c.green() && c.red() > 2 * c.blue(); }
bool greenish(const QColor &c) { return c.green() > 100 && c.green() > 1.5 * c.red(); }
} // namespace

TEST(RadarView, BlipsCentreAndReadoutsFollowInputs)
{
    RadarView radar(3, 220, true, {"X"});
    radar.resize(radar.sizeHint());
    // t = 1 (mod 4): the sweep points up, away from blip 0 on the right.
    const QImage img = renderAt(radar, 4001);
    const QPointF c(110, 110);
    const QPointF b0 = c + radar::blipOffset(0, 220);
    EXPECT_TRUE(reddish(img.pixelColor(b0.toPoint()))) << img.pixelColor(b0.toPoint()).name().toStdString();
    EXPECT_TRUE(greenish(img.pixelColor(c.toPoint())));
    EXPECT_EQ(radar.readouts(4001)[1], (QStringList{"TGT", "03"}));
    img.save(QStringLiteral(TSAV_RENDER_DIR "/radar-active.png"));

    RadarView offline(0, 220, false, {});
    offline.resize(offline.sizeHint());
    const QImage dim = renderAt(offline, 4001);
    EXPECT_FALSE(reddish(dim.pixelColor(b0.toPoint())));
    EXPECT_FALSE(greenish(dim.pixelColor(c.toPoint())));
    EXPECT_EQ(offline.readouts(4001)[3], (QStringList{"OFFLINE", "----"}));
    dim.save(QStringLiteral(TSAV_RENDER_DIR "/radar-offline.png"));
}

// The trail comes from a map of each pixel's angle made for one size: a scope that
// changes size (or sits off-centre in a larger widget) must still trail its own sweep,
// at every quarter of the turn, including across the angle map's wrap at +x. Each frame
// of the resized scope, composed over the ones before, is the frame a new scope shows.
TEST(RadarView, TrailFollowsTheSweepAfterAResizeAndAroundTheTurn)
{
    RadarView radar(0, 220, true, {});
    radar.resize(radar.sizeHint());
    (void)renderAt(radar, 4001);
    radar.setScopeSize(160);
    radar.resize(200, 180); // the scope is centred in a wider widget
    const QPointF c = QPointF(std::floor((200 - 160) / 2.0), std::floor((180 - 160) / 2.0)) + QPointF(80, 80);
    for (double t : {4000.0, 4001.0, 4002.0, 4003.0, 4003.9}) {
        const QImage img = renderAt(radar, t);
        const double phi = radar::sweepAngle(t);
        const double r = 45;
        const QPointF inTrail = c + r * QPointF(std::cos(phi - 0.3), std::sin(phi - 0.3));
        const QPointF ahead = c + r * QPointF(std::cos(phi + 0.3), std::sin(phi + 0.3));
        EXPECT_GT(img.pixelColor(inTrail.toPoint()).red(), img.pixelColor(ahead.toPoint()).red() + 25) << "t " << t;
        RadarView fresh(0, 160, true, {});
        fresh.resize(200, 180);
        EXPECT_TRUE(renderAt(fresh, t) == img) << "t " << t;
    }
}
