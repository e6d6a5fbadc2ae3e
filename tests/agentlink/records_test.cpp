// Decoding rules of the wire records, the derived rows and the reply parser.

#include "agentlink/decode.h"
#include "agentlink/records.h"
#include "agentlink/transport.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace tsav;

namespace {

AgentResponse reply(const QByteArray &json)
{
    auto r = parseReply(json);
    if (!r)
        ADD_FAILURE() << "reply did not parse: " << r.error().description().toStdString();
    return r ? r.value() : AgentResponse{};
}

AgentResponse withData(const QByteArray &data) { return reply("{\"ok\":true,\"data\":" + data + "}\n"); }

const QByteArray processJson =
    R"({"pid":7,"name":"a","user":"u","exe":"/x","cpu":3,"rss":1024,"connections":0,"open_files":1,"threads":2,"score":0.5})";

QByteArray replaceIn(QByteArray json, const QByteArray &from, const QByteArray &to)
{
    EXPECT_TRUE(json.contains(from));
    return json.replace(from, to);
}

TEST(Envelope, OkOnlyForJsonTrueAndDataPresenceNullAndRaw)
{
    for (const QByteArray &notTrue : {QByteArray("{\"ok\":1}"), QByteArray("{\"ok\":\"true\"}"), QByteArray("{}")})
        EXPECT_FALSE(reply(notTrue).ok) << notTrue.toStdString();
    EXPECT_TRUE(reply("{\"ok\":true}").ok);
    const QByteArray raw = "{\"ok\":false,\"data\":null}\n";
    const AgentResponse r = reply(raw);
    EXPECT_TRUE(r.hasData);
    EXPECT_TRUE(r.dataIsNull);
    EXPECT_EQ(r.raw, raw);
    EXPECT_FALSE(reply("{\"ok\":true}").hasData);
    EXPECT_EQ(withData(R"( { "b" : [1, 2.5, "x"] } )").dataJson(), R"({"b":[1,2.5,"x"]})");
}

TEST(Envelope, ArrayTopLevelIsTsavOneAndScalarOrGarbageIsSyntax)
{
    auto array = parseReply("[1,2]");
    ASSERT_FALSE(array.ok());
    EXPECT_EQ(array.error(), (AgentError{"tsav", 1, QString()}));

    for (const QByteArray &bad : {QByteArray("3"), QByteArray("\"x\""), QByteArray("{\"a\":1"), QByteArray(),
                                 QByteArray("{} {}"), QByteArray("{\"a\":\"\xff\"}")}) {
        auto r = parseReply(bad);
        ASSERT_FALSE(r.ok()) << bad.toStdString();
        EXPECT_EQ(r.error().domain, "tsav.json") << bad.toStdString();
    }
}

TEST(Envelope, DeepNestingIsASyntaxErrorNotACrash)
{
    const QByteArray shallow = "{\"data\":" + QByteArray(200, '[') + QByteArray(200, ']') + "}";
    EXPECT_TRUE(parseReply(shallow).ok());
    const QByteArray deep = "{\"data\":" + QByteArray(100000, '[') + QByteArray(100000, ']') + "}";
    auto r = parseReply(deep);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().domain, "tsav.json");
    EXPECT_FALSE(parseReply(QByteArray(1000000, '[')).ok());
}

TEST(DecodeRecord, MissingOrNullDataIsNoData)
{
    const AgentError noData{"tsav", 2, "no data"};
    EXPECT_EQ(decodeRecord<Summary>(reply("{\"ok\":true}")).error(), noData);
    EXPECT_EQ(decodeRecord<Summary>(reply("{\"ok\":true,\"data\":null}")).error(), noData);
    EXPECT_EQ(decodeRecord<Summary>(withData("\"text\"")).error().domain, "tsav.decode");
    EXPECT_EQ(decodeRecord<Summary>(withData("[]")).error().domain, "tsav.decode");
}

TEST(DecodeList, MissingDataIsEmptyAndOkIsNotConsulted)
{
    auto none = decodeList<Threat>(reply("{\"ok\":true}"));
    ASSERT_TRUE(none.ok());
    EXPECT_TRUE(none.value().isEmpty());
    auto rows = decodeList<ProcessRow>(reply("{\"ok\":false,\"data\":[" + processJson + "]}"));
    ASSERT_TRUE(rows.ok());
    EXPECT_EQ(rows.value().size(), 1);
    EXPECT_FALSE(decodeList<ProcessRow>(withData(processJson)).ok()); // an object is not a list
    EXPECT_FALSE(decodeList<ProcessRow>(withData("5")).ok());
}

TEST(IntRule, WholeNumbersThatFitInSixtyFourBits)
{
    const auto rss = [](const QByteArray &value) {
        return decodeRecord<ProcessRow>(withData(replaceIn(processJson, "\"rss\":1024", "\"rss\":" + value)));
    };
    EXPECT_EQ(rss("3").value().rss, 3);
    EXPECT_EQ(rss("3.0").value().rss, 3);
    EXPECT_EQ(rss("-0.0").value().rss, 0);
    EXPECT_EQ(rss("3e2").value().rss, 300);
    EXPECT_EQ(rss("9007199254740993").value().rss, 9007199254740993LL);
    EXPECT_EQ(rss("9223372036854775807").value().rss, 9223372036854775807LL);
    EXPECT_EQ(rss("-9223372036854775808").value().rss, std::numeric_limits<qint64>::min());
    for (const char *bad : {"1.5", "1e30", "9223372036854775808", "18446744073709551615", "\"3\"", "true", "null", "[3]"}) {
        auto r = rss(bad);
        ASSERT_FALSE(r.ok()) << bad;
        EXPECT_EQ(r.error().domain, "tsav.decode");
        EXPECT_TRUE(r.error().message.startsWith("ProcessRow.rss: ")) << r.error().message.toStdString();
    }
    // Integer literals beyond the unsigned 64-bit range are refused by the parser itself.
    for (const char *huge : {"-9223372036854775809", "99999999999999999999999"}) {
        auto r = parseReply("{\"data\":" + QByteArray(huge) + "}");
        ASSERT_FALSE(r.ok()) << huge;
        EXPECT_EQ(r.error().domain, "tsav.json");
    }
}

TEST(DoubleStringBoolRules, TypesAreStrict)
{
    auto cpu = decodeRecord<ProcessRow>(withData(processJson));
    ASSERT_TRUE(cpu.ok());
    EXPECT_DOUBLE_EQ(cpu.value().cpu, 3.0);
    EXPECT_FALSE(decodeRecord<ProcessRow>(withData(replaceIn(processJson, "\"cpu\":3", "\"cpu\":\"3\""))).ok());
    EXPECT_FALSE(decodeRecord<ProcessRow>(withData(replaceIn(processJson, "\"name\":\"a\"", "\"name\":5"))).ok());

    const QByteArray scan = R"({"id":1,"kind":"quick","started":1.5,"scanned":0,"current":"","running":true})";
    auto s = decodeRecord<ScanStatus>(withData(scan));
    ASSERT_TRUE(s.ok());
    EXPECT_FALSE(s.value().finished.has_value());
    EXPECT_FALSE(decodeRecord<ScanStatus>(withData(replaceIn(scan, "true", "1"))).ok());
    EXPECT_FALSE(decodeRecord<ScanStatus>(withData(replaceIn(scan, "true", "\"true\""))).ok());
}

TEST(Threat, OptionalFieldsMissingOrNullAreAbsentRequiredFailTheList)
{
    const QByteArray minimal = R"({"id":1,"ts":2,"kind":"yara","severity":"high","status":"detected"})";
    const QByteArray nulls = R"({"id":2,"ts":2,"kind":"yara","severity":"high","status":"detected","path":null,
        "pid":null,"process_name":null,"signature":null,"score":null,"description":null,"extra":{"x":[1]}})";
    auto list = decodeList<Threat>(withData("[" + minimal + "," + nulls + "]"));
    ASSERT_TRUE(list.ok()) << list.error().description().toStdString();
    for (const Threat &t : list.value()) {
        EXPECT_FALSE(t.path || t.pid || t.process_name || t.signature || t.score || t.description);
        EXPECT_EQ(t.status, "detected");
    }

    const QByteArray full = R"({"id":3,"ts":2.5,"kind":"yara","severity":"high","status":"detected","path":"/p",
        "pid":4,"process_name":"n","signature":"s","score":0.75,"description":"d"})";
    auto one = decodeRecord<Threat>(withData(full));
    ASSERT_TRUE(one.ok());
    EXPECT_EQ(one.value().path, "/p");
    EXPECT_EQ(one.value().pid, 4);
    EXPECT_EQ(one.value().score, 0.75);

    // A wrong type in an optional field fails; so does a missing or null required one.
    EXPECT_FALSE(decodeRecord<Threat>(withData(replaceIn(full, "\"pid\":4", "\"pid\":\"4\""))).ok());
    const QByteArray noStatus = R"({"id":4,"ts":2,"kind":"yara","severity":"high"})";
    auto failed = decodeList<Threat>(withData("[" + minimal + "," + noStatus + "]"));
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().message, "Threat[1].status: missing");
    EXPECT_FALSE(decodeList<Threat>(withData("[" + replaceIn(minimal, "\"detected\"", "null") + "]")).ok());
}

const QByteArray metricsJson = R"({
 "uptime_seconds": 10, "files_scanned_since_boot": 5, "files_per_second": 1.5,
 "engines": {"yara": {"hits": 2, "last": 100.0}},
 "active_scan_dirs": {"/a": {"scanned": 3, "hits": 0, "started": 1, "duration": 2},
                      "/b": {"scanned": 9, "hits": 1, "started": 1, "finished": 4, "duration": 3}},
 "agent": {"pid": 1, "cpu": 2, "rss": 3, "threads": 4, "fds": 5, "uptime_seconds": 6},
 "system": {"cpu_percent": 1, "cpu_count": 2, "ram_used": 3, "ram_total": 4, "ram_percent": 5, "disk_used": 6,
            "disk_total": 7, "disk_percent": 8, "net_bytes_sent_per_sec": 9, "net_bytes_recv_per_sec": 10},
 "engine_breakdown": {"behavior": {"last24h": 1, "total": 9, "last_ts": 50.0},
                      "yara": {"last24h": 3, "total": 7, "last_ts": 90.0}},
 "severity_breakdown": {"high": 2}
})";

TEST(LiveMetrics, DecodesNestedRecordsAndDerivesEngineRows)
{
    auto m = decodeRecord<LiveMetrics>(withData(metricsJson));
    ASSERT_TRUE(m.ok()) << m.error().description().toStdString();
    EXPECT_EQ(m.value().system.net_bytes_recv_per_sec, 10);
    EXPECT_EQ(m.value().severity_breakdown.value("high"), 2);

    const QList<EngineStat> rows = m.value().engineStats();
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0], (EngineStat{"behavior", 0, 50.0, 1, 9}));
    EXPECT_EQ(rows[1], (EngineStat{"yara", 2, 100.0, 3, 7}));

    const QList<ScanDirStat> dirs = m.value().scanDirStats();
    ASSERT_EQ(dirs.size(), 2);
    EXPECT_EQ(dirs[0].path, "/b");
    EXPECT_EQ(dirs[0].finished, 4.0);
    EXPECT_EQ(dirs[1].path, "/a");
    EXPECT_FALSE(dirs[1].finished);
}

TEST(LiveMetrics, EveryFieldRequiredEmptyObjectsAllowed)
{
    EXPECT_FALSE(decodeRecord<LiveMetrics>(withData(replaceIn(metricsJson, "\"severity_breakdown\": {\"high\": 2}",
                                                              "\"other\": {}"))).ok());
    auto empty = decodeRecord<LiveMetrics>(withData(replaceIn(
        replaceIn(metricsJson, "\"severity_breakdown\": {\"high\": 2}", "\"severity_breakdown\": {}"),
        "\"engines\": {\"yara\": {\"hits\": 2, \"last\": 100.0}}", "\"engines\": {}")));
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty.value().engines.isEmpty());
    auto bad = decodeRecord<LiveMetrics>(withData(replaceIn(metricsJson, "\"high\": 2", "\"high\": 2.5")));
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().message, "LiveMetrics.severity_breakdown.high: expected a whole number that fits in 64 bits, got 2.5");
    EXPECT_FALSE(decodeRecord<LiveMetrics>(withData(replaceIn(metricsJson, "\"fds\": 5,", ""))).ok());
}

TEST(LiveMetrics, EngineLastHitPrefersEnginesEvenWhenZero)
{
    LiveMetrics m;
    m.engines.insert("a", {1, 0.0});
    m.engine_breakdown.insert("a", {1, 2, 70.0});
    m.engine_breakdown.insert("Z", {0, 0, 5.0}); // uppercase sorts before lowercase by code point
    const auto rows = m.engineStats();
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0].name, "Z");
    EXPECT_EQ(rows[1].last_hit_ts, 0.0);
    EXPECT_TRUE(LiveMetrics{}.engineStats().isEmpty());
}

TEST(Audit, ChecksKeepTheAgentsOrder)
{
    auto a = decodeRecord<AuditResult>(withData(
        R"({"checks":[{"id":"z","title":"Z","pass":true,"severity":"info","detail":""},
                      {"id":"a","title":"A","pass":false,"severity":"critical","detail":"d"}],
            "passing":1,"total":2,"score":50})"));
    ASSERT_TRUE(a.ok());
    EXPECT_EQ(a.value().checks[0].id, "z");
    EXPECT_FALSE(a.value().checks[1].pass);
    EXPECT_FALSE(decodeRecord<AuditResult>(withData(R"({"checks":[{"id":"z"}],"passing":1,"total":2,"score":50})")).ok());
}

TEST(Settings, ForwardTargetOnlyWhenWellFormed)
{
    auto s = decodeSettings(withData(
        R"({"cloud_telemetry":true,"forward_to":{"host":"siem.example","port":6514,"protocol":"tls"}})"));
    ASSERT_TRUE(s && s->forwardTo);
    EXPECT_EQ(*s->forwardTo, (ForwardTarget{"siem.example", 6514, "tls"}));
    EXPECT_EQ(s->switches.value("cloud_telemetry"), true);
    // Malformed or absurd targets are left out; the switches still decode.
    for (const char *bad : {R"({"host":"h","port":70000,"protocol":"tcp"})", R"({"host":"h","port":"514","protocol":"tcp"})",
                            R"({"host":"h","port":514})", R"({"host":null,"port":514,"protocol":"tcp"})", R"("h:514")",
                            R"({"host":"h","port":-1,"protocol":"udp"})"}) {
        auto r = decodeSettings(withData(QByteArray(R"({"realtime_enabled":true,"forward_to":)") + bad + "}"));
        ASSERT_TRUE(r) << bad;
        EXPECT_FALSE(r->forwardTo) << bad;
        EXPECT_TRUE(r->switches.value("realtime_enabled")) << bad;
    }
}

TEST(NewerMembers, EngineStateClamdMemoryAndScanOutcomeAreOptionalButTyped)
{
    const QByteArray withState = replaceIn(metricsJson, R"("yara": {"hits": 2, "last": 100.0})",
                                           R"("yara": {"hits": 2, "last": 100.0, "state": "degraded", "reason": "r"})");
    auto m = decodeRecord<LiveMetrics>(withData(replaceIn(withState, R"("fds": 5,)", R"("fds": 5, "clamd_rss": 1024,)")));
    ASSERT_TRUE(m.ok()) << m.error().description().toStdString();
    EXPECT_EQ(m.value().engines.value("yara").state, "degraded");
    EXPECT_EQ(m.value().engines.value("yara").reason, "r");
    EXPECT_EQ(m.value().agent.clamd_rss, 1024);
    EXPECT_FALSE(decodeRecord<LiveMetrics>(withData(metricsJson)).value().agent.clamd_rss);
    // Present with the wrong type, as any optional member: the record fails.
    EXPECT_FALSE(decodeRecord<LiveMetrics>(withData(replaceIn(withState, R"("state": "degraded")", R"("state": 2)"))).ok());
    EXPECT_FALSE(decodeRecord<LiveMetrics>(withData(replaceIn(metricsJson, R"("fds": 5,)", R"("fds": 5, "clamd_rss": 1.5,)"))).ok());

    QByteArray locations = "[";
    for (int i = 0; i < 100000; ++i)
        locations += (i ? ",\"/l" : "\"/l") + QByteArray::number(i) + '"';
    locations += ']';
    auto scan = decodeRecord<ScanStatus>(withData(
        R"({"id":1,"kind":"full","started":1,"finished":2,"scanned":0,"current":"","running":false,"outcome":"failed",)"
        R"("error":"no location could be opened","skipped_foreign":3,"unreadable":4,"locations":)" + locations + "}"));
    ASSERT_TRUE(scan.ok()) << scan.error().description().toStdString();
    EXPECT_EQ(scan.value().outcome, "failed");
    EXPECT_EQ(scan.value().skipped_foreign, 3);
    ASSERT_TRUE(scan.value().locations);
    EXPECT_EQ(scan.value().locations->size(), ScanStatus::maxLocations); // a hostile list stays small
    EXPECT_EQ(scan.value().locations->first(), "/l0");
    EXPECT_FALSE(decodeRecord<ScanStatus>(withData(
        R"({"id":1,"kind":"q","started":1,"scanned":0,"current":"","running":false,"locations":["/a",7]})")).ok());
}

TEST(EngineProblems, DegradedOrOffAgainstItsSwitch)
{
    LiveMetrics m;
    auto engine = [](const char *state, const char *reason) {
        LiveMetrics::EngineHits h;
        if (state)
            h.state = QString::fromUtf8(state);
        if (reason)
            h.reason = QString::fromUtf8(reason);
        return h;
    };
    m.engines.insert("signature", engine("degraded", "clamd not running"));
    m.engines.insert("yara", engine("ok", nullptr));
    m.engines.insert("behavior", engine("off", nullptr));     // its switch decides
    m.engines.insert("network", engine("off", "switched off"));
    m.engines.insert("old", engine(nullptr, nullptr));        // an older agent says nothing
    m.engines.insert("zeta", engine("starting", nullptr));    // a word this console does not know
    const QHash<QString, bool> aiOff{{"ai_engine_enabled", false}, {"network_monitor", true}};
    EXPECT_EQ(engineProblems(m, aiOff),
              (QList<EngineProblem>{{"signature", "degraded", "clamd not running"}, {"zeta", "starting", ""}}));
    // The AI switch on while its engine is off: that is a fault.
    const QHash<QString, bool> aiOn{{"ai_engine_enabled", true}};
    EXPECT_EQ(engineProblems(m, aiOn).size(), 3);
    EXPECT_EQ(engineProblems(m, aiOn)[0].name, "behavior");
}

TEST(AllowList, EntriesAreStrictAndTheAddReplyCarriesWhatItResolved)
{
    auto list = decodeList<AllowEntry>(withData(
        R"([{"id":3,"kind":"path","value":"/home/ana/p","note":"","ts":1.5},{"id":1,"kind":"sha256","value":"ab","note":"n","ts":2}])"));
    ASSERT_TRUE(list.ok());
    EXPECT_EQ(list.value()[0], (AllowEntry{3, "path", "/home/ana/p", "", 1.5}));
    EXPECT_FALSE(decodeList<AllowEntry>(withData(R"([{"id":3,"kind":"path","value":"/p","ts":1}])")).ok()); // no note
    EXPECT_FALSE(decodeList<AllowEntry>(withData(R"([{"id":"3","kind":"path","value":"/p","note":"","ts":1}])")).ok());

    auto added = decodeRecord<AllowAdded>(withData(R"({"id":4,"kind":"process","value":"/usr/bin/x","note":"","ts":1,"resolved":2})"));
    ASSERT_TRUE(added.ok());
    EXPECT_EQ(added.value().entry.value, "/usr/bin/x");
    EXPECT_EQ(added.value().resolved, 2);
    auto noCount = decodeRecord<AllowAdded>(withData(R"({"id":4,"kind":"process","value":"/x","note":"","ts":1})"));
    ASSERT_FALSE(noCount.ok());
    EXPECT_EQ(noCount.error().message, "AllowAdded.resolved: missing");
}

// The reply parser over the JSON parsing test suite: y_ files whose top level is an
// object or an array parse; n_ files are refused with a syntax error; nothing crashes.
TEST(JsonTestSuite, AcceptsValidRefusesInvalid)
{
    const QDir dir(QStringLiteral(TSAV_JSON_TEST_SUITE));
    if (!dir.exists())
        GTEST_SKIP() << "JSON test suite not found";
    int checked = 0;
    for (const QString &name : dir.entryList({"*.json"}, QDir::Files)) {
        QFile file(dir.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        auto r = parseReply(bytes);
        if (name.startsWith("y_")) {
            const QByteArray trimmed = bytes.trimmed();
            const bool container = trimmed.startsWith('{') || trimmed.startsWith('[');
            if (!container)
                continue;
            if (trimmed.startsWith('{')) {
                EXPECT_TRUE(r.ok()) << name.toStdString() << ": " << r.error().description().toStdString();
            } else { // parsed, then refused by the envelope: an array is not a reply object
                ASSERT_FALSE(r.ok()) << name.toStdString();
                EXPECT_EQ(r.error(), (AgentError{"tsav", 1, QString()})) << name.toStdString();
            }
            ++checked;
        } else if (name.startsWith("n_")) {
            EXPECT_FALSE(r.ok()) << name.toStdString();
            if (!r.ok()) {
                EXPECT_EQ(r.error().domain, "tsav.json") << name.toStdString();
            }
            ++checked;
        }
        if (r.ok()) // whatever parses also decodes without crashing
            (void)decodeList<Threat>(r.value()), (void)decodeRecord<LiveMetrics>(r.value()), (void)r.value().dataJson();
    }
    EXPECT_GT(checked, 200);
}

} // namespace
