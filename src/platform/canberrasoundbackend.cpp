#include "platform/canberrasoundbackend.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tsav {

const char *themeEventId(SoundKind kind)
{
    for (const auto &s : themeSounds)
        if (s.kind == kind)
            return s.eventId;
    return nullptr;
}

QStringList xdgDataDirs()
{
    QStringList dirs;
    const QString home = qEnvironmentVariable("XDG_DATA_HOME");
    dirs << (home.isEmpty() ? QDir::homePath() + QStringLiteral("/.local/share") : home);
    QString system = qEnvironmentVariable("XDG_DATA_DIRS");
    if (system.isEmpty())
        system = QStringLiteral("/usr/local/share:/usr/share");
    for (const QString &d : system.split(QLatin1Char(':'), Qt::SkipEmptyParts))
        dirs << d;
    return dirs;
}

QString findThemeSound(const QString &eventId, const QStringList &dataDirs, const QString &theme)
{
    if (eventId.isEmpty() || eventId.contains(QLatin1Char('/')))
        return {};
    for (const QString &dir : dataDirs) {
        for (const char *ext : {".oga", ".ogg", ".wav"}) {
            const QString path = dir + QStringLiteral("/sounds/") + theme +
                                 QStringLiteral("/stereo/") + eventId + QLatin1String(ext);
            if (QFileInfo(path).isFile()) // follows the theme's symlinks
                return path;
        }
    }
    return {};
}

QString soundHelperPath()
{
    const QString exe = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    return QFileInfo(exe).absolutePath() + QStringLiteral("/tessaly-sound");
}

// Owns the helper process; its state is touched only by its own thread.
struct CanberraSoundBackend::Worker {
    static constexpr std::size_t maxPending = 32; // a stuck helper must not grow memory
    static constexpr auto respawnAfter = std::chrono::seconds(30);

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::string> pending; // event ids to play
    std::vector<std::string> toCache;
    bool stopping = false;

    // Worker-thread state.
    const std::string helper;
    const std::chrono::milliseconds idle;
    pid_t pid = -1;
    int fd = -1; // our end of the helper's standard input
    std::chrono::steady_clock::time_point lastSpawnFailure{};
    bool spawnFailedOnce = false;

    std::thread thread;

    Worker(std::string helperPath, std::chrono::milliseconds idleAfter)
        : helper(std::move(helperPath)), idle(idleAfter), thread([this] { run(); })
    {
    }
    ~Worker()
    {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        wake.notify_all();
        thread.join();
    }

    void enqueue(std::string id)
    {
        {
            std::lock_guard lock(mutex);
            if (pending.size() >= maxPending)
                return;
            pending.push_back(std::move(id));
        }
        wake.notify_one();
    }

    bool writeLine(const std::string &line)
    {
        std::size_t done = 0;
        while (done < line.size()) {
            const ssize_t n = ::send(fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += std::size_t(n);
        }
        return true;
    }

    bool startHelper()
    {
        const auto now = std::chrono::steady_clock::now();
        if (spawnFailedOnce && now - lastSpawnFailure < respawnAfter)
            return false;
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], STDIN_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        std::string path = helper;
        char *argv[] = {path.data(), nullptr};
        const int rc = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(ends[1]);
        if (rc != 0) {
            ::close(ends[0]);
            pid = -1;
            spawnFailedOnce = true;
            lastSpawnFailure = now;
            return false;
        }
        fd = ends[0];
        std::vector<std::string> cacheIds;
        {
            std::lock_guard lock(mutex);
            cacheIds = toCache;
        }
        // The sounds are uploaded to the server's cache so later plays start at once.
        for (const auto &id : cacheIds)
            if (!writeLine("cache " + id + "\n"))
                break;
        return true;
    }

    bool isStopping()
    {
        std::lock_guard lock(mutex);
        return stopping;
    }

    // Ends the helper's input; it lets its sounds finish (five seconds at most) and exits.
    // When waiting is allowed it is reaped, and killed if it has not gone a little after
    // that (a sound server that hangs must not hold this thread, nor the console's exit);
    // otherwise, or once the backend is going away, it is left to end on its own.
    void stopHelper(bool wait)
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        if (pid <= 0)
            return;
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(7);
        while (::waitpid(pid, nullptr, WNOHANG) == 0) {
            if (!wait || isStopping())
                break;
            if (std::chrono::steady_clock::now() > giveUp) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        pid = -1;
    }

    void playNow(const std::string &id)
    {
        // A helper that has ended (a fault, a kill) shows as a write that fails: it is
        // reaped and started anew, once.
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (pid <= 0 && !startHelper())
                return; // no helper: silence
            if (writeLine("play " + id + "\n"))
                return;
            stopHelper(true);
        }
    }

    void run()
    {
        std::unique_lock lock(mutex);
        const auto ready = [this] { return stopping || !pending.empty(); };
        for (;;) {
            if (pid > 0) {
                if (!wake.wait_for(lock, idle, ready)) {
                    lock.unlock();
                    stopHelper(true);
                    lock.lock();
                    continue;
                }
            } else {
                wake.wait(lock, ready);
            }
            if (stopping)
                break;
            const std::string id = std::move(pending.front());
            pending.pop_front();
            lock.unlock();
            playNow(id);
            lock.lock();
        }
        lock.unlock();
        stopHelper(false);
    }
};

CanberraSoundBackend::CanberraSoundBackend(QStringList dataDirs, QString helper,
                                           std::chrono::milliseconds idle)
    : m_dataDirs(std::move(dataDirs)), m_worker(std::make_unique<Worker>(helper.toStdString(), idle))
{
}

CanberraSoundBackend::~CanberraSoundBackend() = default;

bool CanberraSoundBackend::load(SoundKind kind)
{
    const char *id = themeEventId(kind);
    if (!id || findThemeSound(QString::fromLatin1(id), m_dataDirs).isEmpty())
        return false;
    std::lock_guard lock(m_worker->mutex);
    m_worker->toCache.emplace_back(id);
    return true;
}

void CanberraSoundBackend::play(SoundKind kind)
{
    if (const char *id = themeEventId(kind))
        m_worker->enqueue(id);
}

} // namespace tsav
