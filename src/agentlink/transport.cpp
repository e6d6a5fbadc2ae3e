#include "agentlink/transport.h"

#include "agentlink/json.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace tsav {

namespace {

constexpr size_t receiveChunk = 65536;
// sun_path holds 108 bytes on Linux; the agent link keeps to 103 plus the terminator
// so that the same paths work on every Unix.
constexpr qsizetype maxSocketPathBytes = 103;

QString systemText(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

AgentError socketError(const QString &what, int err)
{
    return AgentError{QStringLiteral("tsav.unixsocket"), err, what + QStringLiteral(": ") + systemText(err)};
}

// Owns a descriptor and closes it on every path out of the exchange.
class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0) {
            const int saved = errno; // close() must not change the errno an error reports
            ::close(m_fd);
            errno = saved;
        }
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

} // namespace

QString AgentError::description() const
{
    QString text = domain + QStringLiteral(" error ") + QString::number(code);
    if (!message.isEmpty())
        text += QStringLiteral(": ") + message;
    return text;
}

bool AgentError::isDeadline() const
{
    return domain == QLatin1String("tsav.unixsocket") && code == ETIMEDOUT
           && message.startsWith(QLatin1String("deadline"));
}

QString agentSocketPath(const QString &home)
{
    return home + QStringLiteral("/Library/Application Support/TessalyAntivirus/agent.sock");
}

QString agentSocketPath() { return agentSocketPath(QDir::homePath()); }

bool unixSocketAddress(const QString &path, sockaddr_un &addr)
{
    const QByteArray bytes = QFile::encodeName(path);
    addr = sockaddr_un{};
    if (bytes.size() >= static_cast<qsizetype>(sizeof addr.sun_path))
        return false;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, bytes.constData(), static_cast<size_t>(bytes.size()));
    return true;
}

Expected<QByteArray> requestBlocking(const QString &socketPath, const QByteArray &payload,
                                     std::chrono::seconds timeout, std::optional<Deadline> deadline)
{
    using namespace std::chrono;
    const auto deadlineError = [] { return socketError(QStringLiteral("deadline"), ETIMEDOUT); };
    if (deadline && steady_clock::now() >= *deadline)
        return deadlineError();

    const int raw = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (raw < 0)
        return socketError(QStringLiteral("socket()"), errno);
    Fd fd(raw);

    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count());
    tv.tv_usec = 0;
    (void)::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    (void)::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);

    const QByteArray pathBytes = socketPath.toUtf8();
    if (pathBytes.size() > maxSocketPathBytes)
        return socketError(QStringLiteral("path too long"), ENAMETOOLONG);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, pathBytes.constData(), static_cast<size_t>(pathBytes.size()));
    const auto addrLen = static_cast<socklen_t>(pathBytes.size() + 2);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr *>(&addr), addrLen) != 0)
        return socketError(QStringLiteral("connect(") + socketPath + QStringLiteral(")"), errno);

    // MSG_NOSIGNAL: a peer that has gone away yields EPIPE here, never a SIGPIPE that
    // would end the whole console.
    qsizetype sent = 0;
    while (sent < payload.size()) {
        const ssize_t n = ::send(fd.get(), payload.constData() + sent,
                                 static_cast<size_t>(payload.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return socketError(QStringLiteral("send"), n == 0 ? EPIPE : errno);
        sent += n;
    }

    QByteArray reply;
    char buffer[receiveChunk];
    int lastErrno = ENODATA; // a peer that closes without a byte: "No data available"
    for (;;) {
        if (deadline) {
            // Wait for data no longer than the receive limit or the deadline allows,
            // whichever comes first: a reply trickled a byte at a time ends at the deadline.
            const auto left = duration_cast<milliseconds>(*deadline - steady_clock::now());
            if (left <= milliseconds::zero())
                return deadlineError();
            // (A zero limit means none, as it does for SO_RCVTIMEO.)
            const auto wait = timeout.count() > 0
                                  ? std::min<milliseconds>(left, duration_cast<milliseconds>(timeout))
                                  : left;
            pollfd p{fd.get(), POLLIN, 0};
            const int ready = ::poll(&p, 1, int(std::min<milliseconds::rep>(wait.count() + 1, INT_MAX)));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready == 0) {
                if (wait < left) {
                    lastErrno = EAGAIN; // the receive limit, as SO_RCVTIMEO reports it
                    break;
                }
                continue; // the check above ends the exchange at the deadline
            }
        }
        const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            lastErrno = errno;
        if (n <= 0)
            break;
        if (reply.size() + n > maxReplyBytes)
            return socketError(QStringLiteral("reply too large"), EMSGSIZE);
        reply.append(buffer, n);
        if (reply.endsWith('\n'))
            break;
    }
    if (reply.isEmpty())
        return socketError(QStringLiteral("empty response"), lastErrno);
    return reply;
}

QByteArray AgentResponse::dataJson() const
{
    if (!doc || !doc->data)
        return {};
    const std::string text = simdjson::minify(*doc->data);
    return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

Expected<AgentResponse> parseReply(const QByteArray &raw)
{
    auto doc = std::make_shared<JsonDocument>();
    const auto fail = [](simdjson::error_code code) {
        return AgentError{QStringLiteral("tsav.json"), static_cast<qint64>(code),
                          QString::fromUtf8(simdjson::error_message(code))};
    };
    if (raw.size() > maxReplyBytes)
        return AgentError{QStringLiteral("tsav.unixsocket"), EMSGSIZE,
                          QStringLiteral("reply too large: ") + systemText(EMSGSIZE)};
    if (auto err = doc->parser.allocate(static_cast<size_t>(std::max<qsizetype>(raw.size(), 64)), maxJsonDepth))
        return fail(err);
    if (auto err = doc->parser.parse(raw.constData(), static_cast<size_t>(raw.size()), true).get(doc->root))
        return fail(err);

    const auto type = doc->root.type();
    if (type != simdjson::dom::element_type::OBJECT && type != simdjson::dom::element_type::ARRAY)
        return AgentError{QStringLiteral("tsav.json"), static_cast<qint64>(simdjson::TAPE_ERROR),
                          QStringLiteral("top level is neither an object nor an array")};
    if (type != simdjson::dom::element_type::OBJECT)
        return AgentError{QStringLiteral("tsav"), 1, QString()};

    AgentResponse response;
    response.raw = raw;
    const simdjson::dom::object object = doc->root.get_object().value_unsafe();
    bool okValue = false;
    simdjson::dom::element okElement;
    if (!object.at_key("ok").get(okElement) && !okElement.get(okValue))
        response.ok = okValue;
    std::string_view errorText;
    if (!object.at_key("error").get(errorText))
        response.error = QString::fromUtf8(errorText.data(), static_cast<qsizetype>(errorText.size()));
    simdjson::dom::element dataElement;
    if (!object.at_key("data").get(dataElement)) {
        doc->data = dataElement;
        response.hasData = true;
        response.dataIsNull = dataElement.is_null();
    }
    response.doc = std::move(doc);
    return response;
}

} // namespace tsav
