#pragma once
// The benchmarks' reading of their own process's memory.

#include <QByteArray>
#include <QFile>
#include <QString>

namespace tsav::bench {

// A field of /proc/self/status in kB ("VmRSS", "VmHWM", "RssAnon"), or -1.
inline qint64 statusKb(const char *key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(key) + ':';
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

} // namespace tsav::bench
