#include "agentlink/scriptedpeer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace tsav {

namespace {
constexpr int pollSliceMs = 50; // how often blocked peer threads look at the stop flag
constexpr qsizetype maxRequestBytes = 64 * 1024 * 1024;
} // namespace

struct ScriptedPeer::State {
    QString path;
    QString error;
    int listenFd = -1;
    std::atomic<bool> stopping{false};
    std::thread acceptThread;

    mutable std::mutex mutex; // guards everything below
    QHash<QString, Behaviour> behaviours;
    Behaviour defaultBehaviour{QByteArrayLiteral("{\"ok\":false,\"error\":\"unknown op\"}\n")};
    bool closeBeforeReading = false;
    QList<QByteArray> requests;
    int connections = 0;
    struct Connection {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::vector<Connection> connectionThreads;

    void acceptLoop();
    void serve(int fd);
    bool waitReadable(int fd);
    bool writeAll(int fd, const char *data, qsizetype size);
};

bool ScriptedPeer::State::waitReadable(int fd)
{
    while (!stopping) {
        pollfd p{fd, POLLIN, 0};
        const int n = ::poll(&p, 1, pollSliceMs);
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
    return false;
}

bool ScriptedPeer::State::writeAll(int fd, const char *data, qsizetype size)
{
    qsizetype done = 0;
    while (done < size && !stopping) {
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, pollSliceMs);
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready <= 0)
            continue;
        if (p.revents & (POLLERR | POLLHUP))
            return false;
        const ssize_t n = ::send(fd, data + done, static_cast<size_t>(size - done), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return done == size;
}

void ScriptedPeer::State::acceptLoop()
{
    while (!stopping) {
        if (!waitReadable(listenFd))
            break;
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::lock_guard lock(mutex);
        ++connections;
        // Reap finished connection threads so a long-lived peer does not pile them up.
        std::erase_if(connectionThreads, [](Connection &c) {
            if (!c.done->load())
                return false;
            c.thread.join();
            return true;
        });
        auto done = std::make_shared<std::atomic<bool>>(false);
        connectionThreads.push_back(Connection{std::thread([this, fd, done] {
                                                   serve(fd);
                                                   done->store(true);
                                               }),
                                               done});
    }
}

void ScriptedPeer::State::serve(int fd)
{
    bool closeEarly;
    {
        std::lock_guard lock(mutex);
        closeEarly = closeBeforeReading;
    }
    if (closeEarly) {
        ::close(fd);
        return;
    }

    QByteArray request;
    char buffer[65536];
    while (!request.contains('\n') && request.size() < maxRequestBytes) {
        if (!waitReadable(fd))
            break;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        request.append(buffer, n);
    }
    const qsizetype lineEnd = request.indexOf('\n');
    if (lineEnd >= 0)
        request.truncate(lineEnd);

    const QString op = QJsonDocument::fromJson(request).object().value(QStringLiteral("op")).toString();
    Behaviour b;
    {
        std::lock_guard lock(mutex);
        requests.append(request);
        b = behaviours.value(op, defaultBehaviour);
    }

    if (b.delay.count() > 0)
        std::this_thread::sleep_for(b.delay);
    if (b.respond)
        b.bytes = b.respond(request);
    bool written = true;
    if (b.trickleChunk > 0) {
        for (qsizetype at = 0; at < b.bytes.size() && written && !stopping; at += b.trickleChunk) {
            if (at > 0)
                std::this_thread::sleep_for(b.trickleDelay);
            written = writeAll(fd, b.bytes.constData() + at, std::min(b.trickleChunk, b.bytes.size() - at));
        }
    } else {
        written = writeAll(fd, b.bytes.constData(), b.bytes.size());
    }

    if (written && !b.closeAfterReply) {
        // Keep the connection until the client hangs up (or the peer stops).
        while (waitReadable(fd)) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n == 0 || (n < 0 && errno != EINTR))
                break;
        }
    }
    ::close(fd);
}

ScriptedPeer::ScriptedPeer(QString socketPath) : m_state(std::make_shared<State>())
{
    State &s = *m_state;
    s.path = std::move(socketPath);

    const QString dir = QFileInfo(s.path).absolutePath();
    if (!QDir().mkpath(dir)) {
        s.error = QStringLiteral("cannot create %1").arg(dir);
        return;
    }
    ::chmod(QFile::encodeName(dir).constData(), 0700);

    const QByteArray pathBytes = QFile::encodeName(s.path);
    sockaddr_un addr{};
    if (pathBytes.size() >= static_cast<qsizetype>(sizeof addr.sun_path)) {
        s.error = QStringLiteral("socket path too long");
        return;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, pathBytes.constData(), static_cast<size_t>(pathBytes.size()));

    s.listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s.listenFd < 0) {
        s.error = QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    ::unlink(pathBytes.constData()); // a stale file from an earlier run
    if (::bind(s.listenFd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0
        || ::listen(s.listenFd, 64) != 0) {
        s.error = QString::fromLocal8Bit(std::strerror(errno));
        ::close(s.listenFd);
        s.listenFd = -1;
        return;
    }
    s.acceptThread = std::thread([&s] { s.acceptLoop(); });
}

ScriptedPeer::~ScriptedPeer()
{
    State &s = *m_state;
    s.stopping = true;
    if (s.acceptThread.joinable())
        s.acceptThread.join();
    std::vector<State::Connection> threads;
    {
        std::lock_guard lock(s.mutex);
        threads.swap(s.connectionThreads);
    }
    for (auto &c : threads)
        c.thread.join();
    if (s.listenFd >= 0) {
        ::close(s.listenFd);
        ::unlink(QFile::encodeName(s.path).constData());
    }
}

bool ScriptedPeer::isListening() const { return m_state->listenFd >= 0; }
QString ScriptedPeer::socketPath() const { return m_state->path; }
QString ScriptedPeer::errorString() const { return m_state->error; }

void ScriptedPeer::setData(const QString &op, const QByteArray &dataJson)
{
    setReply(op, QByteArrayLiteral("{\"ok\":true,\"data\":") + dataJson + QByteArrayLiteral("}\n"));
}

void ScriptedPeer::setReply(const QString &op, const QByteArray &rawBytes)
{
    Behaviour b;
    b.bytes = rawBytes;
    setBehaviour(op, b);
}

void ScriptedPeer::setBehaviour(const QString &op, const Behaviour &behaviour)
{
    std::lock_guard lock(m_state->mutex);
    m_state->behaviours.insert(op, behaviour);
}

void ScriptedPeer::clearReply(const QString &op)
{
    std::lock_guard lock(m_state->mutex);
    m_state->behaviours.remove(op);
}

void ScriptedPeer::setDefaultReply(const QByteArray &rawBytes)
{
    Behaviour b;
    b.bytes = rawBytes;
    setDefaultBehaviour(b);
}

void ScriptedPeer::setDefaultBehaviour(const Behaviour &behaviour)
{
    std::lock_guard lock(m_state->mutex);
    m_state->defaultBehaviour = behaviour;
}

void ScriptedPeer::setCloseBeforeReading(bool close)
{
    std::lock_guard lock(m_state->mutex);
    m_state->closeBeforeReading = close;
}

bool ScriptedPeer::loadDataObject(const QByteArray &json, QString *error)
{
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (!doc.isObject()) {
        if (error)
            *error = parseError.error != QJsonParseError::NoError ? parseError.errorString()
                                                                 : QStringLiteral("top level is not an object");
        return false;
    }
    const QJsonObject object = doc.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QJsonValue v = it.value();
        QByteArray data;
        if (v.isObject())
            data = QJsonDocument(v.toObject()).toJson(QJsonDocument::Compact);
        else if (v.isArray())
            data = QJsonDocument(v.toArray()).toJson(QJsonDocument::Compact);
        else // wrap scalars to serialise them, then strip the wrapper
            data = QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
        setData(it.key(), data);
    }
    return true;
}

bool ScriptedPeer::loadDataFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return loadDataObject(file.readAll(), error);
}

QList<QByteArray> ScriptedPeer::requests() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->requests;
}

int ScriptedPeer::requestCount(const QString &op) const
{
    const auto all = requests();
    int count = 0;
    for (const QByteArray &r : all)
        if (QJsonDocument::fromJson(r).object().value(QStringLiteral("op")).toString() == op)
            ++count;
    return count;
}

int ScriptedPeer::connectionCount() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->connections;
}

void ScriptedPeer::clearRequests()
{
    std::lock_guard lock(m_state->mutex);
    m_state->requests.clear();
}

QByteArray ScriptedPeer::sampleDataObject()
{
    return QByteArrayLiteral(R"({
"summary": {"threats_total": 12, "threats_active": 3, "quarantined": 4, "threats_last_24h": 5, "events_last_24h": 148},
"threats": [
 {"id": 12, "ts": 1767261600.0, "kind": "yara", "severity": "critical", "path": "/home/ana/Downloads/invoice.pdf.exe",
  "signature": "Win_Trojan_Agent", "description": "Executabil deghizat ca document", "status": "detected"},
 {"id": 11, "ts": 1767258000.0, "kind": "behavior", "severity": "high", "pid": 4242, "process_name": "miner",
  "score": 0.93, "status": "detected"},
 {"id": 10, "ts": 1767250000.0, "kind": "network", "severity": "medium", "pid": 977, "process_name": "curl",
  "description": "Conexiune către o adresă cunoscută ca rău intenționată", "status": "detected"},
 {"id": 9, "ts": 1767240000.0, "kind": "signature", "severity": "low", "path": "/tmp/eicar.com",
  "signature": "EICAR-Test-File", "status": "quarantined"}
],
"quarantine.list": [
 {"id": 4, "ts": 1767240100.0, "original_path": "/tmp/eicar.com", "vault_path": "/var/lib/tsav/vault/4",
  "sha256": "275a021bbfb6489e54d471899f7db9d1663fc695ec2fe2a2c4538aabf651fd0f", "size": 68, "reason": "EICAR-Test-File"}
],
"processes": [
 {"pid": 1, "name": "systemd", "user": "root", "exe": "/usr/lib/systemd/systemd", "cpu": 0.1, "rss": 12582912,
  "connections": 0, "open_files": 120, "threads": 1, "score": 0.01},
 {"pid": 4242, "name": "miner", "user": "ana", "exe": "/tmp/.x/miner", "cpu": 187.5, "rss": 524288000,
  "connections": 6, "open_files": 14, "threads": 16, "score": 0.93},
 {"pid": 977, "name": "curl", "user": "ana", "exe": "/usr/bin/curl", "cpu": 1.2, "rss": 8388608,
  "connections": 1, "open_files": 5, "threads": 1, "score": 0.41}
],
"network": [
 {"pid": 977, "process": "curl", "local": "192.168.1.20:51234", "remote": "203.0.113.66:443", "status": "ESTABLISHED",
  "suspicious": true, "reason": "adresă pe lista neagră"},
 {"pid": 812, "process": "firefox", "local": "192.168.1.20:51300", "remote": "151.101.1.69:443", "status": "ESTABLISHED",
  "suspicious": false},
 {"local": "0.0.0.0:22", "remote": "", "status": "LISTEN", "suspicious": false}
],
"events": [
 {"id": 148, "ts": 1767261600.0, "source": "file", "action": "threat_detected", "target": "/home/ana/Downloads/invoice.pdf.exe"},
 {"id": 147, "ts": 1767258000.0, "source": "process", "action": "high_score", "target": "miner"},
 {"id": 146, "ts": 1767240100.0, "source": "quarantine", "action": "quarantined", "target": "/tmp/eicar.com"},
 {"id": 145, "ts": 1767230000.0, "source": "agent", "action": "started"}
],
"scan.status": {"id": 7, "kind": "quick", "started": 1767261000.0, "finished": 1767261090.0, "scanned": 18234,
  "current": "", "running": false},
"metrics.live": {
 "uptime_seconds": 86400.0, "files_scanned_since_boot": 92811, "files_per_second": 412.5,
 "engines": {"signature": {"hits": 1, "last": 1767240000.0, "state": "ok"},
             "yara": {"hits": 2, "last": 1767261600.0, "state": "ok"}},
 "active_scan_dirs": {"/home/ana": {"scanned": 15000, "hits": 1, "started": 1767261000.0, "duration": 90.0},
                      "/tmp": {"scanned": 3234, "hits": 1, "started": 1767261000.0, "finished": 1767261030.0, "duration": 30.0}},
 "agent": {"pid": 731, "cpu": 3.5, "rss": 73400320, "threads": 9, "fds": 41, "uptime_seconds": 86400.0,
           "clamd_rss": 912261120},
 "system": {"cpu_percent": 23.0, "cpu_count": 8, "ram_used": 6442450944, "ram_total": 17179869184, "ram_percent": 37.5,
            "disk_used": 214748364800, "disk_total": 512110190592, "disk_percent": 41.9,
            "net_bytes_sent_per_sec": 20480.0, "net_bytes_recv_per_sec": 1048576.0},
 "engine_breakdown": {"behavior": {"last24h": 1, "total": 3, "last_ts": 1767258000.0},
                      "yara": {"last24h": 2, "total": 6, "last_ts": 1767261600.0}},
 "severity_breakdown": {"critical": 1, "high": 1, "medium": 1, "low": 0}
},
"settings.get": {"realtime_enabled": true, "ai_engine_enabled": true, "auto_quarantine": true,
  "auto_kill_high_risk": false, "cloud_telemetry": false, "network_monitor": true, "kill_switch_isolate": false,
  "scheduled_scan_hours": 24},
"audit.run": {"checks": [
  {"id": "firewall", "title": "Firewall activ", "pass": true, "severity": "high", "detail": "nftables: 14 reguli"},
  {"id": "ssh_root", "title": "Autentificare SSH ca root dezactivată", "pass": false, "severity": "critical",
   "detail": "PermitRootLogin yes"},
  {"id": "updates", "title": "Actualizări de securitate", "pass": true, "severity": "medium", "detail": "la zi"}
 ], "passing": 2, "total": 3, "score": 67},
"allowlist.list": [
 {"id": 2, "kind": "path", "value": "/home/ana/proiecte/build", "note": "", "ts": 1767250000.0},
 {"id": 1, "kind": "sha256", "value": "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08",
  "note": "Amenințarea #3: Unsafe.Script", "ts": 1767200000.0}
],
"allowlist.add": {"id": 3, "kind": "path", "value": "/home/ana/Downloads/invoice.pdf.exe", "note": "", "ts": 1767262000.0,
  "resolved": 1},
"allowlist.remove": {"id": 2, "removed": true},
"threat.quarantine": {"id": 12, "quarantine_id": 5},
"threat.kill": {"id": 11, "pid": 4242, "killed": true},
"scan.start": null, "scan.stop": null, "quarantine.restore": null, "quarantine.delete": null, "settings.set": null
})");
}

QByteArray ScriptedPeer::manyThreatsJson(qsizetype count, qint64 firstId)
{
    static const char *const severities[] = {"critical", "high", "medium", "low"};
    QByteArray out;
    out.reserve(count * 170 + 2);
    out += '[';
    for (qsizetype i = 0; i < count; ++i) {
        const qint64 id = firstId + count - 1 - i;
        if (i)
            out += ',';
        out += "{\"id\":" + QByteArray::number(id) + ",\"ts\":1767261600.0,\"kind\":\"yara\",\"severity\":\""
               + severities[id % 4] + "\",\"path\":\"/home/ana/Downloads/f" + QByteArray::number(id)
               + ".bin\",\"signature\":\"Hostile.Flood\",\"status\":\"detected\"}";
    }
    out += ']';
    return out;
}

QByteArray ScriptedPeer::metricsWithEnginesJson(qsizetype engineNames)
{
    QByteArray engines, breakdown;
    for (qsizetype i = 0; i < engineNames; ++i) {
        const QByteArray name = "\"engine-" + QByteArray::number(i) + '"';
        engines += (i ? "," : "") + name + ":{\"hits\":1,\"last\":1767261600.0}";
        breakdown += (i ? "," : "") + name + ":{\"last24h\":1,\"total\":2,\"last_ts\":1767261600.0}";
    }
    return "{\"uptime_seconds\":60.0,\"files_scanned_since_boot\":10,\"files_per_second\":1.0,"
           "\"engines\":{" + engines + "},\"active_scan_dirs\":{},"
           "\"agent\":{\"pid\":7,\"cpu\":1.0,\"rss\":1048576,\"threads\":4,\"fds\":9,\"uptime_seconds\":60.0},"
           "\"system\":{\"cpu_percent\":5.0,\"cpu_count\":2,\"ram_used\":1,\"ram_total\":2,\"ram_percent\":50.0,"
           "\"disk_used\":1,\"disk_total\":2,\"disk_percent\":50.0,\"net_bytes_sent_per_sec\":0.0,"
           "\"net_bytes_recv_per_sec\":0.0},"
           "\"engine_breakdown\":{" + breakdown + "},\"severity_breakdown\":{}}";
}

} // namespace tsav
