#pragma once
// Wrapping text to at most a number of lines, with an ellipsis closing the last line
// when the text does not fit.

#include <QFont>
#include <QString>

namespace tsav {

// `text` wrapped at word boundaries to `width` and cut to `maxLines` lines; the lines are
// joined with '\n'. A word longer than the width is broken anywhere.
QString elideLines(const QString &text, const QFont &font, qreal width, int maxLines);

} // namespace tsav
