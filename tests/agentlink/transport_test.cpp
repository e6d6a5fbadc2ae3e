// The transport against a scripted peer on a real Unix socket.

#include "agentlink/decode.h"
#include "agentlink/scriptedpeer.h"
#include "agentlink/transport.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>

#include <atomic>
#include <csignal>
#include <thread>

#include <pthread.h>

using namespace std::chrono_literals;
using tsav::ScriptedPeer;
using tsav::requestBlocking;

namespace {

class Transport : public ::testing::Test {
protected:
    tsav::test::ScratchDir scratch;
    QString socket = scratch.path();
};

const QByteArray summaryRequest = QByteArrayLiteral("{\"op\":\"summary\"}\n");

TEST_F(Transport, MissingSocketFailsWithConnectNamingThePath)
{
    auto r = requestBlocking(socket, summaryRequest, 5s);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().domain, "tsav.unixsocket");
    EXPECT_EQ(r.error().code, ENOENT);
    EXPECT_TRUE(r.error().message.startsWith("connect(" + socket + "): ")) << r.error().message.toStdString();
    const QString description = r.error().description();
    EXPECT_TRUE(description.contains("tsav.unixsocket") && description.contains(QString::number(ENOENT))
                && description.contains(r.error().message));
}

TEST_F(Transport, PathOverOneHundredThreeBytesFailsWithoutTouchingTheFile)
{
    // 103 bytes is still allowed; 104 is not. Multi-byte characters count in UTF-8 bytes.
    const QString dir = scratch.root() + "/";
    const QString at103 = dir + QString(103 - dir.toUtf8().size(), 'a');
    const QString at104 = dir + QString(52 - dir.toUtf8().size() / 2, QChar(0x0103)) + (dir.toUtf8().size() % 2 ? "" : "b");
    ASSERT_EQ(at103.toUtf8().size(), 103);
    ASSERT_GE(at104.toUtf8().size(), 104);

    auto ok = requestBlocking(at103, summaryRequest, 5s);
    ASSERT_FALSE(ok.ok());
    EXPECT_TRUE(ok.error().message.startsWith("connect(")); // got as far as connecting

    auto tooLong = requestBlocking(at104, summaryRequest, 5s);
    ASSERT_FALSE(tooLong.ok());
    EXPECT_EQ(tooLong.error().domain, "tsav.unixsocket");
    EXPECT_TRUE(tooLong.error().message.startsWith("path too long: "));
    EXPECT_FALSE(QFileInfo::exists(at104));
}

TEST_F(Transport, ReplyEndsAtLineFeedWhileConnectionStaysOpen)
{
    ScriptedPeer peer(socket);
    ASSERT_TRUE(peer.isListening()) << peer.errorString().toStdString();
    ScriptedPeer::Behaviour b;
    b.bytes = "{\"ok\":true,\"data\":{\"a\":1}}\n";
    b.closeAfterReply = false;
    peer.setBehaviour("summary", b);

    // Waiting for the end of the connection would take the whole 120 s time limit;
    // the test's own timeout is shorter, so a hang fails it.
    auto r = requestBlocking(socket, summaryRequest, 120s);
    ASSERT_TRUE(r.ok()) << r.error().description().toStdString();
    EXPECT_EQ(r.value(), b.bytes);
    EXPECT_EQ(peer.requests(), QList<QByteArray>{"{\"op\":\"summary\"}"});
}

TEST_F(Transport, ReplyWithoutLineFeedIsReturnedAtTheTimeLimit)
{
    ScriptedPeer peer(socket);
    ScriptedPeer::Behaviour b;
    b.bytes = "{\"ok\":true";
    b.closeAfterReply = false;
    peer.setBehaviour("summary", b);

    auto r = requestBlocking(socket, summaryRequest, 1s);
    ASSERT_TRUE(r.ok()) << r.error().description().toStdString();
    EXPECT_EQ(r.value(), b.bytes);
    auto parsed = tsav::parseReply(r.value());
    ASSERT_FALSE(parsed.ok());
    EXPECT_EQ(parsed.error().domain, "tsav.json");
}

TEST_F(Transport, ReplyEndingWithTheConnectionIsAccepted)
{
    ScriptedPeer peer(socket);
    peer.setReply("summary", "{\"ok\":true}"); // no line feed, then close
    auto r = requestBlocking(socket, summaryRequest, 5s);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), "{\"ok\":true}");
}

TEST_F(Transport, PeerClosingWithoutWritingIsEmptyResponse)
{
    ScriptedPeer peer(socket);
    peer.setReply("summary", QByteArray());
    auto r = requestBlocking(socket, summaryRequest, 5s);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().domain, "tsav.unixsocket");
    EXPECT_TRUE(r.error().message.startsWith("empty response: "));
}

TEST_F(Transport, TrickledReplyArrivesWhole)
{
    ScriptedPeer peer(socket);
    ScriptedPeer::Behaviour b;
    QByteArray data = "[";
    for (int i = 0; i < 3000; ++i)
        data += (i ? "," : "") + QByteArray::number(i);
    data += "]";
    b.bytes = "{\"ok\":true,\"data\":" + data + "}\n";
    b.trickleChunk = 997; // chunks that split numbers and the final line feed apart
    b.trickleDelay = 2ms;
    peer.setBehaviour("summary", b);

    auto r = requestBlocking(socket, summaryRequest, 10s);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), b.bytes);
    auto parsed = tsav::parseReply(r.value());
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ(parsed.value().dataJson(), data);
}

TEST_F(Transport, PeerClosingBeforeReadingRaisesSendWithoutSigpipe)
{
    // SIGPIPE keeps its default action here: a send without MSG_NOSIGNAL would end the
    // whole test program.
    struct sigaction old {};
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, &old);

    ScriptedPeer peer(socket);
    peer.setCloseBeforeReading(true);
    const QByteArray big(16 * 1024 * 1024, 'x'); // larger than any socket buffer
    auto r = requestBlocking(socket, big, 10s);
    sigaction(SIGPIPE, &old, nullptr);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().domain, "tsav.unixsocket");
    EXPECT_TRUE(r.error().message.startsWith("send: ")) << r.error().message.toStdString();
}

TEST_F(Transport, ReplyPastTheCapFailsClearly)
{
    ScriptedPeer peer(socket);
    ScriptedPeer::Behaviour b;
    b.bytes = QByteArray(tsav::maxReplyBytes + 100, ' ');
    peer.setBehaviour("summary", b);
    auto r = requestBlocking(socket, summaryRequest, 30s);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().domain, "tsav.unixsocket");
    EXPECT_TRUE(r.error().message.startsWith("reply too large"));
}

TEST_F(Transport, EveryRequestUsesAFreshConnection)
{
    ScriptedPeer peer(socket);
    peer.setData("summary", "{}");
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(requestBlocking(socket, summaryRequest, 5s).ok());
    EXPECT_EQ(peer.connectionCount(), 3);
    EXPECT_EQ(peer.requestCount("summary"), 3);
}

// A receive interrupted by a signal is retried instead of ending the reply.
std::atomic<int> interruptions{0};
void onSignal(int) { interruptions.fetch_add(1); }

TEST_F(Transport, InterruptedReceiveIsRetried)
{
    struct sigaction sa {};
    sa.sa_handler = onSignal; // no SA_RESTART: recv returns EINTR
    struct sigaction old {};
    sigaction(SIGUSR1, &sa, &old);

    ScriptedPeer peer(socket);
    ScriptedPeer::Behaviour b;
    b.bytes = "{\"ok\":true,\"data\":{}}\n";
    b.delay = 400ms;
    peer.setBehaviour("summary", b);

    std::atomic<bool> finished{false};
    std::optional<tsav::Expected<QByteArray>> result;
    std::thread worker([&] {
        result.emplace(requestBlocking(socket, summaryRequest, 10s));
        finished = true;
    });
    const pthread_t handle = worker.native_handle();
    interruptions = 0;
    while (!finished) {
        pthread_kill(handle, SIGUSR1);
        std::this_thread::sleep_for(5ms);
    }
    worker.join();
    sigaction(SIGUSR1, &old, nullptr);

    EXPECT_GT(interruptions.load(), 0);
    ASSERT_TRUE(result->ok()) << result->error().description().toStdString();
    EXPECT_EQ(result->value(), b.bytes);
}

} // namespace
