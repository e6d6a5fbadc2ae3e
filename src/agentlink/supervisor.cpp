#include "agentlink/supervisor.h"

#include "agentlink/transport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

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
    const QByteArray bytes = QFile::encodeName(path);
    sockaddr_un addr{};
    if (bytes.size() >= static_cast<qsizetype>(sizeof addr.sun_path))
        return false;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, bytes.constData(), static_cast<size_t>(bytes.size()));
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
    : QObject(parent), m_resourcesDir(std::move(resourcesDir)), m_homeDir(std::move(homeDir))
{
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
    const QString socket = socketPath();
    if (QFileInfo::exists(socket) && socketAcceptsConnections(socket)) {
        setRunning(true);
        return;
    }
    launch();
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

void AgentSupervisor::launch()
{
    if (m_process)
        return; // one child per supervisor; nothing relaunches it

    const QString directory = agentDirectory();
    QStringList cmd = command();
    const QString program = cmd.takeFirst();

    m_process = new QProcess; // no parent: its destruction would kill the agent
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setProgram(program);
    m_process->setArguments(cmd);
    m_process->setWorkingDirectory(directory);

    connect(m_process, &QProcess::readyReadStandardOutput, this, &AgentSupervisor::readOutput);
    connect(m_process, &QProcess::started, this, [this, directory] {
        setRunning(true);
        appendLog(QStringLiteral("[supervisor] launched agent at ") + directory + u'\n');
    });
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        appendLog(QStringLiteral("[supervisor] failed to launch agent: ") + m_process->errorString() + u'\n');
        setRunning(false);
    });
    connect(m_process, &QProcess::finished, this, [this](int exitCode, QProcess::ExitStatus) {
        readOutput();
        if (!m_pendingUtf8.isEmpty()) // a character the child never finished
            appendLog(QString::fromUtf8(std::exchange(m_pendingUtf8, {})));
        setRunning(false);
        appendLog(QStringLiteral("\n[agent exited with code ") + QString::number(exitCode) + QStringLiteral("]\n"));
    });
    m_process->start();
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

void AgentSupervisor::setRunning(bool running)
{
    m_running = running;
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
