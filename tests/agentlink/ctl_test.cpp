// tessaly-ctl run as a real process against a scripted peer.

#include "agentlink/scriptedpeer.h"
#include "testsupport.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

using tsav::ScriptedPeer;

namespace {

struct CtlRun {
    int status = -1;
    QString out;
    QString err;
    QByteArray bytes; // the standard output as written
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
        const QByteArray bytes = p.readAllStandardOutput();
        return CtlRun{p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(bytes),
                   QString::fromUtf8(p.readAllStandardError()), bytes};
    }
    tsav::test::ScratchDir scratch;
    QString socket = scratch.path();
    ScriptedPeer peer{socket};
};

TEST_F(Ctl, UnreachableAgentExitsNonZeroWithTheErrorOnStderr)
{
    const QString missing = scratch.path("nothing.sock");
    for (const QStringList &args : {QStringList{"status"}, QStringList{"--json", "processes"},
                                    QStringList{"settings", "set", "auto_quarantine", "off"}}) {
        const CtlRun r = ctl(args, missing);
        EXPECT_EQ(r.status, 1) << args.join(' ').toStdString();
        EXPECT_TRUE(r.out.isEmpty()) << r.out.toStdString();
        EXPECT_TRUE(r.err.contains("connect(" + missing + ")")) << r.err.toStdString();
    }
}

TEST_F(Ctl, TablesShowTheAgentsData)
{
    // (Status and the threats table are read against the real agent by the e2e scenario.)
    const CtlRun processes = ctl({"processes"});
    ASSERT_EQ(processes.status, 0);
    const QStringList lines = processes.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4);
    EXPECT_TRUE(lines[1].contains("miner")); // highest score first
    EXPECT_TRUE(lines[3].contains("systemd"));

    const CtlRun settings = ctl({"settings"});
    EXPECT_TRUE(settings.out.contains("scheduled_scan_hours  24"));
    const CtlRun audit = ctl({"audit"});
    EXPECT_TRUE(audit.out.contains("score 67/100, 2 of 3 checks passed"));
    EXPECT_TRUE(audit.out.contains("Autentificare SSH ca root dezactivată"));
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
    EXPECT_EQ(ctl({"--json", "summary-does-not-exist"}).status, 2);
}

TEST_F(Ctl, RefusedCommandsFailInTheAgentsWordsAndRestoreSaysWhere)
{
    peer.setData("quarantine.restore", R"({"restored_to":"/home/ana/Descărcări/factura (restaurat).pdf"})");
    const CtlRun restored = ctl({"quarantine", "restore", "4"});
    EXPECT_EQ(restored.status, 0) << restored.err.toStdString();
    EXPECT_TRUE(restored.out.startsWith("restored quarantine entry 4 to /home/ana/Descărcări/factura (restaurat).pdf"))
        << restored.out.toStdString();

    peer.setReply("quarantine.restore", "{\"ok\":false,\"error\":\"restore failed: disk full\"}\n");
    peer.setReply("quarantine.delete", "{\"ok\":false,\"error\":\"no quarantine entry 9\"}\n");
    peer.setReply("settings.set", "{\"ok\":false,\"error\":\"settings not saved: disk full\"}\n");
    for (const auto &[args, words] :
         {std::pair{QStringList{"quarantine", "restore", "4"}, QStringLiteral("restore failed: disk full")},
          std::pair{QStringList{"quarantine", "delete", "9"}, QStringLiteral("no quarantine entry 9")},
          std::pair{QStringList{"settings", "set", "realtime_enabled", "on"}, QStringLiteral("settings not saved: disk full")}}) {
        const CtlRun r = ctl(args);
        EXPECT_EQ(r.status, 1) << args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains(words)) << r.err.toStdString();
    }
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

TEST_F(Ctl, SearchAndExportSendTheirFilters)
{
    // Two pages of a CSV, the cursor taken from the first: the output is both chunks in order,
    // byte for byte, the byte-order mark included.
    ScriptedPeer::Behaviour pages;
    pages.respond = [](const QByteArray &request) -> QByteArray {
        const bool first = QJsonDocument::fromJson(request).object().value("cursor").toInteger() == 0;
        return R"({"ok":true,"data":{"kind":"events","format":"csv","chunk":)"
               + QByteArray(first ? R"("\ufeffid,action\r\n1,\"a, b\"\r\n","rows":1,"total":2,"next":5)"
                                  : R"("2,\u0218\r\n","rows":1,"total":2,"next":null)")
               + "}}\n";
    };
    peer.setBehaviour("export", pages);
    const CtlRun r = ctl({"export", "events", "--since", "2026-01-01", "--until", "1767312000", "--query", "Ș x"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.bytes, "\xef\xbb\xbfid,action\r\n1,\"a, b\"\r\n2,\xc8\x98\r\n");
    // (How the filters select is checked against the real agent; here what is sent.)
    ASSERT_EQ(peer.requests().size(), 2);
    for (int page = 0; page < 2; ++page) {
        const QJsonObject sent = QJsonDocument::fromJson(peer.requests().value(page)).object();
        EXPECT_EQ(sent.value("cursor").toInteger(), page == 0 ? 0 : 5);
        EXPECT_EQ(sent.value("format"), "csv");
        EXPECT_EQ(sent.value("since").toDouble(), QDateTime(QDate(2026, 1, 1), QTime(0, 0)).toSecsSinceEpoch());
        EXPECT_EQ(sent.value("until").toDouble(), 1767312000.0);
        EXPECT_EQ(sent.value("query"), QString::fromUtf8("Ș x"));
    }
    EXPECT_EQ(ctl({"--json", "threats", "--since", "2026-01-01T08:30:00Z"}).status, 0);
    EXPECT_EQ(QJsonDocument::fromJson(peer.requests().value(2)).object().value("since").toDouble(), 1767256200.0);

    for (const QStringList &args : {QStringList{"export", "everything"}, QStringList{"export", "events", "--format", "xml"},
                                    QStringList{"events", "--since", "last tuesday"}, QStringList{"status", "--query", "x"},
                                    QStringList{"threats", "--format", "csv"}, QStringList{"--json", "export", "audit"}})
        EXPECT_EQ(ctl(args).status, 2) << args.join(' ').toStdString();
    EXPECT_EQ(peer.requests().size(), 3); // usage errors send nothing
}

TEST_F(Ctl, HostileExportPagesEndWithAnErrorNotALoop)
{
    const auto ok = [](const QByteArray &data) { return "{\"ok\":true,\"data\":" + data + "}\n"; };
    const QByteArray page = R"({"kind":"threats","format":"csv","chunk":"id\r\n1\r\n","rows":1,"total":1,)";
    const QList<std::pair<QByteArray, QString>> cases{
        {ok(page + R"("next":7})"), "does not advance"}, // the same cursor again and again
        {ok(page + R"("next":0})"), "does not advance"}, // a cursor that goes back
        {ok(R"({"kind":"threats","format":"csv","chunk":"","rows":0,"total":5,"next":9})"), "does not advance"},
        {ok(R"({"kind":"threats","format":"csv","chunk":"x","rows":5000,"total":10,"next":9})"), "does not end"},
        {ok(page).left(40), "tsav.json"}, // cut short
        {ok(R"({"kind":"threats","format":"csv","chunk":5,"rows":1,"total":1})"), "ExportPage.chunk"},
        {ok(page + R"("next":"2"})"), "ExportPage.next"},
        {ok(R"({"kind":"audit","format":"csv","chunk":"","rows":0,"total":0,"next":null})"), "export of audit"},
        {R"({"ok":false,"data":null,"error":"\"kind\" must be one of"})" "\n", "must be one of"},
        // Far larger than the agent ever sends.
        {ok(R"({"kind":"threats","format":"csv","chunk":")" + QByteArray(9 << 20, 'a') + R"(","rows":1,"total":1})"),
         "refused"},
    };
    for (const auto &[reply, expected] : cases) {
        peer.clearRequests();
        peer.setReply("export", reply);
        const CtlRun r = ctl({"export", "threats"});
        EXPECT_EQ(r.status, 1) << reply.left(200).toStdString();
        EXPECT_TRUE(r.err.contains(expected)) << r.err.toStdString();
        EXPECT_LE(peer.requestCount("export"), 2) << reply.left(200).toStdString();
    }
}

TEST_F(Ctl, AllowListAddAndRemove)
{
    const CtlRun list = ctl({"allow"});
    ASSERT_EQ(list.status, 0) << list.err.toStdString();
    EXPECT_TRUE(list.out.contains("/home/ana/proiecte/build"));
    EXPECT_TRUE(list.out.contains("Amenințarea #3: Unsafe.Script"));
    EXPECT_EQ(ctl({"allow", "list"}).out, list.out);

    peer.clearRequests();
    QProcess p;
    p.setWorkingDirectory(scratch.root());
    p.start(QStringLiteral(TSAV_CTL_EXECUTABLE), {"--socket", socket, "allow", "add", "path", "sub/../a b", "--note", "ok"});
    ASSERT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    EXPECT_TRUE(QString::fromUtf8(p.readAllStandardOutput()).contains("(entry 3); 1 open threat now allowed"));
    const QJsonObject sent = QJsonDocument::fromJson(peer.requests().value(0)).object();
    EXPECT_EQ(sent, (QJsonObject{{"op", "allowlist.add"}, {"kind", "path"}, {"value", scratch.root() + "/a b"}, {"note", "ok"}}));

    peer.clearRequests();
    EXPECT_EQ(ctl({"allow", "add", "sha256", QString(64, 'A')}).status, 0);
    EXPECT_TRUE(peer.requests().value(0).contains(QString(64, 'a').toUtf8())); // sent lower-case

    // Refused before anything is sent: a bad kind, a bad hash, a missing id.
    peer.clearRequests();
    EXPECT_EQ(ctl({"allow", "add", "folder", "/x"}).status, 2);
    EXPECT_EQ(ctl({"allow", "add", "sha256", "abc"}).status, 2);
    EXPECT_EQ(ctl({"allow", "remove"}).status, 2);
    EXPECT_EQ(ctl({"allow", "remove", "seven"}).status, 2);
    EXPECT_EQ(peer.requests().size(), 0);

    // A path whose bytes are not UTF-8 cannot be named to the agent exactly: its content can.
    QProcess sh;
    sh.start("/bin/sh", {"-c", "exec \"$0\" --socket \"$1\" allow add path \"$(printf '/home/ana/\\377x')\"",
                         QStringLiteral(TSAV_CTL_EXECUTABLE), socket});
    ASSERT_TRUE(sh.waitForFinished(60000));
    EXPECT_EQ(sh.exitCode(), 2);
    EXPECT_TRUE(QString::fromUtf8(sh.readAllStandardError()).contains("sha256")) ;
    EXPECT_EQ(peer.requests().size(), 0);

    const CtlRun removed = ctl({"allow", "remove", "2"});
    EXPECT_EQ(removed.status, 0);
    EXPECT_EQ(removed.out, "removed allow-list entry 2\n");
    EXPECT_TRUE(peer.requests().contains("{\"id\":2,\"op\":\"allowlist.remove\"}"));
    peer.setReply("allowlist.remove", "{\"ok\":false,\"data\":null,\"error\":\"no allow-list entry 9\"}\n");
    const CtlRun refused = ctl({"allow", "remove", "9"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(refused.err.contains("no allow-list entry 9")) << refused.err.toStdString();
}

} // namespace
