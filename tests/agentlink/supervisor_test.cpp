// The supervisor with a temporary home, small fake agent packages and real children.

#include "agentlink/scriptedpeer.h"
#include "agentlink/supervisor.h"
#include "agentlink/transport.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>

#include <csignal>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using tsav::AgentSupervisor;
using tsav::test::waitUntil;

namespace {

// A fake agent package: <dir>/agent/__init__.py and agent/main.py with this body.
void writeAgent(const QString &dir, const QByteArray &mainPy)
{
    ASSERT_TRUE(tsav::test::writeFile(dir + "/agent/__init__.py", ""));
    ASSERT_TRUE(tsav::test::writeFile(dir + "/agent/main.py", mainPy));
}

class Supervisor : public ::testing::Test {
protected:
    void SetUp() override { tsav::test::app(); }
    tsav::test::ScratchDir scratch;
    QString home = scratch.root() + "/home";
    QString resources = scratch.root() + "/share";
    QString fallback = home + "/Desktop/TessalyAntivirus";
};

TEST_F(Supervisor, ChildThatPrintsAndExitsWithThreeIsLogged)
{
    writeAgent(resources, "import sys\nprint('agent booting', flush=True)\nsys.exit(3)\n");
    AgentSupervisor supervisor(resources, home);
    EXPECT_EQ(supervisor.agentDirectory(), resources);
    EXPECT_EQ(supervisor.command(), (QStringList{"/usr/bin/python3", "-m", "agent.main"}));
    QSignalSpy running(&supervisor, &AgentSupervisor::runningChanged);

    supervisor.startIfNeeded();
    ASSERT_TRUE(waitUntil([&] { return supervisor.lastLog().contains("not relaunching"); }));
    // 3: another agent owns the data directory. Said once, never retried in a loop.
    EXPECT_EQ(supervisor.lastLog(), "[supervisor] launched agent at " + resources
                                        + "\nagent booting\n\n[agent exited with code 3]\n"
                                          "[supervisor] another agent owns the data directory; not relaunching\n");
    EXPECT_FALSE(supervisor.running());
    EXPECT_EQ(supervisor.state(), AgentSupervisor::State::otherOwner);
    ASSERT_EQ(running.count(), 2); // true at launch, false at exit
    waitUntil([] { return false; }, std::chrono::milliseconds(1500));
    EXPECT_EQ(supervisor.lastLog().count("launched agent"), 1);

    // Showing the window again tries once more, and only once.
    supervisor.startIfNeeded();
    ASSERT_TRUE(waitUntil([&] { return supervisor.lastLog().count("not relaunching") == 2; }));
    waitUntil([] { return false; }, std::chrono::milliseconds(500));
    EXPECT_EQ(supervisor.lastLog().count("launched agent"), 2);
}

// A fake agent that ends itself with SIGKILL on its first `crashes` runs (counted in a
// file beside it), then stays up until killed.
QByteArray crashingAgent(const QString &counter, int crashes)
{
    return QStringLiteral("import os, signal, time\n"
                          "path = '%1'\n"
                          "n = int(open(path).read()) if os.path.exists(path) else 0\n"
                          "open(path, 'w').write(str(n + 1))\n"
                          "print('run', n + 1, flush=True)\n"
                          "if n < %2:\n"
                          "    os.kill(os.getpid(), signal.SIGKILL)\n"
                          "time.sleep(60)\n")
        .arg(counter)
        .arg(crashes)
        .toUtf8();
}

TEST_F(Supervisor, CrashedChildIsRelaunchedWithABackOffThatDoubles)
{
    writeAgent(resources, crashingAgent(scratch.root() + "/runs", 3));
    AgentSupervisor supervisor(resources, home);
    supervisor.setEchoDescriptor(-1);
    supervisor.setRestartPolicy({std::chrono::milliseconds(100), std::chrono::milliseconds(300),
                                 std::chrono::seconds(60)});
    QSignalSpy relaunched(&supervisor, &AgentSupervisor::relaunched);
    supervisor.startIfNeeded();
    ASSERT_TRUE(waitUntil([&] { return supervisor.lastLog().contains("run 4\n"); }));
    ASSERT_TRUE(waitUntil([&] { return supervisor.state() == AgentSupervisor::State::childRunning; }));
    const QString log = supervisor.lastLog();
    EXPECT_EQ(log.count("[agent ended by signal 9]"), 3) << log.toStdString();
    // 0.1, 0.2, then the cap of 0.3 s.
    const qsizetype a = log.indexOf("relaunching in 0.1 s"), b = log.indexOf("relaunching in 0.2 s"),
                    c = log.indexOf("relaunching in 0.3 s");
    EXPECT_TRUE(a >= 0 && b > a && c > b) << log.toStdString();
    EXPECT_EQ(relaunched.count(), 3);
    EXPECT_TRUE(supervisor.running());
    const qint64 pid = supervisor.childPid();
    ASSERT_GT(pid, 0);
    ::kill(pid_t(pid), SIGKILL); // the last child too: relaunched, and cleaned up
    ASSERT_TRUE(waitUntil([&] { return supervisor.childPid() != 0 && supervisor.childPid() != pid; }));
    ::kill(pid_t(supervisor.childPid()), SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return supervisor.state() == AgentSupervisor::State::relaunchPending; }));
}

TEST_F(Supervisor, CleanExitIsNotRelaunchedButTheNextStartTriesAndAPendingRelaunchComesAtOnce)
{
    writeAgent(resources, "print('done')\n");
    AgentSupervisor supervisor(resources, home);
    supervisor.setEchoDescriptor(-1);
    supervisor.startIfNeeded();
    ASSERT_TRUE(waitUntil([&] { return supervisor.state() == AgentSupervisor::State::stopped; }));
    waitUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(supervisor.lastLog().count("launched agent"), 1);

    // A long back-off is cut short by the next start (the window shown again).
    writeAgent(resources, "import sys\nsys.exit(1)\n");
    supervisor.setRestartPolicy({std::chrono::seconds(30), std::chrono::seconds(60), std::chrono::seconds(60)});
    supervisor.startIfNeeded();
    ASSERT_TRUE(waitUntil([&] { return supervisor.state() == AgentSupervisor::State::relaunchPending; }));
    EXPECT_TRUE(supervisor.lastLog().contains("relaunching in 30 s"));
    supervisor.startIfNeeded();
    ASSERT_TRUE(waitUntil([&] { return supervisor.lastLog().count("launched agent") == 3; }));
}

TEST_F(Supervisor, SocketTakenAdoptsTheAgentThereAndAnAdoptedAgentThatGoesIsReplaced)
{
    writeAgent(resources, "import sys\nsys.exit(2)\n");
    AgentSupervisor supervisor(resources, home);
    supervisor.setEchoDescriptor(-1);
    supervisor.setRestartPolicy({std::chrono::milliseconds(50), std::chrono::milliseconds(50),
                                 std::chrono::seconds(60)});
    supervisor.launch(); // as if the socket were free when it looked
    auto peer = std::make_unique<tsav::ScriptedPeer>(supervisor.socketPath());
    ASSERT_TRUE(peer->isListening());
    ASSERT_TRUE(waitUntil([&] { return supervisor.state() == AgentSupervisor::State::adopted; }));
    EXPECT_TRUE(supervisor.lastLog().contains("another agent answers on the socket; using it"));

    supervisor.agentUnreachable(); // still answers: nothing happens
    EXPECT_EQ(supervisor.state(), AgentSupervisor::State::adopted);

    writeAgent(resources, crashingAgent(scratch.root() + "/runs", 0));
    peer.reset(); // the adopted agent goes away
    supervisor.agentUnreachable();
    EXPECT_EQ(supervisor.state(), AgentSupervisor::State::relaunchPending);
    ASSERT_TRUE(waitUntil([&] { return supervisor.lastLog().contains("run 1\n"); }));
    EXPECT_EQ(supervisor.state(), AgentSupervisor::State::childRunning);
    ::kill(pid_t(supervisor.childPid()), SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return supervisor.state() == AgentSupervisor::State::relaunchPending; }));
}

TEST_F(Supervisor, LogIsCopiedToTheEchoDescriptorAsItGrows)
{
    writeAgent(resources, "import sys\nprint('warning: disk almost full', flush=True)\n"
                          "sys.stderr.write('Traceback: boom\\n')\nsys.exit(0)\n");
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    AgentSupervisor supervisor(resources, home);
    supervisor.setEchoDescriptor(fds[1]);
    supervisor.startIfNeeded();
    ASSERT_TRUE(waitUntil([&] { return supervisor.lastLog().contains("[agent exited"); }));
    ::close(fds[1]);
    QByteArray echoed;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
        echoed.append(buf, n);
    ::close(fds[0]);
    // The child's output between the supervisor's launch and exit lines, as in lastLog.
    EXPECT_EQ(QString::fromUtf8(echoed), supervisor.lastLog());
    EXPECT_TRUE(echoed.contains("warning: disk almost full\nTraceback: boom\n"));
    EXPECT_TRUE(echoed.endsWith("[agent exited with code 0]\n"));
}

// An echo pipe nobody reads (writes fail with EPIPE) or one that is never drained (it fills
// at 64 KiB): the child is neither blocked nor its output lost.
TEST_F(Supervisor, ClosedOrFullEchoPipeNeitherBlocksNorLosesTheLog)
{
    writeAgent(resources, "for i in range(30):\n    print(str(i) * 10000, flush=True)\n");
    for (const bool closeReader : {true, false}) {
        SCOPED_TRACE(closeReader ? "closed" : "full");
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        if (closeReader)
            ::close(fds[0]);
        AgentSupervisor supervisor(resources, home);
        supervisor.setEchoDescriptor(fds[1]);
        supervisor.startIfNeeded();
        ASSERT_TRUE(waitUntil([&] { return supervisor.lastLog().contains("[agent exited with code 0]"); }));
        EXPECT_TRUE(supervisor.lastLog().contains(QString(10000, u'7')));
        EXPECT_TRUE(supervisor.lastLog().contains(QString("29").repeated(10000)));
        if (!closeReader)
            ::close(fds[0]);
        ::close(fds[1]);
    }
}

TEST_F(Supervisor, MissingDirectoryLogsTheFailure)
{
    AgentSupervisor supervisor(resources, home); // no "agent" in resources, no fallback folder
    EXPECT_EQ(supervisor.agentDirectory(), fallback);
    EXPECT_EQ(supervisor.command().first(), "/usr/bin/python3");
    supervisor.startIfNeeded();
    ASSERT_TRUE(waitUntil([&] { return !supervisor.lastLog().isEmpty(); }));
    EXPECT_TRUE(supervisor.lastLog().startsWith("[supervisor] failed to launch agent: "));
    EXPECT_TRUE(supervisor.lastLog().endsWith("\n"));
    EXPECT_FALSE(supervisor.running());
}

TEST_F(Supervisor, VirtualEnvironmentIsPreferredInTheFallbackFolder)
{
    writeAgent(fallback, "");
    // A stand-in interpreter that reports how it was called.
    ASSERT_TRUE(tsav::test::writeFile(fallback + "/.venv/bin/python3",
                                      "#!/bin/sh\necho \"venv $* in $(pwd)\"\nexit 0\n", true));
    AgentSupervisor supervisor(QString(), home);
    EXPECT_EQ(supervisor.agentDirectory(), fallback);
    supervisor.startIfNeeded();
    ASSERT_TRUE(waitUntil([&] { return supervisor.lastLog().contains("[agent exited"); }));
    EXPECT_TRUE(supervisor.lastLog().contains("venv -m agent.main in " + QFileInfo(fallback).canonicalFilePath() + "\n"))
        << supervisor.lastLog().toStdString();
    EXPECT_TRUE(supervisor.lastLog().endsWith("[agent exited with code 0]\n"));
}

TEST_F(Supervisor, StaleSocketFileIsNotARunningAgent)
{
    writeAgent(resources, "print('fresh agent')\n");
    AgentSupervisor supervisor(resources, home);
    // A socket file nobody listens on, as a crashed agent leaves behind.
    const QString path = supervisor.socketPath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, QFile::encodeName(path).constData());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ::close(fd);
    ASSERT_TRUE(QFileInfo::exists(path));
    EXPECT_FALSE(tsav::socketAcceptsConnections(path));

    supervisor.startIfNeeded();
    ASSERT_TRUE(waitUntil([&] { return supervisor.lastLog().contains("[agent exited"); }));
    EXPECT_TRUE(supervisor.lastLog().contains("fresh agent\n"));
}

TEST_F(Supervisor, CharactersSplitAcrossReadsAreKeptAndInvalidBytesMarked)
{
    writeAgent(resources,
               "import sys, time\n"
               "out = sys.stdout.buffer\n"
               "out.write(b'\\xc4'); out.flush(); time.sleep(0.3)\n"      // first byte of U+0103
               "out.write(b'\\x83 ok \\xff\\n'); out.flush(); time.sleep(0.3)\n"
               "out.write(b'\\xf0\\x9f'); out.flush()\n");                 // cut short at exit
    AgentSupervisor supervisor(resources, home);
    supervisor.startIfNeeded();
    ASSERT_TRUE(waitUntil([&] { return supervisor.lastLog().contains("[agent exited"); }));
    EXPECT_TRUE(supervisor.lastLog().contains(QString::fromUtf8("\xc4\x83 ok \xef\xbf\xbd\n")))
        << supervisor.lastLog().toStdString();
    EXPECT_TRUE(supervisor.lastLog().contains(QChar(0xFFFD) + QString("\n[agent exited with code 0]")));
}

TEST_F(Supervisor, LogKeepsTheNewestMebibyte)
{
    // 3 MiB of numbered lines; the newest ones survive, the log never exceeds the cap.
    writeAgent(resources,
               "import sys\n"
               "for i in range(3 * 1024 * 16):\n"
               "    sys.stdout.write('%063d\\n' % i)\n");
    AgentSupervisor supervisor(resources, home);
    supervisor.setEchoDescriptor(-1); // keeps 3 MiB off the test's output
    supervisor.startIfNeeded();
    ASSERT_TRUE(waitUntil([&] { return supervisor.lastLog().contains("[agent exited"); }));
    EXPECT_EQ(supervisor.lastLog().size(), AgentSupervisor::maxLogChars);
    EXPECT_TRUE(supervisor.lastLog().contains(QString("%1\n\n[agent exited with code 0]").arg(3 * 1024 * 16 - 1, 63, 10, QChar('0'))));
    EXPECT_FALSE(supervisor.lastLog().contains(QString("%1\n").arg(0, 63, 10, QChar('0'))));
}

} // namespace
