#include "privatebus.h"

#include "../testbase.h"

#include <QFile>

#include <signal.h>
#include <sys/prctl.h>

namespace tsav::test {

QString PrivateBus::start()
{
    m_dir = std::make_unique<QTemporaryDir>(testDirTemplate(QStringLiteral("bus")));
    if (!m_dir->isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return {};
    }
    const QString config = m_dir->filePath(QStringLiteral("session.conf"));
    QFile f(config);
    if (!f.open(QIODevice::WriteOnly)) {
        m_error = f.errorString();
        return {};
    }
    f.write(QStringLiteral(
                "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                "<busconfig>\n"
                "  <type>session</type>\n"
                "  <listen>unix:dir=%1</listen>\n"
                "  <auth>EXTERNAL</auth>\n"
                "  <policy context=\"default\">\n"
                "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                "    <allow eavesdrop=\"true\"/>\n"
                "    <allow own=\"*\"/>\n"
                "  </policy>\n"
                "</busconfig>\n")
                .arg(m_dir->path())
                .toUtf8());
    f.close();

    m_daemon = std::make_unique<QProcess>();
    m_daemon->setProgram(QStringLiteral("dbus-daemon"));
    m_daemon->setArguments({QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                            QStringLiteral("--print-address=1")});
    m_daemon->setProcessChannelMode(QProcess::SeparateChannels); // stderr only on failure
    // The daemon goes when the test goes, even if the test crashes.
    m_daemon->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_daemon->start();
    if (!m_daemon->waitForStarted(30000)) {
        m_error = m_daemon->errorString();
        return {};
    }
    while (!m_daemon->canReadLine()) {
        if (!m_daemon->waitForReadyRead(30000)) {
            m_error = QStringLiteral("dbus-daemon printed no address: ") +
                      QString::fromLocal8Bit(m_daemon->readAllStandardError());
            stop();
            return {};
        }
    }
    m_address = QString::fromUtf8(m_daemon->readLine()).trimmed();
    return m_address;
}

void PrivateBus::stop()
{
    if (m_daemon && m_daemon->state() != QProcess::NotRunning) {
        m_daemon->terminate();
        if (!m_daemon->waitForFinished(10000)) {
            m_daemon->kill();
            m_daemon->waitForFinished(10000);
        }
    }
    m_daemon.reset();
}

} // namespace tsav::test
