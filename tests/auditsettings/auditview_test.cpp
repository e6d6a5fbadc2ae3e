// The audit screen against a scripted agent on a real socket.

#include "kit/tspillbutton.h"
#include "screens/auditlogic.h"
#include "screens/auditview.h"
#include "support.h"

#include <QLabel>
#include <QPointer>

#include <memory>

namespace tsav {
namespace {

using test::ScreenRig;
using test::waitFor;

QByteArray auditJson(qint64 score, const QByteArray &checks = "[]", qint64 passing = 0,
                     qint64 total = 0)
{
    return QByteArray("{\"checks\":") + checks + ",\"passing\":" + QByteArray::number(passing) +
           ",\"total\":" + QByteArray::number(total) + ",\"score\":" + QByteArray::number(score) +
           "}";
}

QByteArray checkJson(const char *id, const char *severity, bool pass)
{
    return QByteArray("{\"id\":\"") + id + "\",\"title\":\"Titlu " + id + "\",\"pass\":" +
           (pass ? "true" : "false") + ",\"severity\":\"" + severity +
           "\",\"detail\":\"detaliu\"}";
}

class AuditViewTest : public ::testing::Test {
protected:
    std::unique_ptr<AuditView> open()
    {
        auto view = std::make_unique<AuditView>(rig.context());
        view->resize(860, 700);
        return view;
    }
    // Waits for the audit that the screen started by itself.
    void finish(AuditView &view)
    {
        ASSERT_TRUE(waitFor([&] { return !view.running(); })) << "audit never answered";
    }
    TSPillButton *button(AuditView &view)
    {
        return view.findChild<TSPillButton *>(QStringLiteral("audit.run"));
    }
    QList<QLabel *> labels(AuditView &view, const QString &name)
    {
        return view.findChildren<QLabel *>(name);
    }
    QString passingText(AuditView &view)
    {
        return view.findChild<QLabel *>(QStringLiteral("audit.passing"))->text();
    }

    ScreenRig rig;
};

TEST_F(AuditViewTest, OpeningRunsAnAuditWithoutAClick)
{
    ScriptedPeer::Behaviour slow;
    slow.bytes = "{\"ok\":true,\"data\":" + auditJson(90, "[" + checkJson("sip", "high", true) + "]",
                                                       1, 1) + "}\n";
    slow.delay = std::chrono::milliseconds(300);
    rig.peer.setBehaviour(QStringLiteral("audit.run"), slow);

    auto view = open();
    EXPECT_TRUE(view->running());
    EXPECT_EQ(button(*view)->title(), QStringLiteral("Verific…"));
    EXPECT_FALSE(button(*view)->isEnabled());
    EXPECT_EQ(labels(*view, QStringLiteral("audit.empty")).size(), 1);
    // Only one audit at a time: neither the disabled button nor a second call asks again.
    button(*view)->click();
    view->performAudit();

    finish(*view);
    EXPECT_EQ(rig.peer.requestCount(QStringLiteral("audit.run")), 1);
    EXPECT_EQ(rig.rec.sounds.kinds(), QList<SoundKind>{SoundKind::glass}); // the result's only
    EXPECT_EQ(button(*view)->title(), QStringLiteral("Rulează audit"));
    EXPECT_TRUE(button(*view)->isEnabled());
    ASSERT_TRUE(view->audit().has_value());
    EXPECT_EQ(passingText(*view), QStringLiteral("1 din 1 verificări trecute"));
    EXPECT_TRUE(labels(*view, QStringLiteral("audit.empty")).isEmpty());
    EXPECT_EQ(view->findChildren<QWidget *>(QStringLiteral("audit.check")).size(), 1);
}

TEST_F(AuditViewTest, FeedbackFollowsTheScore)
{
    struct Case {
        qint64 score;
        SoundKind sound;
        QList<HapticPattern> haptics;
    };
    const QList<HapticPattern> levelChange{HapticPattern::levelChange};
    const QList<HapticPattern> alert{HapticPattern::generic, HapticPattern::generic};
    for (const Case &c : {Case{85, SoundKind::glass, levelChange}, Case{84, SoundKind::funk, levelChange},
                          Case{60, SoundKind::funk, levelChange}, Case{59, SoundKind::sosumi, alert}}) {
        SCOPED_TRACE(c.score);
        rig.clearFeedback();
        rig.peer.setData(QStringLiteral("audit.run"), auditJson(c.score));
        auto view = open();
        finish(*view);
        // The alert haptic's second pulse follows 0.08 s later.
        EXPECT_TRUE(waitFor([&] { return rig.rec.haptics.pulses.size() >= c.haptics.size(); }));
        QTest::qWait(150);
        EXPECT_EQ(rig.rec.sounds.kinds(), QList<SoundKind>{c.sound});
        EXPECT_EQ(rig.rec.haptics.patterns(), c.haptics);
    }
}

TEST_F(AuditViewTest, EmptyChecksListShowsNumbersButNoRowsAndNoEmptyState)
{
    rig.peer.setData(QStringLiteral("audit.run"), auditJson(75, "[]", 3, 4));
    auto view = open();
    finish(*view);
    EXPECT_TRUE(view->findChildren<QWidget *>(QStringLiteral("audit.check")).isEmpty());
    EXPECT_TRUE(labels(*view, QStringLiteral("audit.empty")).isEmpty());
    EXPECT_EQ(passingText(*view), QStringLiteral("3 din 4 verificări trecute"));
}

TEST_F(AuditViewTest, FailingSecondAuditClearsTheResultAndPlaysNothing)
{
    rig.peer.setData(QStringLiteral("audit.run"),
                     auditJson(95, "[" + checkJson("fw", "medium", true) + "]", 1, 1));
    auto view = open();
    finish(*view);
    ASSERT_TRUE(view->audit().has_value());
    QTest::qWait(100);

    for (const QByteArray &bad :
         {QByteArray("{\"ok\":false,\"error\":\"audit failed\"}\n"),
          QByteArray("{\"ok\":true,\"data\":{\"checks\":[],\"passing\":1}}\n"), // score missing
          QByteArray("{\"ok\":true,\"data\":") + auditJson(90).left(20) + "\n", // truncated
          QByteArray("{\"ok\":true}\n")}) {
        SCOPED_TRACE(bad.toStdString());
        rig.peer.setReply(QStringLiteral("audit.run"), bad);
        rig.clearFeedback();
        const int before = rig.peer.requestCount(QStringLiteral("audit.run"));
        button(*view)->click(); // a fast failure may already be shown when click() returns
        finish(*view);
        EXPECT_EQ(rig.peer.requestCount(QStringLiteral("audit.run")), before + 1);
        QTest::qWait(250);
        EXPECT_FALSE(view->audit().has_value());
        EXPECT_EQ(passingText(*view), audit::kNoResultLine);
        EXPECT_EQ(labels(*view, QStringLiteral("audit.empty")).size(), 1);
        EXPECT_TRUE(view->findChildren<QWidget *>(QStringLiteral("audit.check")).isEmpty());
        // Only the button's own press feedback; nothing for the failed audit.
        EXPECT_EQ(rig.rec.sounds.kinds(), QList<SoundKind>{SoundKind::glass});
        EXPECT_EQ(rig.rec.haptics.patterns(), QList<HapticPattern>{HapticPattern::levelChange});
    }
}

TEST_F(AuditViewTest, LeavingTheScreenWhileAnAuditRunsDropsTheLateAnswer)
{
    ScriptedPeer::Behaviour slow;
    slow.bytes = "{\"ok\":true,\"data\":" + auditJson(30) + "}\n";
    slow.delay = std::chrono::milliseconds(400);
    rig.peer.setBehaviour(QStringLiteral("audit.run"), slow);

    auto view = open();
    view->show();
    ASSERT_TRUE(waitFor([&] { return rig.peer.requestCount(QStringLiteral("audit.run")) == 1; }));
    view.reset(); // the tab changes: the screen is destroyed mid-request

    // A later audit on the same agent finishes after the abandoned one has answered.
    std::optional<AuditResult> later;
    bool done = false;
    [](AgentClient *client, std::optional<AuditResult> *out, bool *flag) -> QCoro::Task<> {
        *out = co_await client->runAudit();
        *flag = true;
    }(&rig.client, &later, &done);
    ASSERT_TRUE(waitFor([&] { return done; }));
    QTest::qWait(200);
    EXPECT_TRUE(later.has_value());
    EXPECT_TRUE(rig.rec.sounds.plays.isEmpty()) << "the abandoned audit gave feedback";
    EXPECT_TRUE(rig.rec.haptics.pulses.isEmpty());
}

TEST_F(AuditViewTest, HostileCheckTextIsShownPlainAndBounded)
{
    const QString longTitle(50000, QLatin1Char('A'));
    const QByteArray checks = "[{\"id\":\"x\",\"title\":\"<b>bold</b>\\u202e" + longTitle.toUtf8() +
                              "\",\"pass\":false,\"severity\":\"\\u0007crit\\nical\","
                              "\"detail\":\"line1\\nline2\\u0000\"}]";
    rig.peer.setData(QStringLiteral("audit.run"), auditJson(10, checks, 0, 1));
    auto view = open();
    finish(*view);
    ASSERT_TRUE(view->audit().has_value());
    const auto row = view->findChild<QWidget *>(QStringLiteral("audit.check"));
    ASSERT_NE(row, nullptr);
    for (QLabel *l : row->findChildren<QLabel *>()) {
        EXPECT_EQ(l->textFormat(), Qt::PlainText);
        EXPECT_LE(l->text().size(), 600);
        EXPECT_FALSE(l->text().contains(QChar(0x202E)));
        EXPECT_FALSE(l->text().contains(QChar(0)));
    }
}

TEST_F(AuditViewTest, FloodOfChecksIsCappedWithACount)
{
    QByteArray checks = "[";
    for (int i = 0; i < audit::kMaxRows + 50; ++i) {
        if (i)
            checks += ",";
        checks += checkJson(QByteArray::number(i).constData(), "low", i % 2);
    }
    checks += "]";
    rig.peer.setData(QStringLiteral("audit.run"), auditJson(50, checks, 1, audit::kMaxRows + 50));
    auto view = open();
    finish(*view);
    ASSERT_TRUE(view->audit().has_value());
    EXPECT_EQ(view->audit()->checks.size(), audit::kMaxRows); // the rest only counted, by the agent's total
    EXPECT_EQ(view->findChildren<QWidget *>(QStringLiteral("audit.check")).size(), audit::kMaxRows);
    const auto more = labels(*view, QStringLiteral("audit.overflow"));
    ASSERT_EQ(more.size(), 1);
    EXPECT_EQ(more[0]->text(), QStringLiteral("… și încă 50 verificări"));
}

} // namespace
} // namespace tsav

