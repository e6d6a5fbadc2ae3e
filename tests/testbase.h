#pragma once
// Where tests keep their homes, sockets and fixtures: never /tmp, /var/tmp or /dev/shm,
// which an agent running on this machine may watch (and act on what a test drops there).
// $TSAV_TEST_TMPDIR when set, else ~/.cache/tessaly-tests (kept short: a Unix socket path
// must fit in 108 bytes).

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <ostream>

// Failures print texts as text (gtest finds this beside QString).
inline void PrintTo(const QString &text, std::ostream *os) { *os << '"' << text.toStdString() << '"'; }

namespace tsav::test {

inline QString testBase()
{
    QString base = qEnvironmentVariable("TSAV_TEST_TMPDIR");
    if (base.isEmpty()) {
        QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
        if (cache.isEmpty())
            cache = QDir::homePath() + QStringLiteral("/.cache");
        base = cache + QStringLiteral("/tessaly-tests");
    }
    QDir().mkpath(base);
    return base;
}

// A QTemporaryDir template under testBase().
inline QString testDirTemplate(const QString &prefix)
{
    return testBase() + u'/' + prefix + QStringLiteral("-XXXXXX");
}

// Writes a file (its folders made as needed), executable by its owner when asked;
// whether it could be written.
inline bool writeFile(const QString &path, const QByteArray &content, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(content) != content.size())
        return false;
    f.close();
    return !executable || f.setPermissions(f.permissions() | QFile::ExeOwner | QFile::ExeUser);
}

// The requests a scripted peer received for `op`, parsed, oldest first.
template <typename Peer>
QList<QJsonObject> requestsFor(const Peer &peer, const QString &op)
{
    QList<QJsonObject> out;
    for (const QByteArray &raw : peer.requests())
        if (const QJsonObject o = QJsonDocument::fromJson(raw).object(); o.value(QStringLiteral("op")).toString() == op)
            out << o;
    return out;
}

} // namespace tsav::test
