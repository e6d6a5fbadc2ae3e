// Offscreen renders of both screens, idle and with content, over the window's
// background. The images are written to <build>/renders/auditsettings for review.

#include "kit/frameclock.h"
#include "kit/palette.h"
#include "screens/auditview.h"
#include "screens/settingsview.h"
#include "support.h"

#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QSet>
#include <QVBoxLayout>

namespace tsav {
namespace {

using test::ScreenRig;
using test::waitUntil;

// Renders the screen as the window shows it: over the background gradient, 20 points in.
QImage render(QWidget &screen, QSize size)
{
    QWidget frame;
    auto *layout = new QVBoxLayout(&frame);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->addWidget(&screen);
    frame.resize(size);
    frame.show();
    test::settle(std::chrono::milliseconds(50));
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&image);
    QLinearGradient g(0, 0, 0, size.height());
    g.setColorAt(0, palette::backgroundTop);
    g.setColorAt(1, palette::backgroundBottom);
    p.fillRect(image.rect(), g);
    frame.render(&p, QPoint(), QRegion(), QWidget::DrawChildren);
    p.end();
    layout->removeWidget(&screen);
    screen.setParent(nullptr);
    const QString dir = QCoreApplication::applicationDirPath() + QStringLiteral("/../renders/auditsettings");
    QDir().mkpath(dir);
    image.save(dir + QLatin1Char('/') + screen.objectName() + QLatin1Char('-') +
               QString::fromUtf8(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
               QStringLiteral(".png"));
    return image;
}

// Pixels clearly red (the primary button, even dimmed while disabled).
int countReddish(const QImage &image)
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() > 90 && c.red() > c.green() + 50 && c.red() > c.blue() + 30)
                ++n;
        }
    return n;
}

// Pixels near `colour` (per channel within `tolerance`).
int countNear(const QImage &image, const QColor &colour, int tolerance = 24)
{
    int n = 0;
    for (int y = 0; y < image.height(); y += 2) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); x += 2) {
            const QColor c = QColor::fromRgb(line[x]);
            if (std::abs(c.red() - colour.red()) <= tolerance &&
                std::abs(c.green() - colour.green()) <= tolerance &&
                std::abs(c.blue() - colour.blue()) <= tolerance)
                ++n;
        }
    }
    return n;
}

class RenderTest : public ::testing::Test {
protected:
    void SetUp() override { FrameClock::freeze(1'700'000'000.0); }
    void TearDown() override { FrameClock::freeze(std::nullopt); }
    ScreenRig rig;
};

TEST_F(RenderTest, AuditWhileRunning)
{
    ScriptedPeer::Behaviour never;
    never.bytes = "{\"ok\":false}\n";
    never.delay = std::chrono::milliseconds(2000);
    rig.peer.setBehaviour(QStringLiteral("audit.run"), never);
    AuditView view(rig.context());
    const QImage image = render(view, {900, 640});
    EXPECT_TRUE(view.running());
    EXPECT_GT(countReddish(image), 500) << "the primary button";
    EXPECT_TRUE(waitUntil([&] { return !view.running(); }));
}

TEST_F(RenderTest, AuditWithResult)
{
    rig.peer.setData(QStringLiteral("audit.run"),
                     R"({"checks":[
        {"id":"sip","title":"System Integrity Protection","pass":true,"severity":"critical","detail":"csrutil: enabled"},
        {"id":"fv","title":"FileVault","pass":false,"severity":"high","detail":"fdesetup: Off"},
        {"id":"gk","title":"Gatekeeper","pass":true,"severity":"High","detail":"spctl: assessments enabled"},
        {"id":"fw","title":"Firewall","pass":false,"severity":"medium","detail":"globalstate = 0"},
        {"id":"pf","title":"Packet filter","pass":true,"severity":"low","detail":"pfctl: Status: Enabled"},
        {"id":"up","title":"Actualizări automate","pass":true,"severity":"info","detail":"AutomaticCheckEnabled = 1"}],
        "passing":4,"total":6,"score":92})");
    AuditView view(rig.context());
    ASSERT_TRUE(waitUntil([&] { return !view.running(); }));
    FrameClock::freeze(1'700'000'010.0); // the gauge's spring has settled
    const QImage image = render(view, {900, 820});
    EXPECT_GT(countNear(image, palette::accentGreen), 100) << "gauge and pass icons";
    EXPECT_GT(countNear(image, palette::accentAmber), 5) << "the medium badge";
}

TEST_F(RenderTest, SettingsWithoutSettings)
{
    AgentClient nowhere(rig.dir.filePath(QStringLiteral("missing.sock")));
    SettingsView view(ScreenContext{&nowhere, nullptr, &rig.player});
    const QImage image = render(view, {900, 1180});
    EXPECT_GT(countNear(image, palette::accentRed), 20) << "danger row and critical test";
}

TEST_F(RenderTest, SettingsWithSettings)
{
    rig.peer.setData(QStringLiteral("settings.get"),
                     R"({"realtime_enabled":true,"ai_engine_enabled":true,"auto_quarantine":true,
                         "auto_kill_high_risk":false,"cloud_telemetry":false,"network_monitor":true,
                         "kill_switch_isolate":true,"scheduled_scan_hours":24})");
    bool done = false;
    [](AgentClient *c, bool *flag) -> QCoro::Task<> {
        co_await c->refreshSettings();
        *flag = true;
    }(&rig.client, &done);
    ASSERT_TRUE(waitUntil([&] { return done; }));
    SettingsView view(rig.context());
    const QImage image = render(view, {900, 1180});
    EXPECT_GT(countNear(image, palette::accentGreen), 100) << "switches that are on";
}

} // namespace
} // namespace tsav
