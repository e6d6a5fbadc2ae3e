#pragma once
// AgentSupervisor: keeps an agent running while the console runs.
//
// startIfNeeded() adopts an agent that answers on the socket; otherwise it launches the
// bundled agent package as a child process ("-m agent.main" in agentDirectory()) and
// collects everything the child writes (stdout and stderr merged) into lastLog, copying the
// log to the console's standard error as it grows.
//
// States:
//  - idle: nothing started yet, or a launch failed;
//  - adopted: another process's agent answers on the socket;
//  - childRunning: our child runs;
//  - relaunchPending: our child stopped unexpectedly (a crash, a signal, an exit code
//    other than 0, 2 and 3), or an adopted agent stopped answering; a relaunch is due
//    after a back-off of 1 s, 2 s, 4 s … up to 60 s, reset once a child has run a minute;
//  - stopped: our child exited cleanly (code 0): someone stopped it; not relaunched;
//  - otherOwner: our child exited with code 3, another agent owns the data directory.
//    Never retried in a loop: the client keeps talking to whichever agent answers.
// A child that exits with code 2 found the socket taken: the agent there is adopted.
// Every startIfNeeded() (each time the window is shown) tries again at once, whatever
// the state. Destroying the supervisor leaves a running child alone.

#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>

class QProcess;
class QTimer;

namespace tsav {

class AgentSupervisor : public QObject {
    Q_OBJECT
public:
    enum class State { idle, adopted, childRunning, relaunchPending, stopped, otherOwner };

    // The agent's own exit codes.
    static constexpr int exitSocketTaken = 2;
    static constexpr int exitOtherOwner = 3;

    struct RestartPolicy {
        std::chrono::milliseconds firstDelay{1000};
        std::chrono::milliseconds maxDelay{60000};
        // A child that ran this long before stopping starts the back-off again from firstDelay.
        std::chrono::milliseconds stableAfter{60000};
    };

    // lastLog keeps the newest this many characters.
    static constexpr qsizetype maxLogChars = 1024 * 1024;

    // The bundled resources beside the executable: <exe dir>/../share/tessaly-antivirus,
    // canonical; empty when it does not exist.
    static QString resourcesDirectory();

    explicit AgentSupervisor(QString resourcesDir = resourcesDirectory(), QString homeDir = defaultHome(),
                             QObject *parent = nullptr);
    ~AgentSupervisor() override;

    // Adopts an agent that accepts connections on the socket, else launches one now
    // (unless our child is already running).
    void startIfNeeded();
    // Tells the supervisor that nobody answered on the socket. An adopted agent that is
    // gone is relaunched with the back-off; other states wait for their own events.
    void agentUnreachable();
    // The resources directory when it holds "agent", else home + "/Desktop/TessalyAntivirus".
    QString agentDirectory() const;
    // Starts the child: <dir>/.venv/bin/python3 when present, else /usr/bin/python3;
    // arguments "-m agent.main"; working directory agentDirectory().
    void launch();

    void setRestartPolicy(const RestartPolicy &policy) { m_policy = policy; }
    // The delay before the next relaunch, as the back-off stands now.
    std::chrono::milliseconds nextRelaunchDelay() const;

    // Where everything added to lastLog is copied as it arrives (the child's output and the
    // supervisor's own launch and exit lines): the console's standard error by default, so
    // that the agent's warnings, and its end, reach whoever started the console. -1 turns
    // the copy off.
    void setEchoDescriptor(int fd) { m_echoFd = fd; }

    State state() const { return m_state; }
    bool running() const { return m_state == State::adopted || m_state == State::childRunning; }
    const QString &lastLog() const { return m_lastLog; }
    QString socketPath() const;
    // What launch() runs (program first), for display and tests.
    QStringList command() const;
    // The running child's process id, 0 when there is none.
    qint64 childPid() const;

Q_SIGNALS:
    void runningChanged();
    void lastLogChanged();
    void stateChanged();
    // A relaunch after an unexpected stop has started its child.
    void relaunched();

private:
    static QString defaultHome();
    void setState(State state);
    void appendLog(const QString &text);
    void readOutput();
    void echo(const QByteArray &bytes) const;
    void childFinished(QProcess *child, int exitCode, bool crashed);
    void scheduleRelaunch(const QString &why);

    QString m_resourcesDir;
    QString m_homeDir;
    State m_state = State::idle;
    QString m_lastLog;
    QProcess *m_process = nullptr; // the current child, running or finished
    QByteArray m_pendingUtf8;      // an incomplete character at the end of the last read
    int m_echoFd = 2;
    RestartPolicy m_policy;
    int m_failures = 0;            // relaunches since the last stable run
    bool m_relaunching = false;    // the next successful start is a relaunch
    QTimer *m_relaunchTimer;
    std::chrono::steady_clock::time_point m_startedAt;
};

// True when something accepts connections on the Unix socket at path. A socket file
// left behind by a crashed agent refuses them.
bool socketAcceptsConnections(const QString &path);

// Splits off the bytes of a UTF-8 character cut short at the end of data (at most 3),
// so that it can be completed by the next read.
qsizetype incompleteUtf8Tail(const QByteArray &data);

} // namespace tsav
