// The kit's views rendered offscreen: the panel's breathing border repaints only its ring,
// the pill button's feedback order.
#include "alerts/soundplayer.h"
#include "kit/frameclock.h"
#include "kit/poolpaint.h"
#include "kit/tspanel.h"
#include "kit/tspillbutton.h"
#include "kit/tsstat.h"
#include "kit/palette.h"
#include "platform/fakes.h"

#include <QPainter>
#include <QPointer>
#include <QPainterPath>
#include <QScreen>
#include <QThreadPool>
#include <QTest>

#include <gtest/gtest.h>

#include "../widgetsupport.h"

#include <cmath>
#include <numeric>

using namespace tsav;
using test::waitFor;

namespace {

// Counts its own paints: the panel's content.
class PaintCounter : public QWidget {
public:
    int paints = 0;
    QSize sizeHint() const override { return {200, 120}; }

protected:
    void paintEvent(QPaintEvent *) override { ++paints; }
};

// Counts the paint events another widget receives.
struct PaintSpy : QObject {
    int paints = 0;
    explicit PaintSpy(QWidget *w) { w->installEventFilter(this); }
    bool eventFilter(QObject *, QEvent *e) override
    {
        if (e->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

// Sound and haptic services that write into one shared log, so order is visible.
struct OrderLog {
    QStringList entries;
};
class LoggingSounds : public SoundBackend {
public:
    explicit LoggingSounds(OrderLog &log) : m_log(log) {}
    bool load(SoundKind) override { return true; }
    void play(SoundKind k) override { m_log.entries << QStringLiteral("sound:%1").arg(int(k)); }

private:
    OrderLog &m_log;
};
class LoggingHaptics : public HapticPerformer {
public:
    explicit LoggingHaptics(OrderLog &log) : m_log(log) {}
    void perform(HapticPattern p) override { m_log.entries << QStringLiteral("haptic:%1").arg(int(p)); }

private:
    OrderLog &m_log;
};

class PillButtonTest : public ::testing::Test {
protected:
    void SetUp() override { SoundPlayer::installShared(&player); }
    void TearDown() override { SoundPlayer::installShared(nullptr); }

    OrderLog log;
    LoggingSounds sounds{log};
    LoggingHaptics haptics{log};
    MemoryPreferences prefs;
    SoundPlayer player{&sounds, &haptics, &prefs};
};

QString sound(SoundKind k) { return QStringLiteral("sound:%1").arg(int(k)); }
const QString levelChange = QStringLiteral("haptic:%1").arg(int(HapticPattern::levelChange));

} // namespace

TEST(PanelBorder, AlphaBreathesBetweenTheBoundsWithItsPeriod)
{
    double lo = 1, hi = 0;
    for (double t = 0; t < 20; t += 0.01) {
        lo = std::min(lo, TSPanel::borderAlpha(t));
        hi = std::max(hi, TSPanel::borderAlpha(t));
    }
    EXPECT_NEAR(lo, 0.18, 1e-4);
    EXPECT_NEAR(hi, 0.33, 1e-4);
    const double period = 2 * M_PI / 0.4;
    EXPECT_NEAR(TSPanel::borderAlpha(3.0), TSPanel::borderAlpha(3.0 + period), 1e-12);
    // At its fastest the breathing moves less than one 8-bit level per 1/30 s.
    double steepest = 0;
    for (double t = 0; t < period; t += 0.001)
        steepest = std::max(steepest, std::abs(TSPanel::borderAlpha(t + 1.0 / 30) - TSPanel::borderAlpha(t)));
    EXPECT_LT(steepest * 255, 1.0);
}

TEST(PanelBorder, NextChangeIsTheFirstMomentTheColourLevelMoves)
{
    // Across two breaths, from many starting times: the level holds until the time given
    // and is another one from then on, so a ring woken then never misses a step.
    const double period = 2 * M_PI / 0.4;
    for (double t = 0.013; t < 2 * period; t += 0.37) {
        const double next = TSPanel::nextBorderChange(t);
        ASSERT_GT(next, t);
        const int level = TSPanel::borderLevel(t);
        for (double u = t; u < next - 1e-3; u += (next - t) / 50)
            ASSERT_EQ(TSPanel::borderLevel(u), level) << "t=" << t << " u=" << u;
        EXPECT_NE(TSPanel::borderLevel(next), level) << "t=" << t;
    }
}

TEST(PanelBorder, RepaintsTheRingOnlyWhenItsLevelChangesAndNeverTheContent)
{
    FrameClock::freeze(0);
    QWidget window;
    window.resize(400, 300);
    auto *panel = new TSPanel(&window);
    auto *content = new PaintCounter;
    panel->addWidget(content);
    panel->setGeometry(20, 20, 300, 200);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    ASSERT_TRUE(waitFor([&] { return content->paints > 0; }));
    QTest::qWait(200);
    const int contentPaints = content->paints;

    // The clock stands still: the border's level does not change, nothing repaints.
    QTest::qWait(300);
    EXPECT_EQ(content->paints, contentPaints);

    // A new time with another level: the ring repaints, the content does not.
    QWidget *ringWidget = nullptr;
    for (QWidget *w : panel->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
        if (w->testAttribute(Qt::WA_TransparentForMouseEvents))
            ringWidget = w;
    ASSERT_NE(ringWidget, nullptr);
    PaintSpy ring{ringWidget};
    FrameClock::freeze(4.0);
    ASSERT_TRUE(waitFor([&] { return ring.paints > 0; }));
    QTest::qWait(200);
    EXPECT_EQ(content->paints, contentPaints);
    // The ring sits above content added later, too.
    auto *late = new PaintCounter;
    panel->addWidget(late);
    QTest::qWait(50);
    EXPECT_GT(panel->children().indexOf(ringWidget), panel->children().indexOf(late));
    FrameClock::freeze(std::nullopt);
}

// A stat's changed digits roll for 0.9 s, but only the first quarter second moves them by
// a pixel or more per 30th of a second: that part gets every frame of a 60 Hz clock, the
// rest every other one, the frames views at rest share. Then the stat stops asking, and
// being set to what it already shows repaints nothing.
TEST(TSStat, RepaintsOnlyWhatItsRollAndItsChangesShow)
{
    test::SteppedClock stepped;
    FrameClock::freeze(100);
    QWidget window;
    auto *stat = new TSStat("THREATS", &window);
    stat->setValue("3", palette::accentRed, 3);
    stat->resize(stat->sizeHint());
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    PaintSpy spy{stat};
    int &paints = spy.paints;
    stat->setValue("4", palette::accentRed, 4);
    std::vector<int> perStep; // paints at each 60th of a second
    for (int i = 1; i <= 72; ++i) {
        const int before = paints;
        test::SteppedClock::to(100 + i / 60.0);
        perStep.push_back(paints - before);
    }
    const auto paintsIn = [&](int from, int to) {
        return std::accumulate(perStep.begin() + from, perStep.begin() + to, 0);
    };
    EXPECT_EQ(paintsIn(0, 10), 10);             // the first sixth of a second: every step
    EXPECT_LE(std::abs(paintsIn(24, 48) - 12), 1); // 0.4-0.8 s: every other step
    EXPECT_EQ(paintsIn(60, 72), 0);             // settled and unsubscribed

    // Every reply of a poll sets the stat again, mostly to what it shows: no repaint.
    const int settled = paints;
    stat->setValue("4", palette::accentRed, 4);
    test::SteppedClock::to(102);
    EXPECT_EQ(paints, settled);
    stat->setValue("4", palette::accentAmber, 4); // a new colour does repaint
    test::SteppedClock::to(102.1);
    EXPECT_GT(paints, settled);
    FrameClock::freeze(std::nullopt);
}

// Fills painted from a thread of Qt's pool land on the same pixels as the same fills
// painted by the widget's own painter: at whole and fractional scales, through a clip that
// is not a rectangle, and for a panel's shapes (an antialiased rounded fill, a vertical
// gradient, a hairline stroke) as tall as Qt cuts into pieces.
TEST(PoolPaint, FillsLandOnTheSamePixelsAsFromTheWidgetsOwnPainter)
{
    struct Fills : QWidget {
        bool fromPool = false;
        bool paintedFromPool = false;
        void paintEvent(QPaintEvent *) override
        {
            QPainter p(this);
            const QRectF r = QRectF(rect()).adjusted(7.5, 5.5, -9.5, -6.5);
            QPainterPath shape;
            shape.addRoundedRect(r, 14, 14);
            QLinearGradient sheen(r.topLeft(), QPointF(r.left(), r.center().y()));
            sheen.setColorAt(0, QColor(255, 255, 255, 90));
            sheen.setColorAt(1, QColor(255, 255, 255, 0));
            const auto fills = [&](QPainter &q) {
                q.setRenderHint(QPainter::Antialiasing);
                q.fillPath(shape, QColor(22, 28, 44));
                q.fillPath(shape, sheen);
                q.setPen(QPen(QColor(0, 0, 0, 64), 1));
                q.drawPath(shape);
            };
            if (fromPool)
                paintedFromPool = paintFromPool(p, fills);
            else
                fills(p);
        }
    };
    Fills fills;
    fills.resize(371, 233);
    QRegion clip(fills.rect());
    clip -= QRegion(QRect(120, 90, 150, 80)); // a hole: not a rectangle
    auto renderAt = [&](qreal dpr, bool fromPool) {
        fills.fromPool = fromPool;
        QImage image((QSizeF(fills.size()) * dpr).toSize(), QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(dpr);
        image.fill(QColor(30, 40, 60));
        fills.render(&image, QPoint(), clip);
        return image;
    };
    for (const qreal dpr : {1.0, 1.25, 1.5, 2.0}) {
        const QImage own = renderAt(dpr, false);
        // The pool's threads still count as busy for a moment after the pieces of the
        // fills just painted; a pool with none left has one free at once.
        QThreadPool::globalInstance()->waitForDone();
        const QImage pooled = renderAt(dpr, true);
        EXPECT_TRUE(fills.paintedFromPool) << "at " << dpr;
        EXPECT_EQ(test::differingPixels(own, pooled), 0) << "at " << dpr;
        EXPECT_NE(pooled.pixel(QPoint(30, 200) * dpr), qRgb(30, 40, 60)) << "the fills were painted";
        EXPECT_EQ(pooled.pixel(QPoint(190, 120) * dpr), qRgb(30, 40, 60)) << "the hole was kept";
    }
}

// Each breathing level is stroked once and put back from its pixels when it comes round
// again. Put back over a strip that something else was drawn over (a widget covering the
// panel, then hidden), the strip is whole again: the window shows what a fresh paint does.
TEST(PanelBorder, ALevelPutBackFromItsPixelsRepairsWhatWasDrawnOverTheRing)
{
    struct Window : QWidget {
        Window()
        {
            setAttribute(Qt::WA_OpaquePaintEvent);
            resize(360, 260);
            auto *panel = new TSPanel(this);
            panel->addWidget(new QWidget);
            panel->setGeometry(20, 20, 300, 200);
        }
        void paintEvent(QPaintEvent *) override { QPainter(this).fillRect(rect(), QColor(30, 40, 60)); }
    };
    // Two times a level apart, found from the breathing itself, and the same two levels a
    // breath later (the clock only goes forward).
    const double breath = 2 * M_PI / 0.4;
    const double t0 = 3.0, t1 = TSPanel::nextBorderChange(t0) + 0.01;
    ASSERT_NE(TSPanel::borderLevel(t0), TSPanel::borderLevel(t1));
    ASSERT_EQ(TSPanel::borderLevel(t0 + breath), TSPanel::borderLevel(t0));
    ASSERT_EQ(TSPanel::borderLevel(t1 + breath), TSPanel::borderLevel(t1));
    auto settle = [] {
        for (int i = 0; i < 5; ++i) {
            QCoreApplication::sendPostedEvents();
            QCoreApplication::processEvents();
            QTest::qWait(20);
        }
    };
    FrameClock::freeze(t0);
    Window window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    settle();
    FrameClock::freeze(t1); // a second level, stroked
    settle();
    FrameClock::freeze(t0 + breath); // the first again: its pixels put back
    settle();

    auto *cover = new QWidget(&window);
    cover->setAutoFillBackground(true);
    QPalette paint;
    paint.setColor(QPalette::Window, Qt::red);
    cover->setPalette(paint);
    cover->setGeometry(10, 10, 320, 220); // over the whole panel
    cover->show();
    cover->raise();
    settle();
    FrameClock::freeze(t1 + breath);
    settle();
    cover->hide();
    settle();
    const QImage shown = window.screen()->grabWindow(window.winId()).toImage().convertToFormat(QImage::Format_RGB32);

    Window fresh;
    fresh.setAttribute(Qt::WA_DontShowOnScreen);
    fresh.show();
    QImage whole(shown.size(), QImage::Format_RGB32);
    whole.setDevicePixelRatio(shown.devicePixelRatio());
    fresh.render(&whole);
    FrameClock::freeze(std::nullopt);
    int differing = 0, red = 0;
    for (int y = 0; y < whole.height(); ++y)
        for (int x = 0; x < whole.width(); ++x) {
            differing += shown.pixel(x, y) != whole.pixel(x, y);
            red += shown.pixel(x, y) == qRgb(255, 0, 0);
        }
    EXPECT_EQ(red, 0);
    EXPECT_EQ(differing, 0);
}

// (Which sound each kind makes is heard through the screens' buttons.)
TEST_F(PillButtonTest, PressGivesHapticThenTheKindsSoundThenTheAction)
{
    TSPillButton button("Quick Scan", "bolt.fill", TSPillButton::Kind::danger, [&] { log.entries << "action"; });
    int triggered = 0;
    QObject::connect(&button, &TSPillButton::triggered, [&] { ++triggered; });
    button.show();
    QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_EQ(log.entries, (QStringList{levelChange, sound(SoundKind::funk), "action"}));
    EXPECT_EQ(triggered, 1);
}

TEST_F(PillButtonTest, WithSoundsOffTheHapticAndTheActionStillHappen)
{
    prefs.setBool(kSoundsEnabledKey, false);
    TSPillButton button("Șterge", "trash.fill", TSPillButton::Kind::danger, [&] { log.entries << "action"; });
    button.show();
    button.setFocus(Qt::TabFocusReason);
    QTest::keyClick(&button, Qt::Key_Space); // the keyboard presses it too
    EXPECT_EQ(log.entries, (QStringList{levelChange, "action"}));
}

TEST_F(PillButtonTest, AnActionThatDeletesItsButtonIsSafe)
{
    QPointer<TSPillButton> button = new TSPillButton("Restore", "arrow.uturn.backward",
                                                     TSPillButton::Kind::ghost);
    button->setAction([&] { delete button.data(); });
    button->show();
    QTest::mouseClick(button.data(), Qt::LeftButton);
    EXPECT_TRUE(button.isNull());
}
