#pragma once
// A symbol of the icon table drawn in a colour, as a small widget.

#include <QColor>
#include <QWidget>

namespace tsav {

class IconView : public QWidget {
    Q_OBJECT
public:
    // `size` is the glyph size in points; the widget is `boxWidth` wide (0: the glyph size).
    IconView(QString symbol, QColor color, qreal size, QWidget *parent = nullptr, int boxWidth = 0);

    void setSymbol(const QString &symbol);
    void setColor(const QColor &color);
    QString symbol() const { return m_symbol; }
    QColor color() const { return m_color; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *) override;

private:
    QString m_symbol;
    QColor m_color;
    qreal m_size;
    int m_boxWidth;
};

} // namespace tsav
