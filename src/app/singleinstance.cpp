#include "app/singleinstance.h"

#include "agentlink/transport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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
    closeServer(); // removes the socket file
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

namespace {

QString errnoText(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

// Waits until `fd` is ready for `events` or the deadline passes.
bool waitFor(int fd, short events, const QDeadlineTimer &deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int rc = ::poll(&p, 1, int(std::clamp<qint64>(deadline.remainingTime(), 0, 60000)));
        if (rc > 0)
            return true;
        if (rc == 0 || errno != EINTR)
            return false;
    }
}

} // namespace

// One later console asking: its line is read as it comes, answered, and the connection
// closed. It owns its descriptor.
class SingleInstance::Peer : public QObject {
public:
    Peer(int fd, SingleInstance *owner) : QObject(owner), m_fd(fd), m_owner(owner)
    {
        m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] { readSome(); });
    }
    ~Peer() override { ::close(m_fd); }

private:
    void readSome()
    {
        char chunk[maxLineBytes + 1];
        const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n > 0)
            m_line.append(chunk, n);
        const qsizetype end = m_line.indexOf('\n');
        if (n > 0 && end < 0 && m_line.size() <= maxLineBytes)
            return; // the rest of the line is still on its way
        m_notifier->setEnabled(false);
        if (end >= 0 && m_line.left(end + 1) == showLine) {
            Q_EMIT m_owner->activationRequested();
            (void)::send(m_fd, okLine.constData(), size_t(okLine.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        deleteLater(); // anything else (a line too long, an early end) is dropped
    }

    int m_fd;
    SingleInstance *m_owner;
    QSocketNotifier *m_notifier;
    QByteArray m_line;
};

void SingleInstance::closeServer()
{
    if (m_serverFd < 0)
        return;
    delete m_acceptor;
    m_acceptor = nullptr;
    ::close(m_serverFd);
    m_serverFd = -1;
    ::unlink(QFile::encodeName(socketPath()).constData());
}

bool SingleInstance::listen()
{
    sockaddr_un addr{};
    if (!unixSocketAddress(socketPath(), addr)) {
        m_error = QStringLiteral("cannot listen: the socket path is too long");
        return false;
    }
    // Whatever socket file is there belongs to a console that has ended (we hold the lock).
    ::unlink(addr.sun_path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        m_error = QStringLiteral("cannot listen: ") + errnoText("socket");
        return false;
    }
    const char *failed = ::bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 ? "bind"
                         : ::chmod(addr.sun_path, 0600) != 0                                      ? "chmod"
                         : ::listen(fd, 8) != 0                                                   ? "listen"
                                                                                                  : nullptr;
    if (failed) {
        m_error = QStringLiteral("cannot listen: ") + errnoText(failed);
        ::close(fd);
        ::unlink(addr.sun_path);
        return false;
    }
    m_serverFd = fd;
    m_acceptor = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_acceptor, &QSocketNotifier::activated, this, [this] {
        for (;;) {
            const int peer = ::accept4(m_serverFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (peer < 0)
                return; // EAGAIN: none left (or a peer gone before it was taken)
            new Peer(peer, this);
        }
    });
    return true;
}

SingleInstance::Role SingleInstance::handOver(std::chrono::milliseconds wait)
{
    // The holder may still be opening its socket: try until the wait is over.
    const QDeadlineTimer deadline(wait);
    sockaddr_un addr{};
    const bool addressed = unixSocketAddress(socketPath(), addr);
    while (addressed && !deadline.hasExpired()) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            break;
        int rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
        if (rc != 0 && (errno == EINPROGRESS || errno == EAGAIN) && waitFor(fd, POLLOUT, deadline)) {
            int err = 0;
            socklen_t len = sizeof err;
            rc = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0 ? 0 : -1;
        }
        if (rc == 0) {
            QByteArray answer;
            if (::send(fd, showLine.constData(), size_t(showLine.size()), MSG_NOSIGNAL) == showLine.size()) {
                while (!answer.contains('\n') && answer.size() < maxLineBytes && waitFor(fd, POLLIN, deadline)) {
                    char chunk[maxLineBytes];
                    const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
                    if (n > 0)
                        answer.append(chunk, n);
                    else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                        break;
                }
            }
            ::close(fd);
            if (answer == okLine)
                return Role::handedOver;
            break;
        }
        ::close(fd);
        QThread::msleep(50);
    }
    m_error = QStringLiteral("the console that runs (pid %1) did not answer").arg(m_holderPid);
    return Role::unanswered;
}

} // namespace tsav
