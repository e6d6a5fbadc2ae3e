#pragma once
// AgentSupervisor: makes sure an agent is running when the console starts.
//
// startIfNeeded() adopts an agent that answers on the socket; otherwise it launches the
// bundled agent package as a child process ("-m agent.main" in agentDirectory()) and
// collects everything the child writes (stdout and stderr merged) into lastLog, copying the
// log to the console's standard error as it grows.
//
// State: idle (running false) -> adopted (true, never left) or child running (true)
// -> child exited (false). Nothing is ever stopped or relaunched; destroying the
// supervisor leaves a running child alone.

#include <QObject>
#include <QString>
#include <QStringList>

class QProcess;

namespace tsav {

class AgentSupervisor : public QObject {
    Q_OBJECT
public:
    // lastLog keeps the newest this many characters.
    static constexpr qsizetype maxLogChars = 1024 * 1024;

    // The bundled resources beside the executable: <exe dir>/../share/tessaly-antivirus,
    // canonical; empty when it does not exist.
    static QString resourcesDirectory();

    explicit AgentSupervisor(QString resourcesDir = resourcesDirectory(), QString homeDir = defaultHome(),
                             QObject *parent = nullptr);
    ~AgentSupervisor() override;

    // Adopts an agent that accepts connections on the socket, else launches one.
    void startIfNeeded();
    // The resources directory when it holds "agent", else home + "/Desktop/TessalyAntivirus".
    QString agentDirectory() const;
    // Starts the child: <dir>/.venv/bin/python3 when present, else /usr/bin/python3;
    // arguments "-m agent.main"; working directory agentDirectory().
    void launch();

    // Where everything added to lastLog is copied as it arrives (the child's output and the
    // supervisor's own launch and exit lines): the console's standard error by default, so
    // that the agent's warnings, and its end, reach whoever started the console. -1 turns
    // the copy off.
    void setEchoDescriptor(int fd) { m_echoFd = fd; }

    bool running() const { return m_running; }
    const QString &lastLog() const { return m_lastLog; }
    QString socketPath() const;
    // What launch() runs (program first), for display and tests.
    QStringList command() const;

Q_SIGNALS:
    void runningChanged();
    void lastLogChanged();

private:
    static QString defaultHome();
    void setRunning(bool running);
    void appendLog(const QString &text);
    void readOutput();
    void echo(const QByteArray &bytes) const;

    QString m_resourcesDir;
    QString m_homeDir;
    bool m_running = false;
    QString m_lastLog;
    QProcess *m_process = nullptr;
    QByteArray m_pendingUtf8; // an incomplete character at the end of the last read
    int m_echoFd = 2;
};

// True when something accepts connections on the Unix socket at path. A socket file
// left behind by a crashed agent refuses them.
bool socketAcceptsConnections(const QString &path);

// Splits off the bytes of a UTF-8 character cut short at the end of data (at most 3),
// so that it can be completed by the next read.
qsizetype incompleteUtf8Tail(const QByteArray &data);

} // namespace tsav
