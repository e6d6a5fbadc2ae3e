#pragma once
// What every screen receives from the application: the shared long-lived objects.
// Screens read the client's state and call its commands; none opens the socket.

namespace tsav {

class AgentClient;
class AgentSupervisor;
class SoundPlayer;

struct ScreenContext {
    AgentClient *agent = nullptr;
    AgentSupervisor *supervisor = nullptr;
    SoundPlayer *sound = nullptr;
};

} // namespace tsav
