// tessaly-sound: plays the console's feedback sounds with libcanberra, in a process of its
// own. The console starts it at a sound and ends it (by closing its standard input) when no
// sound has come for a while: a sound server's client libraries, codecs and threads then
// leave with it, where in the console they would stay for good (libpulse cannot be
// unloaded), and a fault in a codec cannot take the console down.
//
// Standard input, one command a line:
//   cache ID   uploads the theme sound ID to the sound server's cache
//   play ID    plays it
// ID is a sound-theme event id ([a-z0-9-], at most 64 characters). Anything else, and any
// line longer than a command can be, is skipped. At the end of input the sounds still
// playing are let finish (for at most five seconds) and the program exits with status 0.

#include <canberra.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t maxLine = 80;
constexpr auto reopenAfter = std::chrono::seconds(30);

bool validId(std::string_view id)
{
    if (id.empty() || id.size() > 64)
        return false;
    for (const char c : id)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'))
            return false;
    return true;
}

class Player {
public:
    ~Player()
    {
        if (m_ctx)
            ca_context_destroy(m_ctx);
    }

    void cache(const std::string &id)
    {
        if (open())
            ca_context_cache(m_ctx, CA_PROP_EVENT_ID, id.c_str(), nullptr);
    }

    void play(const std::string &id)
    {
        if (!open())
            return; // no sound server: silence
        const uint32_t playId = m_nextId++;
        const int rc = ca_context_play(m_ctx, playId, CA_PROP_EVENT_ID, id.c_str(),
                                       CA_PROP_CANBERRA_CACHE_CONTROL, "permanent", nullptr);
        if (rc == CA_SUCCESS) {
            m_started.push_back(playId);
        } else if (rc == CA_ERROR_DISCONNECTED || rc == CA_ERROR_STATE) {
            ca_context_destroy(m_ctx); // reconnect at the next sound
            m_ctx = nullptr;
            m_started.clear();
        }
    }

    // Waits until every sound started has ended, or the deadline.
    void drain(std::chrono::steady_clock::duration limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (m_ctx && !m_started.empty() && std::chrono::steady_clock::now() < deadline) {
            int playing = 0;
            if (ca_context_playing(m_ctx, m_started.back(), &playing) != CA_SUCCESS || !playing)
                m_started.pop_back();
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

private:
    bool open()
    {
        if (m_ctx)
            return true;
        const auto now = std::chrono::steady_clock::now();
        if (m_failedOnce && now - m_lastFailure < reopenAfter)
            return false;
        if (ca_context_create(&m_ctx) == CA_SUCCESS) {
            ca_context_change_props(m_ctx, CA_PROP_APPLICATION_NAME, "Tessaly Antivirus",
                                    CA_PROP_APPLICATION_ID, "tessaly-antivirus",
                                    CA_PROP_CANBERRA_XDG_THEME_NAME, "freedesktop", nullptr);
            if (ca_context_open(m_ctx) == CA_SUCCESS)
                return true;
            ca_context_destroy(m_ctx);
        }
        m_ctx = nullptr;
        m_failedOnce = true;
        m_lastFailure = now;
        return false;
    }

    ca_context *m_ctx = nullptr;
    bool m_failedOnce = false;
    std::chrono::steady_clock::time_point m_lastFailure{};
    uint32_t m_nextId = 1;
    std::vector<uint32_t> m_started;
};

void handle(Player &player, std::string_view line)
{
    const auto space = line.find(' ');
    if (space == std::string_view::npos)
        return;
    const std::string_view command = line.substr(0, space);
    const std::string_view id = line.substr(space + 1);
    if (!validId(id))
        return;
    if (command == "play")
        player.play(std::string(id));
    else if (command == "cache")
        player.cache(std::string(id));
}

} // namespace

int main()
{
    std::signal(SIGPIPE, SIG_IGN);
    Player player;
    std::string line;
    bool skipping = false; // inside a line too long to be a command
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i) {
            const char c = buf[i];
            if (c == '\n') {
                if (!skipping)
                    handle(player, line);
                line.clear();
                skipping = false;
            } else if (!skipping) {
                line.push_back(c);
                if (line.size() > maxLine) {
                    line.clear();
                    skipping = true;
                }
            }
        }
    }
    player.drain(std::chrono::seconds(5));
    return 0;
}
