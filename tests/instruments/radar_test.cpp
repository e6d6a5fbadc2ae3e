#include "kit/frameclock.h"
#include "kit/instruments/radarmath.h"
#include "kit/instruments/radarview.h"
#include "kit/palette.h"

#include <QImage>
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using namespace tsav;
namespace pal = tsav::palette;
constexpr double pi = std::numbers::pi;

TEST(RadarMath, SweepAndBearing)
{
    EXPECT_EQ(radar::bearing(pi / 2), 270);
    EXPECT_EQ(radar::bearing(0), 0);
    EXPECT_EQ(radar::bearing(pi), 180);
    EXPECT_EQ(radar::bearing(3 * pi / 2), 90);
    // θ = π/2 at t = 1: the line points straight up on screen.
    EXPECT_NEAR(radar::sweepPhase(1), pi / 2, 1e-12);
    EXPECT_NEAR(radar::sweepAngle(1), -pi / 2, 1e-12);
    EXPECT_EQ(radar::bearing(radar::sweepPhase(1)), 270);
    // One turn every 4 seconds, also at large (Unix) times.
    for (double t : {0.3, 17.0, 1.7e9 + 0.25})
        EXPECT_NEAR(radar::sweepPhase(t), radar::sweepPhase(t + 4), 1e-5) << t;
    EXPECT_GE(radar::sweepPhase(-1), 0);
}

TEST(RadarMath, BlipsCountPlacementAndLabels)
{
    EXPECT_EQ(radar::blipCount(-3), 0);
    EXPECT_EQ(radar::blipCount(0), 0);
    EXPECT_EQ(radar::blipCount(5), 5);
    EXPECT_EQ(radar::blipCount(12), 8);

    const double s = 220, unit = s / 2 - 22;
    EXPECT_DOUBLE_EQ(radar::blipAngle(0), 0);
    EXPECT_NEAR(radar::blipDistance(0, s), 0.3 * unit, 1e-12);
    const QPointF b0 = radar::blipOffset(0, s);
    EXPECT_NEAR(b0.x(), 0.3 * unit, 1e-12);
    EXPECT_NEAR(b0.y(), 0, 1e-12);
    EXPECT_NEAR(radar::blipAngle(3), 2.91, 1e-12);
    EXPECT_NEAR(radar::blipDistance(3, s), 0.3 * unit, 1e-12);
    EXPECT_NEAR(radar::blipAngle(1), 1.57, 1e-12);
    EXPECT_NEAR(radar::blipDistance(1, s), 0.52 * unit, 1e-12);
    EXPECT_NEAR(radar::blipDistance(2, s), 0.74 * unit, 1e-12);

    const QStringList one{"X"};
    EXPECT_EQ(radar::blipLabel(0, one), "X");
    EXPECT_EQ(radar::blipLabel(1, one), "TGT-2");
    EXPECT_EQ(radar::blipLabel(2, one), "TGT-3");
    EXPECT_EQ(radar::blipLabel(0, {}), "TGT-1");

    for (double t = 0; t < 4; t += 0.05) {
        const double p = radar::blipPulse(2, t);
        EXPECT_GE(p, 0.1 - 1e-12);
        EXPECT_LE(p, 1.0 + 1e-12);
    }
}

TEST(RadarMath, FrameCode)
{
    EXPECT_EQ(radar::frameCode(0), "0");
    EXPECT_EQ(radar::frameCode(2.5), "FA");
    EXPECT_EQ(radar::frameCode(2.5078125), "FA"); // 250.78 truncated
    EXPECT_EQ(radar::frameCode(655.25), "FFF5");
    EXPECT_EQ(radar::frameCode(655.5), "F"); // 65550 mod 65535
    const double t = 1700000000.123;
    const long long code = static_cast<long long>(std::trunc(t * 100)) % 65535;
    EXPECT_EQ(radar::frameCode(t), QString::number(code, 16).toUpper());
    EXPECT_EQ(radar::frameCode(NAN), "0");
}

TEST(RadarMath, RipplesGrowAndFade)
{
    const double r6 = 104;
    const radar::Ripple a = radar::ripple(0, 0, r6);
    EXPECT_DOUBLE_EQ(a.radius, 0);
    EXPECT_DOUBLE_EQ(a.opacity, 0.35);
    const radar::Ripple b = radar::ripple(1, 0, r6);
    EXPECT_NEAR(b.radius, r6 / 3, 1e-12);
    EXPECT_NEAR(b.opacity, 0.35 * 2 / 3, 1e-12);
    const radar::Ripple c = radar::ripple(2, 0.5, r6);
    EXPECT_NEAR(c.radius, r6 * 2.5 / 3, 1e-12);
    // Period of three seconds; a new ring every second.
    EXPECT_NEAR(radar::ripple(0, 7.25, r6).radius, radar::ripple(0, 1.25, r6).radius, 1e-9);
    EXPECT_NEAR(radar::ripple(1, 0.25, r6).radius, radar::ripple(0, 1.25, r6).radius, 1e-9);
}

TEST(RadarMath, LockOnReticleIsFourOpenBrackets)
{
    const QPainterPath path = radar::lockOnReticle(QRectF(10, 20, 24, 24));
    const double a = 0.32 * 24;
    ASSERT_EQ(path.elementCount(), 12);
    const QList<QPointF> expected{
        {10, 20 + a}, {10, 20}, {10 + a, 20},         // top left
        {34 - a, 20}, {34, 20}, {34, 20 + a},         // top right
        {34, 44 - a}, {34, 44}, {34 - a, 44},         // bottom right
        {10 + a, 44}, {10, 44}, {10, 44 - a},         // bottom left
    };
    for (int i = 0; i < 12; ++i) {
        const auto e = path.elementAt(i);
        EXPECT_EQ(e.isMoveTo(), i % 3 == 0) << i;
        EXPECT_NEAR(e.x, expected[i].x(), 1e-9) << i;
        EXPECT_NEAR(e.y, expected[i].y(), 1e-9) << i;
    }
}

TEST(RadarMath, TrailSparksAndStarsStayInRange)
{
    EXPECT_DOUBLE_EQ(radar::trailOpacity(0), 0.4);
    EXPECT_DOUBLE_EQ(radar::trailOpacity(1), 0);
    EXPECT_NEAR(radar::trailOpacity(0.5), 0.4 * std::pow(0.5, 2.4), 1e-12);
    for (int j = 0; j < 18; ++j) {
        const radar::Spark sp = radar::spark(j);
        EXPECT_GE(sp.distanceFraction, 0.3);
        EXPECT_LE(sp.distanceFraction, 1.0);
        EXPECT_GE(sp.radius, 1.0);
        EXPECT_LE(sp.radius, 2.8);
        EXPECT_GE(sp.opacity, 0);
        EXPECT_LE(sp.opacity, 0.55);
    }
    const double s = 220;
    for (int j = 0; j < 70; ++j)
        for (double t : {0.0, 13.7, 1.7e9}) {
            const radar::Star st = radar::star(j, s, t);
            EXPECT_LE(std::hypot(st.offset.x(), st.offset.y()), 0.45 * s + 1e-9);
            EXPECT_GE(st.opacity, 0.1 - 1e-12);
            EXPECT_LE(st.opacity, 0.5 + 1e-12);
            EXPECT_GE(st.radius, 0.6 - 1e-12);
            EXPECT_LE(st.radius, 2.0 + 1e-12);
        }
    EXPECT_NEAR(radar::centrePulse(0), 0.7, 1e-12);
}

TEST(RadarMath, CornerReadouts)
{
    EXPECT_EQ(radar::topLeftReadout(), (QStringList{"RNG", "12km"}));
    EXPECT_EQ(radar::topRightReadout(0), (QStringList{"TGT", "00"}));
    EXPECT_EQ(radar::topRightReadout(12), (QStringList{"TGT", "12"}));
    EXPECT_EQ(radar::bottomLeftReadout(270), (QStringList{"BRG", "270°"}));
    EXPECT_EQ(radar::bottomLeftReadout(0), (QStringList{"BRG", "000°"}));
    EXPECT_EQ(radar::bottomRightReadout(false, 5), (QStringList{"OFFLINE", "----"}));
    EXPECT_EQ(radar::bottomRightReadout(true, 2.5), (QStringList{"ACTIVE", "FA"}));
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
    const auto ro = radar.readouts(4001);
    EXPECT_EQ(ro[1], (QStringList{"TGT", "03"}));
    EXPECT_EQ(ro[2], (QStringList{"BRG", "270°"}));
    EXPECT_EQ(ro[3][0], "ACTIVE");
    img.save(QStringLiteral(TSAV_RENDER_DIR "/radar-active.png"));

    RadarView offline(0, 220, false, {});
    offline.resize(offline.sizeHint());
    const QImage dim = renderAt(offline, 4001);
    EXPECT_FALSE(reddish(dim.pixelColor(b0.toPoint())));
    EXPECT_FALSE(greenish(dim.pixelColor(c.toPoint())));
    EXPECT_EQ(offline.readouts(4001)[3], (QStringList{"OFFLINE", "----"}));
    dim.save(QStringLiteral(TSAV_RENDER_DIR "/radar-offline.png"));
}

TEST(RadarView, TrailFollowsTheSweep)
{
    RadarView radar(0, 220, true, {});
    radar.resize(radar.sizeHint());
    // Sweep pointing up (t = 1): the trail spans 2.6 rad at angles below -π/2, i.e.
    // towards the left; the right-hand side mirrors it without trail.
    const QImage img = renderAt(radar, 4001);
    const QPointF c(110, 110);
    const double a = -pi / 2 - 0.3, r = 60;
    const QPointF inTrail = c + r * QPointF(std::cos(a), std::sin(a));
    const QPointF mirror = c + r * QPointF(std::cos(-pi / 2 + 0.3), std::sin(-pi / 2 + 0.3));
    EXPECT_GT(img.pixelColor(inTrail.toPoint()).red(), img.pixelColor(mirror.toPoint()).red() + 25);
}

// The trail comes from a map of each pixel's angle made for one size: a scope that
// changes size (or sits off-centre in a larger widget) must still trail its own sweep,
// at every quarter of the turn, including across the angle map's wrap at +x.
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
    }
}
