#pragma once
// Plain-text labels in the console's fonts and colours.

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QPalette>

namespace tsav {

// A QLabel that never interprets rich text.
inline QLabel *makeLabel(const QString &text, const QFont &font, const QColor &color,
                         QWidget *parent = nullptr)
{
    auto *l = new QLabel(parent);
    l->setTextFormat(Qt::PlainText);
    l->setText(text);
    l->setFont(font);
    QPalette pal = l->palette();
    pal.setColor(QPalette::WindowText, color);
    pal.setColor(QPalette::Text, color);
    l->setPalette(pal);
    return l;
}

inline void setLabelColor(QLabel *l, const QColor &color)
{
    QPalette pal = l->palette();
    pal.setColor(QPalette::WindowText, color);
    pal.setColor(QPalette::Text, color);
    l->setPalette(pal);
}

} // namespace tsav
