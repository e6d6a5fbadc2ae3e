#include "kit/frameclock.h"
#include "kit/instruments/effects.h"
#include "kit/instruments/gaugemath.h"
#include "kit/instruments/gaugeview.h"
#include "kit/instruments/lineargauge.h"
#include "kit/instruments/spring.h"
#include "kit/palette.h"

#include <QImage>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>

using namespace tsav;
namespace pal = tsav::palette;

namespace {
const gauge::Zones loadZones{{0, pal::accentGreen}, {0.55, pal::accentAmber}, {0.82, pal::accentRed}};
} // namespace

TEST(GaugeMath, FractionClampsAndGuardsMax)
{
    EXPECT_DOUBLE_EQ(gauge::fraction(50, 100), 0.5);
    EXPECT_DOUBLE_EQ(gauge::fraction(150, 100), 1.0);
    EXPECT_DOUBLE_EQ(gauge::fraction(-5, 100), 0.0);
    EXPECT_DOUBLE_EQ(gauge::fraction(5, 0), 0.0);
    EXPECT_DOUBLE_EQ(gauge::fraction(5, -1), 0.0);
    EXPECT_DOUBLE_EQ(gauge::fraction(NAN, 100), 0.0);
    EXPECT_DOUBLE_EQ(gauge::fraction(5, NAN), 0.0);
}

TEST(GaugeMath, ZoneColourPicksLastThresholdReached)
{
    EXPECT_EQ(gauge::zoneColor({}, 0.9, false), pal::accentGreen);
    EXPECT_EQ(gauge::zoneColor(loadZones, 0.54, false), pal::accentGreen);
    EXPECT_EQ(gauge::zoneColor(loadZones, 0.55, false), pal::accentAmber);
    EXPECT_EQ(gauge::zoneColor(loadZones, 0.819, false), pal::accentAmber);
    EXPECT_EQ(gauge::zoneColor(loadZones, 0.82, false), pal::accentRed);
    // Reversed: read from the other end.
    EXPECT_EQ(gauge::zoneColor(loadZones, 0.9, true), pal::accentGreen);
    EXPECT_EQ(gauge::zoneColor(loadZones, 0.1, true), pal::accentRed);
}

TEST(GaugeMath, FormatsThatWouldReadAnotherArgumentAreRefused)
{
    const QString centre = "OK";
    EXPECT_EQ(gauge::readout(12, "%.1f", &centre), "OK");
    EXPECT_EQ(gauge::barReadout(7, "%.0f", ""), "7");
    EXPECT_EQ(gauge::formatNumber("%s", 3.4), "3");
    EXPECT_EQ(gauge::formatNumber("%.1f%n", 3.4), "3");
    EXPECT_EQ(gauge::formatNumber("%.1f %.1f", 3.4), "3");
    EXPECT_EQ(gauge::formatNumber("%.1f %%", 3.4), "3.4 %");
    EXPECT_EQ(gauge::formatNumber("%.1f", 250.0), "250.0");
    EXPECT_EQ(gauge::formatNumber("%+0000003.2e", 1.5), "+1.50e+00");
    EXPECT_EQ(gauge::formatNumber("%+000000003.2e", 1.5), "2");
    EXPECT_EQ(gauge::formatNumber("%1234f", 1.5), "2");
    EXPECT_EQ(gauge::formatNumber("%-- -+f", 1.5), "+1.500000");
    EXPECT_EQ(gauge::formatNumber("%-- -+-f", 1.5), "2");
    EXPECT_EQ(gauge::formatNumber("%.1", 1.5), "2");
    EXPECT_EQ(gauge::formatNumber(QChar(0xd800) + QStringLiteral("%.1f"), 1.5).right(3), "1.5");
}

// The check is read by hand; it must take exactly the formats this pattern describes.
// Every string of up to six characters over the characters that matter is tried.
TEST(GaugeMath, FormatCheckTakesExactlyOneFloatConversion)
{
    static const QRegularExpression one(
        QStringLiteral("^(?:[^%]|%%)*%[-+ #0]{0,5}\\d{0,3}(?:\\.\\d{0,3})?[fFeEgG](?:[^%]|%%)*$"));
    const QString alphabet = QStringLiteral("%-0 5.fgs");
    QString format;
    int checked = 0, taken = 0;
    std::function<void(int)> each = [&](int left) {
        if (::testing::Test::HasFatalFailure())
            return; // one mismatch is enough to read
        const bool ok = one.match(format).hasMatch();
        QByteArray expected(512, '\0');
        std::snprintf(expected.data(), expected.size(), ok ? format.toUtf8().constData() : "%.0f", 2.25);
        ASSERT_EQ(gauge::formatNumber(format, 2.25), QString::fromUtf8(expected.constData())) << qPrintable(format);
        ++checked;
        taken += ok;
        if (left == 0)
            return;
        for (const QChar c : alphabet) {
            format.append(c);
            each(left - 1);
            format.chop(1);
        }
    };
    each(6);
    EXPECT_GT(checked, 500000);
    EXPECT_GT(taken, 1000);
}

TEST(Spring, SettlesAtTargetAndStaysContinuousWhenRetargeted)
{
    Spring s({0.55, 0.78}, 0);
    s.snapTo(0.2);
    EXPECT_DOUBLE_EQ(s.value(5), 0.2);
    s.retarget(0.8, 10);
    EXPECT_NEAR(s.value(10), 0.2, 1e-12);
    const double mid = s.value(10.2);
    EXPECT_GT(mid, 0.2);
    EXPECT_LT(mid, 0.9);
    // Underdamped: overshoots a little, then settles.
    double peak = 0;
    for (double t = 10; t < 12; t += 0.01)
        peak = std::max(peak, s.value(t));
    EXPECT_GT(peak, 0.8);
    EXPECT_LT(peak, 0.85);
    EXPECT_TRUE(s.settled(14));
    EXPECT_NEAR(s.value(14), 0.8, 1e-4);

    // Retargeting mid-flight keeps position and velocity.
    Spring a({0.45, 0.8}, 0);
    a.retarget(1, 0);
    const double x = a.value(0.1), v = a.velocity(0.1);
    a.retarget(0, 0.1);
    EXPECT_NEAR(a.value(0.1), x, 1e-12);
    EXPECT_NEAR(a.velocity(0.1), v, 1e-9);
}

// --- views ----------------------------------------------------------------------------

namespace {
QImage render(QWidget &w)
{
    QImage img(w.size(), QImage::Format_ARGB32_Premultiplied);
    img.fill(pal::panelBase);
    w.render(&img, QPoint(), QRegion(), QWidget::DrawChildren);
    return img;
}

int countNear(const QImage &img, const QColor &c, int tol = 40)
{
    int n = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const QColor p = img.pixelColor(x, y);
            if (std::abs(p.red() - c.red()) + std::abs(p.green() - c.green()) + std::abs(p.blue() - c.blue()) < tol)
                ++n;
        }
    return n;
}

struct FrozenClock {
    explicit FrozenClock(double t) { FrameClock::freeze(t); }
    ~FrozenClock() { FrameClock::freeze(std::nullopt); }
};
} // namespace

TEST(GaugeView, DrawsItsArcInTheZoneColourWithOrWithoutEffects)
{
    FrozenClock clock(1000);
    GaugeView hot(GaugeSpec{"System CPU", 90, 100, "%", "%.1f", std::nullopt, loadZones, false});
    hot.resize(hot.sizeHint());
    EXPECT_EQ(hot.readoutText(), "90.0");
    const QImage red = render(hot);
    EXPECT_GT(countNear(red, pal::accentRed), 150);
    EXPECT_EQ(countNear(red, pal::accentAmber, 20), 0);

    effects::setEnabled(effects::scanlineName, false);
    effects::setEnabled(effects::bloomName, false);
    GaugeView g(GaugeSpec{"Disk", 70, 100, "%", "%.1f", std::nullopt, loadZones, false});
    g.resize(g.sizeHint());
    const QImage img = render(g);
    effects::setEnabled(effects::scanlineName, true);
    effects::setEnabled(effects::bloomName, true);
    EXPECT_GT(countNear(img, pal::accentAmber), 150);
}

TEST(GaugeView, FrameKeyStillForTinyValuesAndMovesAboveThreshold)
{
    effects::setEnabled(effects::scanlineName, false); // isolate the ticks
    GaugeView still(GaugeSpec{"A", 0.01, 100, "", "%.2f", std::nullopt, {}, false});
    GaugeView turning(GaugeSpec{"B", 0.011, 100, "", "%.3f", std::nullopt, {}, false});
    still.resize(still.sizeHint());
    turning.resize(turning.sizeHint());
    // 0.15 rad/s at a 69-point rim is about 10 pixels a second.
    EXPECT_EQ(still.frameKey(100), still.frameKey(101));
    EXPECT_NE(turning.frameKey(100), turning.frameKey(101));
    // ...but not every 60th of a second.
    int changes = 0;
    for (int i = 0; i < 60; ++i)
        changes += turning.frameKey(100 + i / 60.0) != turning.frameKey(100 + (i + 1) / 60.0);
    EXPECT_GE(changes, 8);
    EXPECT_LE(changes, 12);
    effects::setEnabled(effects::scanlineName, true);
}

// A snapshot freezes the clock and renders once: a value set under a frozen clock must
// show its end state (spring at the target, digits rolled), not the motion's first frame.
TEST(GaugeView, FrozenClockShowsSettledValue)
{
    FrozenClock clock(1000);
    GaugeView set(GaugeSpec{"System CPU", 0, 100, "%", "%.0f", std::nullopt, loadZones, false});
    GaugeView direct(GaugeSpec{"System CPU", 75, 100, "%", "%.0f", std::nullopt, loadZones, false});
    set.resize(set.sizeHint());
    direct.resize(direct.sizeHint());
    (void)render(set); // caches built at 0, as on a dashboard before its first reply
    set.setValue(75);
    EXPECT_EQ(set.readoutText(), "75");

    EXPECT_EQ(render(set), render(direct));
    // Frame after frame, as the ticks turn, the dial shows what a new one would.
    for (double t = 1000.1; t < 1001; t += 0.1) {
        FrameClock::freeze(t);
        GaugeView fresh(direct.spec());
        fresh.resize(fresh.sizeHint());
        EXPECT_EQ(render(set), render(fresh)) << "at " << t;
    }
}

// A new value on a running clock: the arc springs to it and the read-out rolls, for most
// of a second. Only the first part moves faster than a step per 30th of a second; after
// it the dial is at rest for the clock (it takes the frames every instrument at rest
// shares) while its arc still creeps.
TEST(GaugeView, RunningClockAnimatesValueChanges)
{
    struct Dial : GaugeView {
        using GaugeView::GaugeView;
        using GaugeView::inMotion;
    };
    Dial g(GaugeSpec{"System CPU", 20, 100, "%", "%.0f", std::nullopt, loadZones, false});
    GaugeView direct(GaugeSpec{"System CPU", 50, 100, "%", "%.0f", std::nullopt, loadZones, false});
    g.resize(g.sizeHint());
    direct.resize(direct.sizeHint());
    // Read before the change, so that a stalled machine cannot let the spring settle
    // between the change and the reading.
    const double t = FrameClock::now();
    g.setValue(50);
    // At the change the arc is still at the old value; a few seconds on it has arrived.
    EXPECT_NE(g.frameKey(t), direct.frameKey(t));
    EXPECT_EQ(g.frameKey(t + 5), direct.frameKey(t + 5));

    double lastMotion = -1;
    for (double dt = 0; dt < 2; dt += 1.0 / 60)
        if (g.inMotion(t + dt))
            lastMotion = dt;
    EXPECT_GT(lastMotion, 0.1); // the spring's and the roll's fast part
    EXPECT_LT(lastMotion, 0.6); // where it settles only after 0.8 s
    // Past the fast part the arc has not arrived yet: the frames at rest show it creep.
    int creeping = 0;
    for (double dt = lastMotion + 1.0 / 60; dt < 2; dt += 1.0 / 30)
        creeping += g.frameKey(t + dt) != direct.frameKey(t + dt);
    EXPECT_GT(creeping, 2);
    EXPECT_EQ(g.frameKey(t + 2), direct.frameKey(t + 2));
}

TEST(LinearGauge, FrozenClockShowsTheSettledFill)
{
    FrozenClock clock(500);
    LinearGauge set(LinearGaugeSpec{"Agent RAM", 0, 1024, "MB", "%.0f", pal::accentBlue});
    LinearGauge direct(LinearGaugeSpec{"Agent RAM", 512, 1024, "MB", "%.0f", pal::accentBlue});
    set.resize(200, set.sizeHint().height());
    direct.resize(200, direct.sizeHint().height());
    (void)render(set);
    set.setValue(512);
    EXPECT_EQ(set.readoutText(), "512 MB");
    const QImage img = render(set);
    EXPECT_EQ(img, render(direct));
    // Filled to half the width: blue at a quarter, background at three quarters.
    const int y = int(set.barRect().center().y());
    EXPECT_GT(img.pixelColor(90, y).blue(), 150);
    EXPECT_LT(img.pixelColor(160, y).blue(), 120);
}

TEST(RollingText, RollsOnlyWhenAsked)
{
    RollingText text;
    text.set("10", 100);
    EXPECT_FALSE(text.rolling(100)); // the first text shows at once
    text.set("11", 100);
    EXPECT_TRUE(text.rolling(100.1));
    EXPECT_FALSE(text.rolling(100 + RollingText::duration));
    text.set("12", 200, false);
    EXPECT_FALSE(text.rolling(200)); // set mid-roll without rolling: no leftover roll
    EXPECT_EQ(text.text(), "12");
}
