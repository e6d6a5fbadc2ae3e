#pragma once
// The real bundled agent as a child process of a test: its own home (outside the shared
// temporary folders) in the agent's test mode, started with the interpreter of its virtual
// environment, stopped with SIGTERM. tessaly-ctl runs against it with the same home.

#include "agentlink/transport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>

#include "../testbase.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

#include <utility>

namespace tsav::test {

// The anti-virus industry's test file, assembled here so that no file of the project holds it.
inline QByteArray eicar()
{
    return QByteArrayLiteral("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + "EICAR-STANDARD-ANTIVIRUS-" + "TEST-FILE!$H+H*";
}

inline bool existsBytes(const QByteArray &path)
{
    struct stat st;
    return ::lstat(path.constData(), &st) == 0;
}

class AgentProcess {
public:
    AgentProcess() : m_home(testDirTemplate(QStringLiteral("e2e")))
    {
        m_home.setAutoRemove(false); // names that are not UTF-8 defeat QDir: removed by bytes below
        for (const char *d : {"Downloads", "Desktop", "tmp", ".config", ".local/share", ".cache", "run"})
            QDir().mkpath(m_home.filePath(QString::fromLatin1(d)));
    }
    ~AgentProcess()
    {
        stop();
        std::error_code ignored;
        std::filesystem::remove_all(QFile::encodeName(m_home.path()).toStdString(), ignored);
    }

    bool available() const { return QFileInfo(QStringLiteral(TSAV_AGENT_PYTHON)).isExecutable(); }
    QString home() const { return m_home.path(); }
    QString downloads() const { return m_home.filePath(QStringLiteral("Downloads")); }
    QString dataDir() const { return m_home.filePath(QStringLiteral(".local/share/tessaly-agent")); }
    QString socketPath() const { return agentSocketPath(home()); }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &k : env.keys())
            if (k.startsWith(QLatin1String("TSAV_")) || k.startsWith(QLatin1String("XDG_")))
                env.remove(k);
        env.insert(QStringLiteral("HOME"), home());
        env.insert(QStringLiteral("XDG_DATA_HOME"), m_home.filePath(QStringLiteral(".local/share")));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.filePath(QStringLiteral(".config")));
        env.insert(QStringLiteral("XDG_CACHE_HOME"), m_home.filePath(QStringLiteral(".cache")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home.filePath(QStringLiteral("run")));
        env.insert(QStringLiteral("PYTHONDONTWRITEBYTECODE"), QStringLiteral("1"));
        // Test mode: short timers, and a stand-in /tmp inside this home.
        env.insert(QStringLiteral("TSAV_AGENT_TEST_MODE"), QStringLiteral("1"));
        env.insert(QStringLiteral("TSAV_AGENT_TMP_DIR"), m_home.filePath(QStringLiteral("tmp")));
        for (auto it = m_extra.cbegin(); it != m_extra.cend(); ++it)
            env.insert(it.key(), it.value());
        return env;
    }
    void setExtraEnvironment(const QString &key, const QString &value) { m_extra.insert(key, value); }

    bool start()
    {
        m_process.setProgram(QStringLiteral(TSAV_AGENT_PYTHON));
        m_process.setArguments({QStringLiteral("-m"), QStringLiteral("agent.main")});
        m_process.setWorkingDirectory(QStringLiteral(TSAV_AGENT_RESOURCES));
        m_process.setProcessEnvironment(environment());
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.setStandardOutputFile(m_home.filePath(QStringLiteral("agent-output.txt")));
        m_process.start();
        return m_process.waitForStarted(30000);
    }

    // SIGTERM, then the clean exit the agent promises (true), or a kill (false).
    bool stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return m_process.exitStatus() == QProcess::NormalExit;
        m_process.terminate();
        if (m_process.waitForFinished(30000))
            return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
        m_process.kill();
        m_process.waitForFinished(5000);
        return false;
    }

    QString output() const
    {
        QFile f(m_home.filePath(QStringLiteral("agent-output.txt")));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll().right(6000)) : QString();
    }

    // Names that are not UTF-8 do not survive a QString: the path goes as bytes.
    void writeEicar(const QByteArray &path) const
    {
        FILE *file = std::fopen(path.constData(), "wb");
        if (!file)
            return;
        const QByteArray content = eicar();
        std::fwrite(content.constData(), 1, size_t(content.size()), file);
        std::fclose(file);
    }

    // tessaly-ctl with this home: (exit status, standard output).
    std::pair<int, QString> ctl(const QStringList &args) const
    {
        QProcess p;
        p.setProcessEnvironment(environment());
        p.start(QStringLiteral(TSAV_CTL_EXECUTABLE), args);
        if (!p.waitForFinished(120000))
            return {-1, QString()};
        return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput())};
    }

private:
    QTemporaryDir m_home;
    QProcess m_process;
    QHash<QString, QString> m_extra;
};

} // namespace tsav::test
