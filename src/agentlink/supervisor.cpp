#include "agentlink/supervisor.h"

#include "agentlink/transport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace tsav {

namespace {
// Debian's interpreter: it sees the python3-* packages the agent needs, whatever else
// comes first on PATH.
const char systemPython[] = "/usr/bin/python3";
} // namespace

bool socketAcceptsConnections(const QString &path)
{
    sockaddr_un addr{};
    if (!unixSocketAddress(path, addr))
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    // Non-blocking: a listener whose backlog is full (EAGAIN) is alive but busy.
    const int rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    const bool alive = rc == 0 || errno == EAGAIN || errno == EINPROGRESS;
    ::close(fd);
    return alive;
}

qsizetype incompleteUtf8Tail(const QByteArray &data)
{
    const qsizetype n = data.size();
    for (qsizetype back = 1; back <= 4 && back <= n; ++back) {
        const auto byte = static_cast<unsigned char>(data[n - back]);
        if ((byte & 0xC0) == 0x80)
            continue; // continuation byte: keep looking for the lead
        qsizetype expected = 1; // ASCII, or a byte that can never start a character
        if (byte >= 0xC2 && byte <= 0xDF)
            expected = 2;
        else if (byte >= 0xE0 && byte <= 0xEF)
            expected = 3;
        else if (byte >= 0xF0 && byte <= 0xF4)
            expected = 4;
        return expected > back ? back : 0;
    }
    return 0;
}

QString AgentSupervisor::resourcesDirectory()
{
    if (!QCoreApplication::instance())
        return QString();
    return QFileInfo(QCoreApplication::applicationDirPath() + QStringLiteral("/../share/tessaly-antivirus"))
        .canonicalFilePath();
}

QString AgentSupervisor::defaultHome() { return QDir::homePath(); }

AgentSupervisor::AgentSupervisor(QString resourcesDir, QString homeDir, QObject *parent)
    : QObject(parent), m_resourcesDir(std::move(resourcesDir)), m_homeDir(std::move(homeDir)),
      m_relaunchTimer(new QTimer(this))
{
    m_relaunchTimer->setSingleShot(true);
    connect(m_relaunchTimer, &QTimer::timeout, this, [this] {
        if (m_state != State::relaunchPending)
            return;
        // Another agent may have come up meanwhile (a service manager, the user).
        const QString socket = socketPath();
        if (QFileInfo::exists(socket) && socketAcceptsConnections(socket)) {
            appendLog(QStringLiteral("[supervisor] an agent answers again; using it\n"));
            setState(State::adopted);
            return;
        }
        launch();
    });
}

AgentSupervisor::~AgentSupervisor()
{
    if (!m_process)
        return;
    m_process->disconnect(this);
    if (m_process->state() == QProcess::NotRunning) {
        delete m_process;
        return;
    }
    // Deleting a QProcess kills its child; the agent outlives the console instead. Its
    // output is still drained so that it never blocks on a full pipe while we run.
    QProcess *orphan = m_process;
    QObject::connect(orphan, &QProcess::readyReadStandardOutput, orphan, [orphan] { orphan->readAll(); });
    QObject::connect(orphan, &QProcess::finished, orphan, &QObject::deleteLater);
}

QString AgentSupervisor::socketPath() const { return agentSocketPath(m_homeDir); }

void AgentSupervisor::startIfNeeded()
{
    if (m_state == State::childRunning)
        return; // our child is up, or still opening its socket
    const QString socket = socketPath();
    if (QFileInfo::exists(socket) && socketAcceptsConnections(socket)) {
        m_relaunchTimer->stop();
        setState(State::adopted);
        return;
    }
    m_relaunchTimer->stop(); // a pending relaunch happens now instead
    launch();
}

void AgentSupervisor::agentUnreachable()
{
    if (m_state != State::adopted)
        return; // our child's exit, or the next start, decides
    const QString socket = socketPath();
    if (QFileInfo::exists(socket) && socketAcceptsConnections(socket))
        return; // busy or refusing one request, but there
    m_failures = 0;
    scheduleRelaunch(QStringLiteral("the agent stopped answering"));
}

QString AgentSupervisor::agentDirectory() const
{
    if (!m_resourcesDir.isEmpty() && QFileInfo::exists(m_resourcesDir + QStringLiteral("/agent")))
        return m_resourcesDir;
    return m_homeDir + QStringLiteral("/Desktop/TessalyAntivirus");
}

QStringList AgentSupervisor::command() const
{
    const QString venvPython = agentDirectory() + QStringLiteral("/.venv/bin/python3");
    const QString program = QFileInfo::exists(venvPython) ? venvPython : QString::fromLatin1(systemPython);
    return {program, QStringLiteral("-m"), QStringLiteral("agent.main")};
}

qint64 AgentSupervisor::childPid() const
{
    return m_process && m_process->state() != QProcess::NotRunning ? m_process->processId() : 0;
}

std::chrono::milliseconds AgentSupervisor::nextRelaunchDelay() const
{
    auto delay = m_policy.firstDelay;
    for (int i = 0; i < m_failures && delay < m_policy.maxDelay; ++i)
        delay *= 2;
    return std::min(delay, m_policy.maxDelay);
}

void AgentSupervisor::launch()
{
    if (m_process && m_process->state() != QProcess::NotRunning)
        return; // one child at a time
    if (m_process) {
        m_process->disconnect(this);
        m_process->deleteLater();
        m_process = nullptr;
    }
    m_pendingUtf8.clear();

    const QString directory = agentDirectory();
    QStringList cmd = command();
    const QString program = cmd.takeFirst();

    auto *child = new QProcess; // no parent: its destruction would kill the agent
    m_process = child;
    child->setProcessChannelMode(QProcess::MergedChannels);
    child->setProgram(program);
    child->setArguments(cmd);
    child->setWorkingDirectory(directory);

    connect(child, &QProcess::readyReadStandardOutput, this, &AgentSupervisor::readOutput);
    connect(child, &QProcess::started, this, [this, directory] {
        m_startedAt = std::chrono::steady_clock::now();
        setState(State::childRunning);
        appendLog(QStringLiteral("[supervisor] launched agent at ") + directory + u'\n');
        if (std::exchange(m_relaunching, false))
            Q_EMIT relaunched();
    });
    connect(child, &QProcess::errorOccurred, this, [this, child](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        appendLog(QStringLiteral("[supervisor] failed to launch agent: ") + child->errorString() + u'\n');
        // A failed relaunch tries again later; a failed first launch waits for the next start.
        if (std::exchange(m_relaunching, false))
            scheduleRelaunch(QStringLiteral("the agent could not be started"));
        else
            setState(State::idle);
    });
    connect(child, &QProcess::finished, this, [this, child](int exitCode, QProcess::ExitStatus status) {
        childFinished(child, exitCode, status == QProcess::CrashExit);
    });
    child->start();
}

void AgentSupervisor::childFinished(QProcess *child, int exitCode, bool crashed)
{
    if (child != m_process)
        return;
    readOutput();
    if (!m_pendingUtf8.isEmpty()) // a character the child never finished
        appendLog(QString::fromUtf8(std::exchange(m_pendingUtf8, {})));
    // (For a child ended by a signal, QProcess reports the signal's number as the code.)
    appendLog(crashed ? QStringLiteral("\n[agent ended by signal ") + QString::number(exitCode) + QStringLiteral("]\n")
                      : QStringLiteral("\n[agent exited with code ") + QString::number(exitCode) + QStringLiteral("]\n"));

    if (std::chrono::steady_clock::now() - m_startedAt >= m_policy.stableAfter)
        m_failures = 0;
    if (crashed) {
        scheduleRelaunch(QStringLiteral("the agent stopped unexpectedly"));
    } else if (exitCode == 0) {
        setState(State::stopped);
    } else if (exitCode == exitSocketTaken) {
        const QString socket = socketPath();
        if (QFileInfo::exists(socket) && socketAcceptsConnections(socket)) {
            appendLog(QStringLiteral("[supervisor] another agent answers on the socket; using it\n"));
            setState(State::adopted);
        } else {
            setState(State::stopped); // something else is in the way: not ours to remove
        }
    } else if (exitCode == exitOtherOwner) {
        appendLog(QStringLiteral("[supervisor] another agent owns the data directory; not relaunching\n"));
        setState(State::otherOwner);
    } else {
        scheduleRelaunch(QStringLiteral("the agent stopped unexpectedly"));
    }
}

void AgentSupervisor::scheduleRelaunch(const QString &why)
{
    const auto delay = nextRelaunchDelay();
    ++m_failures;
    m_relaunching = true;
    setState(State::relaunchPending);
    appendLog(QStringLiteral("[supervisor] %1; relaunching in %2 s\n")
                  .arg(why, QString::number(double(delay.count()) / 1000.0)));
    m_relaunchTimer->start(delay);
}

void AgentSupervisor::readOutput()
{
    QByteArray bytes = m_pendingUtf8 + m_process->readAllStandardOutput();
    const qsizetype tail = incompleteUtf8Tail(bytes);
    m_pendingUtf8 = bytes.right(tail);
    bytes.chop(tail);
    if (!bytes.isEmpty())
        appendLog(QString::fromUtf8(bytes)); // invalid bytes become U+FFFD
}

void AgentSupervisor::echo(const QByteArray &bytes) const
{
    // Best effort: a closed or full standard error never holds up the console. Writes go
    // out only while poll says there is room, and no more than a pipe takes at once.
    qsizetype done = 0;
    while (m_echoFd >= 0 && done < bytes.size()) {
        pollfd p{m_echoFd, POLLOUT, 0};
        if (::poll(&p, 1, 0) != 1 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)))
            return;
        const size_t step = std::min<size_t>(PIPE_BUF, static_cast<size_t>(bytes.size() - done));
        const ssize_t n = ::write(m_echoFd, bytes.constData() + done, step);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += n;
    }
}

void AgentSupervisor::setState(State state)
{
    const bool wasRunning = running();
    m_state = state;
    Q_EMIT stateChanged();
    // Every entry into a state notifies (an adoption at each start included).
    if (wasRunning != running() || running())
        Q_EMIT runningChanged();
}

void AgentSupervisor::appendLog(const QString &text)
{
    echo(text.toUtf8());
    m_lastLog += text;
    if (m_lastLog.size() > maxLogChars) {
        qsizetype drop = m_lastLog.size() - maxLogChars;
        if (m_lastLog.at(drop).isLowSurrogate())
            ++drop; // never keep half of a surrogate pair
        m_lastLog.remove(0, drop);
    }
    Q_EMIT lastLogChanged();
}

} // namespace tsav
