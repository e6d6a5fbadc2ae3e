#include "platform/canberrasoundbackend.h"

#include <QDir>
#include <QFileInfo>

#include <canberra.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

// Owns the canberra context; touched only by its own thread.
struct CanberraSoundBackend::Worker {
    static constexpr std::size_t maxPending = 32; // a stuck server must not grow memory
    static constexpr auto reopenAfter = std::chrono::seconds(30);

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::string> pending; // event ids to play
    std::vector<std::string> toCache;
    bool stopping = false;
    std::thread thread;

    // Worker-thread state.
    ca_context *ctx = nullptr;
    std::chrono::steady_clock::time_point lastOpenFailure{};
    bool openFailedOnce = false;
    uint32_t nextId = 1;

    Worker() : thread([this] { run(); }) {}
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

    bool ensureOpen()
    {
        if (ctx)
            return true;
        const auto now = std::chrono::steady_clock::now();
        if (openFailedOnce && now - lastOpenFailure < reopenAfter)
            return false;
        if (ca_context_create(&ctx) != CA_SUCCESS) {
            ctx = nullptr;
        } else {
            ca_context_change_props(ctx, CA_PROP_APPLICATION_NAME, "Tessaly Antivirus",
                                    CA_PROP_APPLICATION_ID, "tessaly-antivirus",
                                    CA_PROP_CANBERRA_XDG_THEME_NAME, "freedesktop", nullptr);
            if (ca_context_open(ctx) != CA_SUCCESS) {
                ca_context_destroy(ctx);
                ctx = nullptr;
            }
        }
        if (!ctx) {
            openFailedOnce = true;
            lastOpenFailure = now;
            return false;
        }
        std::vector<std::string> ids;
        {
            std::lock_guard lock(mutex);
            ids = toCache;
        }
        // Upload the sounds to the server's sample cache so later plays start at once.
        for (const auto &id : ids)
            ca_context_cache(ctx, CA_PROP_EVENT_ID, id.c_str(), nullptr);
        return true;
    }

    void playNow(const std::string &id)
    {
        if (!ensureOpen())
            return; // no sound server: silence
        const int rc = ca_context_play(ctx, nextId++, CA_PROP_EVENT_ID, id.c_str(),
                                       CA_PROP_CANBERRA_CACHE_CONTROL, "permanent", nullptr);
        if (rc == CA_ERROR_DISCONNECTED || rc == CA_ERROR_STATE) {
            ca_context_destroy(ctx); // reconnect on the next play
            ctx = nullptr;
        }
    }

    void run()
    {
        for (;;) {
            std::string id;
            {
                std::unique_lock lock(mutex);
                wake.wait(lock, [this] { return stopping || !pending.empty(); });
                if (stopping)
                    break;
                id = std::move(pending.front());
                pending.pop_front();
            }
            playNow(id);
        }
        if (ctx)
            ca_context_destroy(ctx);
    }
};

CanberraSoundBackend::CanberraSoundBackend(QStringList dataDirs)
    : m_dataDirs(std::move(dataDirs)), m_worker(std::make_unique<Worker>())
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
