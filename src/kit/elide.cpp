#include "kit/elide.h"

#include <QFontMetricsF>
#include <QTextLayout>

namespace tsav {

QString elideLines(const QString &text, const QFont &font, qreal width, int maxLines)
{
    if (maxLines < 1 || width <= 0 || text.isEmpty())
        return {};
    const QFontMetricsF fm(font);
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    QStringList lines;
    while (true) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(width);
        const QString piece = text.mid(line.textStart(), line.textLength());
        if (lines.size() == maxLines - 1) {
            // The last allowed line takes the rest of the text, elided.
            const QString rest = text.mid(line.textStart()).simplified();
            lines.append(fm.elidedText(rest, Qt::ElideRight, width));
            break;
        }
        lines.append(piece.trimmed());
    }
    layout.endLayout();
    return lines.join(QLatin1Char('\n'));
}

} // namespace tsav
