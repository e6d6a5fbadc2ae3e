#pragma once
// Pieces shared by the investigation screens: the segmented control, the screen
// header, the painted-row list view and small painting helpers.

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QListView>
#include <QScrollArea>
#include <QStringList>
#include <QStyledItemDelegate>
#include <QWidget>

#include <functional>

class QLabel;
class QPainter;
class QVBoxLayout;

namespace tsav {

class IconView;

// A row of mutually exclusive segments of equal width, painted in the console's colours.
class SegmentedControl : public QWidget {
    Q_OBJECT
public:
    SegmentedControl(QStringList labels, int width, QWidget *parent = nullptr);
    int currentIndex() const { return m_current; }
    void setCurrentIndex(int index); // emits currentChanged when it changes
    QStringList labels() const { return m_labels; }
    QSize sizeHint() const override;

Q_SIGNALS:
    void currentChanged(int index);

protected:
    void paintEvent(QPaintEvent *) override;
    void mousePressEvent(QMouseEvent *) override;
    void keyPressEvent(QKeyEvent *) override;

private:
    QRectF segmentRect(int i) const;
    QStringList m_labels;
    int m_current = 0;
    int m_width;
};

// A one-line notice across a screen: an icon and a text on a tinted rounded strip
// (a restore that tells where the file went, data that is not fresh, a refusal).
class NoticeBar : public QWidget {
    Q_OBJECT
public:
    enum class Tone { info, success, warning, error };
    explicit NoticeBar(QWidget *parent = nullptr);
    // Shows the (plain) text in the tone; an empty text hides the bar.
    void showNotice(const QString &text, Tone tone);
    QString text() const;
    Tone tone() const { return m_tone; }

protected:
    void paintEvent(QPaintEvent *) override;

private:
    QLabel *m_text;
    IconView *m_icon;
    Tone m_tone = Tone::info;
};

// Asks before an action that cannot be undone or lowers the guard: a question (plain text)
// that belongs to `parent`'s window and lets it run meanwhile. `onChoice` gets the index of
// the chosen button among `choices`; "Anulează", the default and Escape, calls nothing.
enum class Question { warning, question };
void askFirst(QWidget *parent, const QString &objectName, Question kind, const QString &title, const QString &text,
              const QString &details, const QStringList &choices, bool destructive,
              std::function<void(int)> onChoice);

// The last line of a list cut short: "… și încă N" (N rows not shown).
QString moreRowsText(qsizetype hidden);

// Dims a part of a screen whose figures are not fresh (and brings it back).
void setDimmed(QWidget *w, bool dimmed);

// Title (26 bold rounded) over a subtitle (12, textSecondary), 2 points apart.
struct ScreenHeader {
    QWidget *widget = nullptr;
    QLabel *title = nullptr;
    QLabel *subtitle = nullptr;
};
ScreenHeader makeScreenHeader(const QString &title, const QString &subtitle, int subtitleSize = 12,
                              int spacing = 2);

// The slim translucent vertical scroll bar of the screens' lists and scroll areas.
QString scrollBarStyle();

// A frameless, transparent scroll area for a screen's page or list: resizes its widget,
// scrolls vertically only, with the slim scroll bar.
QScrollArea *makePageScrollArea(Qt::ScrollBarPolicy vertical = Qt::ScrollBarAsNeeded);

// A list of painted rows: transparent, frameless, vertical scroll bar always shown,
// hover tracked, rows never selected or edited.
QListView *makeRowList(QWidget *parent = nullptr);

// Paints a row through a function; rows are sized by a height function.
class PaintedRowDelegate : public QStyledItemDelegate {
public:
    using Paint = std::function<void(QPainter &, const QRect &, int row, bool hovered)>;
    using Height = std::function<int(int row, int width)>;
    PaintedRowDelegate(Paint paint, Height height, QObject *parent = nullptr);
    void paint(QPainter *p, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

private:
    Paint m_paint;
    Height m_height;
};

// Painting helpers.
void drawText(QPainter &p, const QRectF &r, const QString &text, const QFont &font,
              const QColor &color, Qt::Alignment align = Qt::AlignLeft | Qt::AlignVCenter,
              Qt::TextElideMode elide = Qt::ElideRight);
void drawDivider(QPainter &p, qreal x0, qreal x1, qreal y, const QColor &color);
// A capsule badge with text; returns its rectangle (placed from `anchor` per `align`).
QRectF drawBadge(QPainter &p, const QPointF &topRight, const QString &text, const QFont &font,
                 const QColor &color, qreal padX, qreal padY, double fillOpacity);
// The translucent row highlight under the pointer.
void drawHover(QPainter &p, const QRect &r);

// A widget whose painting is one function (small charts, tables of a few rows).
class PaintedWidget : public QWidget {
public:
    using Paint = std::function<void(QPainter &, const QRectF &)>;
    explicit PaintedWidget(Paint paint, QWidget *parent = nullptr);
    void setPaint(Paint paint) { m_paint = std::move(paint); update(); }

protected:
    void paintEvent(QPaintEvent *) override;

private:
    Paint m_paint;
};

} // namespace tsav
