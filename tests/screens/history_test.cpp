// Search and export on the threats and events screens, against a scripted agent on a real
// socket: the search asks the agent once the user stops typing and keeps the poll's lists
// whole, and an export follows the agent's pages into a file that appears only complete.

#include "agentlink/agentclient.h"
#include "agentlink/exportjob.h"
#include "agentlink/scriptedpeer.h"
#include "alerts/soundplayer.h"
#include "platform/fakes.h"
#include "screens/eventsview.h"
#include "screens/historytools.h"
#include "screens/screenparts.h"
#include "screens/threatsview.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProgressDialog>
#include <QTemporaryDir>
#include <QTest>

#include <QCoroTask>

#include <gtest/gtest.h>

#include "../testbase.h"
#include "../widgetsupport.h"

#include <atomic>

using namespace tsav;
using namespace std::chrono_literals;
using test::requestsFor;
using test::waitFor;

namespace {

QJsonObject json(const QByteArray &line) { return test::requestObject(line); }

// An agent's export of `total` events as CSV, `perPage` to a page, the cursor being the
// number of rows already sent. Each line names its row, so a page lost, repeated or out of
// order shows in the file.
ScriptedPeer::Behaviour eventPages(qint64 total, qint64 perPage, std::chrono::milliseconds delay = 0ms)
{
    ScriptedPeer::Behaviour b;
    b.delay = delay;
    b.respond = [total, perPage](const QByteArray &request) {
        const qint64 cursor = json(request).value("cursor").toInteger();
        QByteArray chunk = cursor == 0 ? QByteArray("\xef\xbb\xbfid,time,source,action,target\r\n") : QByteArray();
        const qint64 end = std::min(total, cursor + perPage);
        for (qint64 i = cursor; i < end; ++i)
            chunk += QByteArray::number(i + 1) + ",2026-01-05T12:00:00Z,file,row " + QByteArray::number(i) + ",/x\r\n";
        // (QString::fromUtf8 would drop the byte-order mark.)
        const QString text = cursor == 0 ? QChar(0xFEFF) + QString::fromUtf8(chunk.mid(3)) : QString::fromUtf8(chunk);
        QJsonObject page{{"kind", "events"}, {"format", "csv"}, {"chunk", text},
                         {"rows", end - cursor}, {"total", total}};
        page.insert("next", end < total ? QJsonValue(end) : QJsonValue());
        return "{\"ok\":true,\"data\":" + QJsonDocument(page).toJson(QJsonDocument::Compact) + "}\n";
    };
    return b;
}

// Parameters, not captures: they live in the coroutine's frame.
QCoro::Task<> exportThenFlag(ExportFlow *flow, QString path, bool *done)
{
    co_await flow->exportTo(path, QString());
    *done = true;
}

class HistoryScreens : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(peer.isListening());
        ASSERT_TRUE(peer.loadDataObject(ScriptedPeer::sampleDataObject()));
        QCoro::waitFor(client.refresh());
        SoundPlayer::installShared(&player);
    }
    void TearDown() override { SoundPlayer::installShared(nullptr); }
    QTemporaryDir dir{test::testDirTemplate(QStringLiteral("history"))};
    ScriptedPeer peer{dir.filePath("agent.sock")};
    AgentClient client{dir.filePath("agent.sock")};
    RecordingServices services;
    SoundPlayer player{&services.sounds, &services.haptics, &services.preferences};
};

} // namespace

TEST_F(HistoryScreens, SearchAsksTheAgentOnceTypingStopsAndLeavesThePollWhole)
{
    ThreatsView view(ScreenContext{&client, nullptr, &player});
    view.resize(1100, 800);
    view.show();
    view.searchField()->setDebounce(300ms);
    peer.setData("threats", R"([{"id": 12, "ts": 1767261600.0, "kind": "yara", "severity": "critical",
        "path": "/home/ana/Downloads/invoice.pdf.exe", "signature": "Win_Trojan_Agent", "status": "detected"}])");
    peer.clearRequests();
    QTest::keyClicks(view.searchField(), "INVOICE");
    QTest::qWait(100);
    EXPECT_TRUE(requestsFor(peer, "threats").isEmpty()); // still typing
    ASSERT_TRUE(waitFor([&] { return requestsFor(peer, "threats").size() == 1; }));
    EXPECT_EQ(requestsFor(peer, "threats")[0], (QJsonObject{{"op", "threats"}, {"limit", 200}, {"query", "INVOICE"}}));
    ASSERT_TRUE(waitFor([&] { return view.listModel().rowCount() == 1; }));

    // A poll brings the whole list to the client; the screen keeps its results and asks again.
    peer.loadDataObject(ScriptedPeer::sampleDataObject());
    peer.setData("threats", R"([])");
    peer.clearRequests();
    QCoro::waitFor(client.refresh());
    ASSERT_TRUE(waitFor([&] { return requestsFor(peer, "threats").size() == 2; }));
    EXPECT_FALSE(requestsFor(peer, "threats")[0].contains("query")); // the poll: unfiltered
    EXPECT_EQ(requestsFor(peer, "threats")[1].value("query").toString(), "INVOICE");
    ASSERT_TRUE(waitFor([&] { return view.listModel().rowCount() == 0; }));

    // Cleared: the polled list at once, nothing more asked. (The poll first: the search it
    // sets off is let through before the field is cleared.)
    peer.loadDataObject(ScriptedPeer::sampleDataObject());
    peer.clearRequests();
    QCoro::waitFor(client.refresh());
    ASSERT_TRUE(waitFor([&] { return requestsFor(peer, "threats").size() == 2; }));
    peer.clearRequests();
    view.searchField()->clear();
    EXPECT_EQ(view.listModel().rowCount(), 4);
    QTest::qWait(400);
    EXPECT_TRUE(requestsFor(peer, "threats").isEmpty());

    // An agent that refuses the search says why.
    peer.setReply("events", "{\"ok\":false,\"data\":null,\"error\":\"query longer than 1000 characters\"}\n");
    EventsView events(ScreenContext{&client, nullptr, &player});
    events.show();
    events.searchField()->setText("x");
    Q_EMIT events.searchField()->returnPressed();
    ASSERT_TRUE(waitFor([&] { return !events.noticeText().isEmpty(); }));
    EXPECT_EQ(events.noticeText(), "Căutarea nu a reușit: query longer than 1000 characters");
    EXPECT_EQ(events.listModel().rowCount(), 0);
}

TEST_F(HistoryScreens, AnExportThatIsCancelledOrGoesWrongLeavesNoFile)
{
    EventsView view(ScreenContext{&client, nullptr, &player});
    view.show();
    const QString target = dir.filePath("out/evenimente.csv");
    ASSERT_TRUE(QDir().mkpath(dir.filePath("out")));
    const auto nothingWritten = [&] { return QDir(dir.filePath("out")).entryList(QDir::Files | QDir::Hidden).isEmpty(); };

    // Cancelled from the progress dialog while pages arrive.
    peer.setBehaviour("export", eventPages(50000, 1000, 40ms));
    bool done = false;
    exportThenFlag(view.exportFlow(), target, &done);
    QProgressDialog *progress = nullptr;
    ASSERT_TRUE(waitFor([&] {
        progress = view.findChild<QProgressDialog *>("export.progress");
        return progress && progress->value() >= 2000;
    }));
    for (QAbstractButton *b : progress->findChildren<QAbstractButton *>())
        if (b->text() == "Anulează")
            b->click();
    ASSERT_TRUE(waitFor([&] { return done; }));
    EXPECT_EQ(view.noticeText(), "Exportul a fost anulat; nu s-a scris niciun fișier.");
    EXPECT_TRUE(nothingWritten());

    // Run to its end, the pages make the file in order, and nothing is left beside it.
    peer.clearRequests();
    peer.setBehaviour("export", eventPages(9000, 4000));
    QCoro::waitFor(view.exportFlow()->exportTo(target, "row 1"));
    EXPECT_EQ(view.noticeText(), "Export încheiat: 9000 de evenimente salvate în " + target);
    const QList<QJsonObject> pages = requestsFor(peer, "export");
    ASSERT_EQ(pages.size(), 3);
    EXPECT_EQ(pages[0], (QJsonObject{{"op", "export"}, {"kind", "events"}, {"format", "csv"}, {"query", "row 1"},
                                     {"cursor", 0}}));
    EXPECT_EQ(pages[2].value("cursor").toInteger(), 8000);
    QFile file(target);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray csv = file.readAll();
    EXPECT_TRUE(csv.startsWith("\xef\xbb\xbfid,time,source,action,target\r\n1,"));
    EXPECT_EQ(csv.count("\r\n"), 9001);
    EXPECT_TRUE(csv.endsWith("9000,2026-01-05T12:00:00Z,file,row 8999,/x\r\n"));
    EXPECT_EQ(QDir(dir.filePath("out")).entryList(QDir::Files | QDir::Hidden), (QStringList{"evenimente.csv"}));
    file.close();
    QFile::remove(target);

    // Hostile pages: another kind, a cursor that does not move, pages that never end.
    const QList<QPair<QByteArray, QString>> hostile{
        {R"({"kind":"threats","format":"csv","chunk":"a","rows":1,"total":1})", "the agent answered with an export of threats as csv"},
        {R"({"kind":"events","format":"csv","chunk":"a","rows":1,"total":9,"next":0})", "the export does not advance (cursor 0)"},
        {R"({"kind":"events","format":"csv","chunk":"a","rows":1,"total":9,"next":"1"})", "ExportPage.next"},
    };
    for (const auto &[data, why] : hostile) {
        peer.setData("export", data);
        QCoro::waitFor(view.exportFlow()->exportTo(target, QString()));
        EXPECT_TRUE(view.noticeText().startsWith("Exportul nu a reușit: ")) << view.noticeText().toStdString();
        EXPECT_TRUE(view.noticeText().contains(why)) << view.noticeText().toStdString();
        EXPECT_TRUE(nothingWritten());
    }
    ScriptedPeer::Behaviour endless;
    endless.respond = [](const QByteArray &request) {
        const qint64 cursor = json(request).value("cursor").toInteger();
        return R"({"ok":true,"data":{"kind":"events","format":"csv","chunk":"x\r\n","rows":1,"total":3,"next":)"
               + QByteArray::number(cursor + 1) + "}}\n";
    };
    peer.setBehaviour("export", endless);
    QCoro::waitFor(view.exportFlow()->exportTo(target, QString()));
    EXPECT_TRUE(view.noticeText().contains("the export does not end")) << view.noticeText().toStdString();
    EXPECT_TRUE(nothingWritten());

    // An agent without exports, and a folder that is not there.
    peer.clearReply("export");
    QCoro::waitFor(view.exportFlow()->exportTo(target, QString()));
    EXPECT_EQ(view.noticeText(), "Exportul nu a reușit: unknown op. Nu s-a scris niciun fișier.");
    QCoro::waitFor(view.exportFlow()->exportTo(dir.filePath("missing/x.csv"), QString()));
    EXPECT_TRUE(view.noticeText().startsWith("Exportul nu a reușit: ")) << view.noticeText().toStdString();
    EXPECT_FALSE(QFile::exists(dir.filePath("missing/x.csv")));
}

TEST_F(HistoryScreens, AFullDiskFailsTheExportAndKeepsTheOldFile)
{
    const QString mount = dir.filePath("small");
    ASSERT_TRUE(QDir().mkpath(mount));
    if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=64k", "tmpfs", mount}) != 0)
        GTEST_SKIP() << "a small tmpfs cannot be mounted here";
    struct Unmount {
        QString at;
        ~Unmount() { QProcess::execute("umount", {at}); }
    } unmount{mount};
    const QString path = mount + "/evenimente.csv";
    {
        QFile old(path);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("an earlier export\n");
    }
    peer.setBehaviour("export", eventPages(20000, 2000));
    AgentClient &agent = client;
    ExportJob job(&agent, ExportRequest{"events", "csv", {}, {}, {}}, path);
    const ExportOutcome outcome = QCoro::waitFor(job.run());
    EXPECT_FALSE(outcome.ok);
    EXPECT_FALSE(outcome.error.isEmpty());
    QFile old(path);
    ASSERT_TRUE(old.open(QIODevice::ReadOnly));
    EXPECT_EQ(old.readAll(), "an earlier export\n"); // untouched, and nothing beside it
    EXPECT_EQ(QDir(mount).entryList(QDir::Files | QDir::Hidden), (QStringList{"evenimente.csv"}));
}
