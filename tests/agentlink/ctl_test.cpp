// tessaly-ctl run as a real process against a scripted peer.

#include "agentlink/scriptedpeer.h"
#include "testsupport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

using tsav::ScriptedPeer;

namespace {

struct CtlRun {
    int status = -1;
    QString out;
    QString err;
};

class Ctl : public ::testing::Test {
protected:
    void SetUp() override
    {
        tsav::test::app();
        ASSERT_TRUE(peer.loadDataObject(ScriptedPeer::sampleDataObject()));
    }
    CtlRun ctl(QStringList args, const QString &socketPath = QString())
    {
        QProcess p;
        p.start(QStringLiteral(TSAV_CTL_EXECUTABLE), QStringList{"--socket", socketPath.isEmpty() ? socket : socketPath} + args);
        EXPECT_TRUE(p.waitForFinished(60000)) << args.join(' ').toStdString();
        return CtlRun{p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
                   QString::fromUtf8(p.readAllStandardError())};
    }
    tsav::test::ScratchDir scratch;
    QString socket = scratch.path();
    ScriptedPeer peer{socket};
};

TEST_F(Ctl, UnreachableAgentExitsNonZeroWithTheErrorOnStderr)
{
    const QString missing = scratch.path("nothing.sock");
    for (const QStringList &args : {QStringList{"status"}, QStringList{"threats"}, QStringList{"--json", "processes"},
                                    QStringList{"scan", "quick"}, QStringList{"settings", "set", "auto_quarantine", "off"},
                                    QStringList{"quarantine", "delete", "4"}, QStringList{"audit"}}) {
        const CtlRun r = ctl(args, missing);
        EXPECT_EQ(r.status, 1) << args.join(' ').toStdString();
        EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
        EXPECT_TRUE(r.err.contains("connect(" + missing + ")")) << r.err.toStdString();
    }
}

TEST_F(Ctl, StatusAndTablesShowTheAgentsData)
{
    const CtlRun status = ctl({"status"});
    EXPECT_EQ(status.status, 0) << status.err.toStdString();
    EXPECT_TRUE(status.out.contains("threats 3 active / 12 total")) << status.out.toStdString();
    EXPECT_TRUE(status.out.contains("files/s 412.5"));

    const CtlRun processes = ctl({"processes"});
    ASSERT_EQ(processes.status, 0);
    const QStringList lines = processes.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4);
    EXPECT_TRUE(lines[0].startsWith(" PID  SCORE"));
    EXPECT_TRUE(lines[1].contains("miner")); // highest score first
    EXPECT_TRUE(lines[3].contains("systemd"));

    const CtlRun threats = ctl({"threats"});
    EXPECT_TRUE(threats.out.contains("Win_Trojan_Agent"));
    const CtlRun settings = ctl({"settings"});
    EXPECT_TRUE(settings.out.contains("scheduled_scan_hours  24"));
    const CtlRun audit = ctl({"audit"});
    EXPECT_TRUE(audit.out.contains("score 67/100, 2 of 3 checks passed"));
    EXPECT_TRUE(audit.out.contains("Autentificare SSH ca root dezactivată"));
}

TEST_F(Ctl, JsonPrintsTheRawData)
{
    const CtlRun r = ctl({"--json", "metrics"});
    ASSERT_EQ(r.status, 0);
    const QJsonObject m = QJsonDocument::fromJson(r.out.toUtf8()).object();
    EXPECT_EQ(m.value("files_per_second").toDouble(), 412.5);
    EXPECT_EQ(ctl({"--json", "summary-does-not-exist"}).status, 2);
}

TEST_F(Ctl, CommandsSendTheirRequests)
{
    EXPECT_EQ(ctl({"quarantine", "restore", "4"}).status, 0);
    EXPECT_EQ(peer.requestCount("quarantine.restore"), 1);
    EXPECT_EQ(ctl({"scan", "full"}).status, 0);
    EXPECT_EQ(ctl({"settings", "set", "auto_quarantine", "off"}).status, 0);
    EXPECT_EQ(ctl({"settings", "set", "scheduled_scan_hours", "12"}).status, 0);
    QStringList sent;
    for (const QByteArray &r : peer.requests()) {
        sent << QString::fromUtf8(r);
    }
    EXPECT_TRUE(sent.contains("{\"id\":4,\"op\":\"quarantine.restore\"}"));
    EXPECT_TRUE(sent.contains("{\"kind\":\"full\",\"op\":\"scan.start\"}"));
    EXPECT_TRUE(sent.contains("{\"op\":\"settings.set\",\"values\":{\"auto_quarantine\":false}}"));
    EXPECT_TRUE(sent.contains("{\"op\":\"settings.set\",\"values\":{\"scheduled_scan_hours\":12}}"));

    EXPECT_EQ(ctl({"settings", "set", "auto_quarantine", "maybe"}).status, 2);
    EXPECT_EQ(ctl({"settings", "set", "no_such_switch", "on"}).status, 2);
    EXPECT_EQ(ctl({"quarantine", "delete", "x"}).status, 2);
}

TEST_F(Ctl, WatchPrintsOneLinePerCycle)
{
    const CtlRun r = ctl({"watch", "--cycles", "2"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].contains("connected; threats 3 active"));
    EXPECT_TRUE(lines[0].contains("files/s 412.5; agent CPU 3.5%"));

    const CtlRun down = ctl({"watch", "--cycles", "1"}, scratch.path("down.sock"));
    EXPECT_TRUE(down.out.contains("disconnected: tsav.unixsocket error")) << down.out.toStdString();
}

TEST_F(Ctl, HostileTextCannotDriveTheTerminal)
{
    peer.setData("events", R"([{"id":1,"ts":0,"source":"file","action":"x\u001b[2Jy","target":"t"}])");
    const CtlRun r = ctl({"events"});
    ASSERT_EQ(r.status, 0);
    EXPECT_FALSE(r.out.contains(QChar(0x1b)));
    EXPECT_TRUE(r.out.contains(QString("x") + QChar(0xFFFD) + "[2Jy"));
}

} // namespace
