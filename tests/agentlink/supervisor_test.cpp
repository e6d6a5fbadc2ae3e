// The supervisor with a temporary home, small fake agent packages and real children.

#include "agentlink/scriptedpeer.h"
#include "agentlink/supervisor.h"
#include "agentlink/transport.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using tsav::AgentSupervisor;
using tsav::test::waitUntil;

namespace {

void writeFile(const QString &path, const QByteArray &content, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
    f.close();
    if (executable)
        f.setPermissions(f.permissions() | QFile::ExeOwner | QFile::ExeUser);
}

// A fake agent package: <dir>/agent/__init__.py and agent/main.py with this body.
void writeAgent(const QString &dir, const QByteArray &mainPy)
{
    writeFile(dir + "/agent/__init__.py", "");
    writeFile(dir + "/agent/main.py", mainPy);
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
    ASSERT_TRUE(waitUntil([&] { return supervisor.lastLog().contains("[agent exited"); }));
    EXPECT_EQ(supervisor.lastLog(), "[supervisor] launched agent at " + resources
                                        + "\nagent booting\n\n[agent exited with code 3]\n");
    EXPECT_FALSE(supervisor.running());
    ASSERT_EQ(running.count(), 2); // true at launch, false at exit
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

TEST_F(Supervisor, ClosedEchoDescriptorNeitherBlocksNorLosesTheLog)
{
    writeAgent(resources, "print('x' * 200000, flush=True)\n");
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]); // nobody reads: writes would fail with EPIPE
    AgentSupervisor supervisor(resources, home);
    supervisor.setEchoDescriptor(fds[1]);
    supervisor.startIfNeeded();
    ASSERT_TRUE(waitUntil([&] { return supervisor.lastLog().contains("[agent exited with code 0]"); }));
    ::close(fds[1]);
    EXPECT_TRUE(supervisor.lastLog().contains(QString(200000, u'x')));
}

TEST_F(Supervisor, FullEchoPipeNeitherBlocksNorLosesTheLog)
{
    writeAgent(resources, "for i in range(30):\n    print(str(i) * 10000, flush=True)\n");
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0); // read end kept open but never read: fills at 64 KiB
    AgentSupervisor supervisor(resources, home);
    supervisor.setEchoDescriptor(fds[1]);
    supervisor.startIfNeeded();
    ASSERT_TRUE(waitUntil([&] { return supervisor.lastLog().contains("[agent exited with code 0]"); }));
    EXPECT_TRUE(supervisor.lastLog().contains(QString(10000, u'7')));
    EXPECT_TRUE(supervisor.lastLog().contains(QString("29").repeated(10000)));
    ::close(fds[0]);
    ::close(fds[1]);
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
    writeFile(fallback + "/.venv/bin/python3", "#!/bin/sh\necho \"venv $* in $(pwd)\"\nexit 0\n", true);
    AgentSupervisor supervisor(QString(), home);
    EXPECT_EQ(supervisor.agentDirectory(), fallback);
    supervisor.startIfNeeded();
    ASSERT_TRUE(waitUntil([&] { return supervisor.lastLog().contains("[agent exited"); }));
    EXPECT_TRUE(supervisor.lastLog().contains("venv -m agent.main in " + QFileInfo(fallback).canonicalFilePath() + "\n"))
        << supervisor.lastLog().toStdString();
    EXPECT_TRUE(supervisor.lastLog().endsWith("[agent exited with code 0]\n"));
}

TEST_F(Supervisor, AnsweringAgentIsAdoptedWithoutAChild)
{
    writeAgent(resources, "raise SystemExit(9)\n");
    AgentSupervisor supervisor(resources, home);
    tsav::ScriptedPeer peer(supervisor.socketPath());
    ASSERT_TRUE(peer.isListening());
    supervisor.startIfNeeded();
    EXPECT_TRUE(supervisor.running());
    waitUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_TRUE(supervisor.lastLog().isEmpty());
    EXPECT_TRUE(supervisor.running());
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

TEST(Utf8Tail, FindsOnlyCharactersCutShort)
{
    EXPECT_EQ(tsav::incompleteUtf8Tail(""), 0);
    EXPECT_EQ(tsav::incompleteUtf8Tail("abc"), 0);
    EXPECT_EQ(tsav::incompleteUtf8Tail("a\xc4"), 1);
    EXPECT_EQ(tsav::incompleteUtf8Tail("a\xc4\x83"), 0);
    EXPECT_EQ(tsav::incompleteUtf8Tail("\xe2\x82"), 2);
    EXPECT_EQ(tsav::incompleteUtf8Tail("\xf0\x9f\x98"), 3);
    EXPECT_EQ(tsav::incompleteUtf8Tail("\xf0\x9f\x98\x80"), 0);
    EXPECT_EQ(tsav::incompleteUtf8Tail("\xff"), 0);         // invalid: decoded (as U+FFFD) now
    EXPECT_EQ(tsav::incompleteUtf8Tail("\x83\x83\x83\x83"), 0);
}

} // namespace
