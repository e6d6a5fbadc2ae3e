// FlowLayout: the arrangement arithmetic and the QLayout that uses it.
#include "kit/flowlayout.h"

#include <QWidget>

#include <gtest/gtest.h>

using namespace tsav;

namespace {

// A widget that asks for exactly one size.
class Box : public QWidget {
public:
    explicit Box(QSize s) : m_size(s) {}
    QSize sizeHint() const override { return m_size; }

private:
    QSize m_size;
};

} // namespace

TEST(ArrangeFlow, EmptyOversizedAndExactlyFittingChildren)
{
    EXPECT_EQ(arrangeFlow({}, 100, 6, 6).size, QSizeF(0, 0));

    // The first child of a line stays there, however wide, and runs past the edge.
    const auto wide = arrangeFlow({{150, 10}}, 100, 6, 6);
    EXPECT_EQ(wide.frames[0], QRectF(0, 0, 150, 10));
    EXPECT_EQ(wide.size, QSizeF(156, 10));

    // A wide child after another one moves to a new line but keeps its width.
    const auto second = arrangeFlow({{20, 10}, {150, 12}}, 100, 6, 4);
    EXPECT_EQ(second.frames[1], QRectF(0, 14, 150, 12));

    // 40 + 6 + 54 = 100: fits exactly.
    const auto a = arrangeFlow({{40, 10}, {54, 10}}, 100, 6, 6);
    EXPECT_EQ(a.frames[1].topLeft(), QPointF(46, 0));
    // One more point and it wraps.
    const auto b = arrangeFlow({{40, 10}, {55, 10}}, 100, 6, 6);
    EXPECT_EQ(b.frames[1].topLeft(), QPointF(0, 16));
}

TEST(ArrangeFlow, LinesTakeTheTallestChildAndChildrenAlignToTheTop)
{
    const auto a = arrangeFlow({{30, 10}, {30, 24}, {30, 8}, {30, 5}}, 70, 4, 3);
    // Line 1: 30 + 4 + 30 = 64 fits in 70; the third child wraps.
    EXPECT_EQ(a.frames[0].y(), 0);
    EXPECT_EQ(a.frames[1].y(), 0);
    EXPECT_EQ(a.frames[2].topLeft(), QPointF(0, 27)); // 24 + 3
    EXPECT_EQ(a.frames[3].topLeft(), QPointF(34, 27));
    EXPECT_EQ(a.size, QSizeF(68, 35));
}

TEST(FlowLayoutWidget, HiddenChildrenTakeNoPlaceAndRemovalReflows)
{
    QWidget host;
    auto *flow = new FlowLayout(6, 6, &host);
    auto *a = new Box({40, 20}), *b = new Box({40, 20}), *c = new Box({40, 20});
    flow->addWidget(a);
    flow->addWidget(b);
    flow->addWidget(c);
    host.show();
    b->hide();
    EXPECT_EQ(flow->heightForWidth(100), 20);
    flow->setGeometry(QRect(0, 0, 100, 100));
    EXPECT_EQ(c->geometry().topLeft(), QPoint(46, 0));

    delete flow->takeAt(0);
    EXPECT_EQ(flow->count(), 2);
    EXPECT_EQ(flow->takeAt(5), nullptr);
    EXPECT_EQ(flow->itemAt(-1), nullptr);
}
