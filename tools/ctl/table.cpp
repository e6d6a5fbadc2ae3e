#include "table.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>

namespace tsav::ctl {

Table::Table(QStringList headers, QList<bool> rightAligned) : m_headers(std::move(headers)), m_right(std::move(rightAligned))
{
    m_right.resize(m_headers.size(), false);
}

void Table::addRow(QStringList cells)
{
    cells.resize(m_headers.size());
    for (QString &cell : cells)
        cell = printable(cell);
    m_rows.append(std::move(cells));
}

QString Table::render() const
{
    QList<qsizetype> widths;
    for (const QString &h : m_headers)
        widths.append(h.size());
    for (const QStringList &row : m_rows)
        for (qsizetype c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], row[c].size());

    const auto line = [&](const QStringList &cells) {
        QString out;
        for (qsizetype c = 0; c < cells.size(); ++c) {
            const bool last = c + 1 == cells.size();
            if (c > 0)
                out += QStringLiteral("  ");
            out += m_right[c] ? cells[c].rightJustified(widths[c]) : last ? cells[c] : cells[c].leftJustified(widths[c]);
        }
        return out + u'\n';
    };
    QString out = line(m_headers);
    for (const QStringList &row : m_rows)
        out += line(row);
    return out;
}

QString formatTime(double epochSeconds)
{
    if (!std::isfinite(epochSeconds))
        return QStringLiteral("-");
    const auto ms = static_cast<qint64>(std::clamp(epochSeconds, -1e13, 1e13) * 1000.0);
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString formatBytes(qint64 bytes)
{
    static const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (std::abs(value) >= 1024.0 && unit < 6) {
        value /= 1024.0;
        ++unit;
    }
    if (unit == 0)
        return QString::number(bytes) + QStringLiteral(" B");
    return QString::number(value, 'f', 1) + u' ' + QLatin1String(units[unit]);
}

QString printable(const QString &text)
{
    QString out = text;
    for (QChar &c : out)
        if (c.category() == QChar::Other_Control)
            c = QChar(0xFFFD);
    return out;
}

} // namespace tsav::ctl
