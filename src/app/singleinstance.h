#pragma once
// One console per user session. The first console to start holds a lock (flock on a file
// in the runtime directory, released by the kernel however the console ends) and listens
// on a local socket beside it; a console started later finds the lock taken, asks the
// first one to bring its window forward, and ends.
//
// The exchange on the socket is one line each way: "show\n", answered by "ok\n" once the
// first console has been told (activationRequested). Anything else is dropped.

#include <QObject>
#include <QString>

#include <chrono>

class QSocketNotifier;

namespace tsav {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Role {
        primary,    // this console runs; later ones hand over to it
        handedOver, // another console runs and was asked to come forward: end with 0
        unanswered, // another console holds the lock but did not answer in time
    };

    // `directory` holds "console.lock" and "console.sock"; made (0700) when missing.
    explicit SingleInstance(QString directory = defaultDirectory(), QObject *parent = nullptr);
    ~SingleInstance() override;

    // $XDG_RUNTIME_DIR/tessaly-antivirus, or ~/.cache/tessaly-antivirus without one.
    static QString defaultDirectory();

    // Takes the lock and listens, or hands over to the console that holds it, waiting at
    // most `wait` for its answer. A directory that cannot be used leaves this console
    // running on its own (primary), with the reason in errorString().
    Role claim(std::chrono::milliseconds wait = std::chrono::milliseconds(3000));
    // The process id written in the lock by the console that holds it (0 when unknown).
    qint64 holderPid() const { return m_holderPid; }
    QString errorString() const { return m_error; }
    QString socketPath() const;

Q_SIGNALS:
    // A later console asked this one to come forward.
    void activationRequested();

private:
    class Peer;
    bool listen();
    void closeServer();
    Role handOver(std::chrono::milliseconds wait);

    QString m_directory;
    int m_lockFd = -1;
    int m_serverFd = -1;
    QSocketNotifier *m_acceptor = nullptr;
    qint64 m_holderPid = 0;
    QString m_error;
};

} // namespace tsav
