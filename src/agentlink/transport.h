#pragma once
// One request/reply exchange with the agent over its Unix-domain socket, the reply
// envelope, and the errors of the agent link.
//
// Failures are values (Expected<T>), never exceptions: an exchange either yields its
// value or an AgentError naming the domain, code and message.

#include <QByteArray>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>
#include <utility>
#include <variant>

struct sockaddr_un;

namespace tsav {

class JsonDocument; // parsed reply tree (json.h); kept alive by AgentResponse

struct AgentError {
    QString domain;  // "tsav.unixsocket", "tsav", "tsav.json" (syntax), "tsav.decode" (records)
    qint64 code = 0; // errno for "tsav.unixsocket"
    QString message;
    // Human-readable text naming domain, code and message (what lastError holds).
    QString description() const;
    // The exchange ran out of time (requestBlocking's deadline).
    bool isDeadline() const;
    bool operator==(const AgentError &) const = default;
};

template <typename T>
class Expected {
public:
    Expected(T value) : m_v(std::move(value)) {}
    Expected(AgentError error) : m_v(std::move(error)) {}
    bool ok() const { return m_v.index() == 0; }
    explicit operator bool() const { return ok(); }
    const T &value() const & { return std::get<0>(m_v); }
    T &value() & { return std::get<0>(m_v); }
    T &&value() && { return std::get<0>(std::move(m_v)); }
    const AgentError &error() const { return std::get<1>(m_v); }

private:
    std::variant<T, AgentError> m_v;
};

// Home + "/Library/Application Support/TessalyAntivirus/agent.sock".
QString agentSocketPath();
QString agentSocketPath(const QString &home);

// Fills `addr` with the Unix-domain address of `path` (in the file system's encoding);
// false when the path does not fit in it.
bool unixSocketAddress(const QString &path, sockaddr_un &addr);

using Deadline = std::chrono::steady_clock::time_point;

// One blocking exchange; runs on a worker thread, never on the GUI thread.
// A fresh connection per call; send and receive each wait at most `timeout`, and the
// whole exchange ends at `deadline` when one is given, however slowly the reply trickles.
// Errors (domain "tsav.unixsocket", code = errno): "socket()", "path too long",
// "connect(<path>)", "send", "empty response", "reply too large", and "deadline"
// (code ETIMEDOUT) when the deadline passed first.
Expected<QByteArray> requestBlocking(const QString &socketPath, const QByteArray &payload,
                                     std::chrono::seconds timeout,
                                     std::optional<Deadline> deadline = std::nullopt);

// Largest reply accepted before an exchange fails with "reply too large".
inline constexpr qsizetype maxReplyBytes = 64 * 1024 * 1024;

// The parsed reply.
struct AgentResponse {
    bool ok = false;              // reply's "ok" is exactly true
    std::optional<QString> error; // reply's "error" when it is a string (the agent's own words)
    std::shared_ptr<const JsonDocument> doc; // owns the parsed tree; data points into it
    bool hasData = false;         // "data" member present (a JSON null counts as present)
    bool dataIsNull = false;
    QByteArray raw;               // the reply exactly as received
    // "data" re-serialised compactly ("" when absent).
    QByteArray dataJson() const;
};

// Parses one reply: syntax errors are "tsav.json" (strict, UTF-8 validated, nesting
// limited); a top level that is an array is ("tsav", 1).
Expected<AgentResponse> parseReply(const QByteArray &raw);

// decodeRecord<T> / decodeList<T> are declared in decode.h for every record type.
// When a reply carries no usable data but the agent said why ("ok": false with an
// "error" text), the decoders report that text as an error of domain "tsav.agent".

} // namespace tsav
