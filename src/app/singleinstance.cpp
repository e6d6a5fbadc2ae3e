#include "app/singleinstance.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QThread>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace tsav {

namespace {
const QByteArray showLine = QByteArrayLiteral("show\n");
const QByteArray okLine = QByteArrayLiteral("ok\n");
constexpr qint64 maxLineBytes = 64;
} // namespace

SingleInstance::SingleInstance(QString directory, QObject *parent)
    : QObject(parent), m_directory(std::move(directory))
{
}

SingleInstance::~SingleInstance()
{
    if (m_server) {
        m_server->close(); // removes the socket file
        delete m_server;
    }
    if (m_lockFd >= 0)
        ::close(m_lockFd); // releases the lock
}

QString SingleInstance::defaultDirectory()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return runtime + QStringLiteral("/tessaly-antivirus");
    return QDir::homePath() + QStringLiteral("/.cache/tessaly-antivirus");
}

QString SingleInstance::socketPath() const { return m_directory + QStringLiteral("/console.sock"); }

SingleInstance::Role SingleInstance::claim(std::chrono::milliseconds wait)
{
    if (!QDir().mkpath(m_directory)) {
        m_error = QStringLiteral("cannot make %1").arg(m_directory);
        return Role::primary;
    }
    QFile::setPermissions(m_directory, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QByteArray lockPath = QFile::encodeName(m_directory + QStringLiteral("/console.lock"));
    m_lockFd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_lockFd < 0) {
        m_error = QStringLiteral("cannot open the lock: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return Role::primary;
    }
    if (::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        char text[32] = {};
        const ssize_t n = ::pread(m_lockFd, text, sizeof text - 1, 0);
        m_holderPid = n > 0 ? QByteArray(text, int(n)).trimmed().toLongLong() : 0;
        ::close(m_lockFd);
        m_lockFd = -1;
        return handOver(wait);
    }
    const QByteArray pid = QByteArray::number(QCoreApplication::applicationPid()) + '\n';
    if (::ftruncate(m_lockFd, 0) == 0)
        (void)::pwrite(m_lockFd, pid.constData(), size_t(pid.size()), 0);
    listen(); // should it fail, this is still the only console: the lock says so
    return Role::primary;
}

bool SingleInstance::listen()
{
    // Whatever socket file is there belongs to a console that has ended (we hold the lock).
    QLocalServer::removeServer(socketPath());
    m_server = new QLocalServer;
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(socketPath())) {
        m_error = QStringLiteral("cannot listen: %1").arg(m_server->errorString());
        return false;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *peer = m_server->nextPendingConnection()) {
            connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                if (!peer->canReadLine()) {
                    if (peer->bytesAvailable() > maxLineBytes)
                        peer->abort(); // no line that long is ours
                    return;
                }
                const QByteArray line = peer->readLine(maxLineBytes);
                if (line == showLine) {
                    Q_EMIT activationRequested();
                    peer->write(okLine);
                    peer->flush();
                }
                peer->disconnectFromServer();
            });
        }
    });
    return true;
}

SingleInstance::Role SingleInstance::handOver(std::chrono::milliseconds wait)
{
    // The holder may still be opening its socket: try until the wait is over.
    const QDeadlineTimer deadline(wait);
    while (!deadline.hasExpired()) {
        QLocalSocket socket;
        socket.connectToServer(socketPath());
        if (socket.waitForConnected(int(std::max<qint64>(1, deadline.remainingTime())))) {
            socket.write(showLine);
            socket.flush();
            QByteArray answer;
            while (!answer.contains('\n') && answer.size() < maxLineBytes && !deadline.hasExpired()
                   && socket.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime()))))
                answer += socket.readAll();
            if (answer == okLine)
                return Role::handedOver;
            break;
        }
        QThread::msleep(50);
    }
    m_error = QStringLiteral("the console that runs (pid %1) did not answer").arg(m_holderPid);
    return Role::unanswered;
}

} // namespace tsav
