#pragma once
// FlowLayout: places children left to right and wraps them onto further lines.
// One arrangement function serves both sizing and placement; nothing is cached.

#include <QLayout>
#include <QList>
#include <QRectF>
#include <QSizeF>

#include <limits>

namespace tsav {

struct FlowArrangement {
    QList<QRectF> frames;
    QSizeF size;
};

// The arrangement of children of the given ideal sizes against a maximum width.
FlowArrangement arrangeFlow(const QList<QSizeF> &sizes, qreal maxWidth, qreal spacing,
                            qreal lineSpacing);

class FlowLayout : public QLayout {
public:
    FlowLayout(qreal spacing, qreal lineSpacing, QWidget *parent = nullptr);
    ~FlowLayout() override;

    void addItem(QLayoutItem *item) override;
    int count() const override;
    QLayoutItem *itemAt(int index) const override;
    QLayoutItem *takeAt(int index) override;
    Qt::Orientations expandingDirections() const override;
    bool hasHeightForWidth() const override;
    int heightForWidth(int width) const override;
    QSize minimumSize() const override;
    QSize sizeHint() const override;
    void setGeometry(const QRect &rect) override;

    qreal flowSpacing() const { return m_spacing; }
    qreal lineSpacing() const { return m_lineSpacing; }

private:
    QList<QSizeF> itemSizes() const;
    QList<QLayoutItem *> m_items;
    qreal m_spacing, m_lineSpacing;
};

} // namespace tsav
