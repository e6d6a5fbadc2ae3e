#pragma once
// Plain-text tables for the terminal: columns padded to their widest cell.

#include <QList>
#include <QString>
#include <QStringList>

namespace tsav::ctl {

class Table {
public:
    explicit Table(QStringList headers, QList<bool> rightAligned = {});
    void addRow(QStringList cells);
    QString render() const; // header, one line per row; every line ends with "\n"
    qsizetype rowCount() const { return m_rows.size(); }

private:
    QStringList m_headers;
    QList<bool> m_right;
    QList<QStringList> m_rows;
};

// Local time "yyyy-MM-dd HH:mm:ss" of a wire timestamp (seconds since the epoch).
QString formatTime(double epochSeconds);
// Byte count in powers of 1024: "512 B", "1.5 KiB", "3.2 GiB".
QString formatBytes(qint64 bytes);
// Control characters (a hostile agent's escape sequences) shown as U+FFFD.
QString printable(const QString &text);

} // namespace tsav::ctl
