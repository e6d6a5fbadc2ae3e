#pragma once
// A private D-Bus session bus for tests: a dbus-daemon child with no activatable
// services, so nothing outside the test can answer on it. It dies with the test process.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

namespace tsav::test {

class PrivateBus {
public:
    PrivateBus() = default;
    ~PrivateBus() { stop(); }

    // Starts the daemon and returns its address; empty (with errorString()) on failure.
    QString start();
    void stop();
    QString address() const { return m_address; }
    QString errorString() const { return m_error; }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_daemon;
    QString m_address;
    QString m_error;
};

} // namespace tsav::test
