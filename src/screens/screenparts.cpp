#include "screens/screenparts.h"

#include "kit/iconview.h"
#include "kit/label.h"
#include "kit/palette.h"
#include "kit/typography.h"

#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QVBoxLayout>

namespace tsav {

using fonts::Weight;

// --- askFirst -------------------------------------------------------------------------

void askFirst(QWidget *parent, const QString &objectName, Question kind, const QString &title, const QString &text,
              const QString &details, const QStringList &choices, bool destructive,
              std::function<void(int)> onChoice)
{
    auto *box = new QMessageBox(kind == Question::warning ? QMessageBox::Warning : QMessageBox::Question, title, text,
                                QMessageBox::NoButton, parent ? parent->window() : nullptr);
    box->setObjectName(objectName);
    box->setTextFormat(Qt::PlainText);
    box->setInformativeText(details);
    QList<QAbstractButton *> buttons;
    for (const QString &c : choices)
        buttons << box->addButton(c, destructive ? QMessageBox::DestructiveRole : QMessageBox::AcceptRole);
    QPushButton *cancel = box->addButton(QStringLiteral("Anulează"), QMessageBox::RejectRole);
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    QObject::connect(box, &QMessageBox::finished, box, [box, buttons, onChoice = std::move(onChoice)] {
        const int chosen = int(buttons.indexOf(box->clickedButton()));
        if (chosen >= 0)
            onChoice(chosen);
    });
    box->open();
}

// --- NoticeBar ------------------------------------------------------------------------

namespace {
QColor toneColor(NoticeBar::Tone tone)
{
    switch (tone) {
    case NoticeBar::Tone::success: return palette::accentGreen;
    case NoticeBar::Tone::warning: return palette::accentAmber;
    case NoticeBar::Tone::error: return palette::accentRed;
    case NoticeBar::Tone::info: break;
    }
    return palette::accentBlue;
}

QString toneIcon(NoticeBar::Tone tone)
{
    switch (tone) {
    case NoticeBar::Tone::success: return QStringLiteral("checkmark.circle.fill");
    case NoticeBar::Tone::warning:
    case NoticeBar::Tone::error: return QStringLiteral("exclamationmark.triangle.fill");
    case NoticeBar::Tone::info: break;
    }
    return QStringLiteral("info.circle.fill");
}
} // namespace

NoticeBar::NoticeBar(QWidget *parent) : QWidget(parent)
{
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(12, 8, 12, 8);
    row->setSpacing(10);
    m_icon = new IconView(toneIcon(m_tone), toneColor(m_tone), 14, this);
    row->addWidget(m_icon, 0, Qt::AlignTop);
    m_text = makeLabel(QString(), fonts::system(12, Weight::Medium), palette::textPrimary, this);
    m_text->setWordWrap(true);
    m_text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    row->addWidget(m_text, 1);
    hide();
}

void NoticeBar::showNotice(const QString &text, Tone tone)
{
    m_tone = tone;
    m_text->setText(text);
    m_icon->setSymbol(toneIcon(tone));
    m_icon->setColor(toneColor(tone));
    setAccessibleName(text);
    setVisible(!text.isEmpty());
    update();
}

QString NoticeBar::text() const { return m_text->text(); }

void NoticeBar::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 9, 9);
    const QColor c = toneColor(m_tone);
    p.fillPath(shape, palette::withOpacity(c, 0.12));
    p.setPen(QPen(palette::withOpacity(c, 0.45), 1));
    p.drawPath(shape);
}

QString moreRowsText(qsizetype hidden)
{
    return QStringLiteral("… și încă ") + QString::number(hidden);
}

void setDimmed(QWidget *w, bool dimmed)
{
    const bool isDimmed = qobject_cast<QGraphicsOpacityEffect *>(w->graphicsEffect()) != nullptr;
    if (dimmed == isDimmed)
        return;
    if (dimmed) {
        auto *effect = new QGraphicsOpacityEffect(w);
        effect->setOpacity(0.4);
        w->setGraphicsEffect(effect);
    } else {
        w->setGraphicsEffect(nullptr);
    }
}

// --- SegmentedControl ---------------------------------------------------------------

SegmentedControl::SegmentedControl(QStringList labels, int width, QWidget *parent)
    : QWidget(parent), m_labels(std::move(labels)), m_width(width)
{
    setFixedSize(width, 26);
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    setAccessibleName(m_labels.join(QLatin1Char('/')));
}

QSize SegmentedControl::sizeHint() const { return {m_width, 26}; }

void SegmentedControl::setCurrentIndex(int index)
{
    if (index < 0 || index >= m_labels.size() || index == m_current)
        return;
    m_current = index;
    update();
    Q_EMIT currentChanged(index);
}

QRectF SegmentedControl::segmentRect(int i) const
{
    const qreal w = (width() - 4.0) / std::max<qsizetype>(m_labels.size(), 1);
    return QRectF(2 + i * w, 2, w, height() - 4);
}

void SegmentedControl::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath outer;
    outer.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 7, 7);
    p.fillPath(outer, QColor(255, 255, 255, 15));
    p.setPen(QPen(QColor(255, 255, 255, 26), 1));
    p.drawPath(outer);
    const QFont f = fonts::system(12, Weight::Medium);
    for (int i = 0; i < m_labels.size(); ++i) {
        const QRectF r = segmentRect(i);
        if (i == m_current) {
            QPainterPath sel;
            sel.addRoundedRect(r, 5, 5);
            p.fillPath(sel, QColor(255, 255, 255, 46));
        } else if (i > 0 && i - 1 != m_current) {
            p.setPen(QPen(QColor(255, 255, 255, 31), 1));
            p.drawLine(QPointF(r.left(), r.top() + 5), QPointF(r.left(), r.bottom() - 5));
        }
        drawText(p, r, m_labels[i], f, i == m_current ? palette::textPrimary : palette::textSecondary,
                 Qt::AlignCenter);
    }
    if (hasFocus()) {
        p.setPen(QPen(palette::withOpacity(palette::accentBlue, 0.6), 1));
        p.setBrush(Qt::NoBrush);
        p.drawPath(outer);
    }
}

void SegmentedControl::mousePressEvent(QMouseEvent *e)
{
    for (int i = 0; i < m_labels.size(); ++i)
        if (segmentRect(i).contains(e->position()))
            setCurrentIndex(i);
}

void SegmentedControl::keyPressEvent(QKeyEvent *e)
{
    if (e->key() == Qt::Key_Left)
        setCurrentIndex(m_current - 1);
    else if (e->key() == Qt::Key_Right)
        setCurrentIndex(m_current + 1);
    else
        QWidget::keyPressEvent(e);
}

// --- header and lists ------------------------------------------------------------------

ScreenHeader makeScreenHeader(const QString &title, const QString &subtitle, int subtitleSize,
                              int spacing)
{
    ScreenHeader h;
    h.widget = new QWidget;
    auto *col = new QVBoxLayout(h.widget);
    col->setContentsMargins(0, 0, 0, 0);
    col->setSpacing(spacing);
    h.title = makeLabel(title, fonts::rounded(26, Weight::Bold), palette::textPrimary);
    h.subtitle = makeLabel(subtitle, fonts::system(subtitleSize), palette::textSecondary);
    col->addWidget(h.title);
    col->addWidget(h.subtitle);
    return h;
}

QString scrollBarStyle()
{
    return QStringLiteral(
        "QScrollBar:vertical { background: transparent; width: 8px; margin: 0; }"
        "QScrollBar::handle:vertical { background: rgba(255,255,255,46); border-radius: 4px; "
        "min-height: 24px; }"
        "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
        "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }");
}

QScrollArea *makePageScrollArea(Qt::ScrollBarPolicy vertical)
{
    auto *scroll = new QScrollArea;
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setVerticalScrollBarPolicy(vertical);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setStyleSheet(QStringLiteral("QScrollArea { background: transparent; }") + scrollBarStyle());
    scroll->viewport()->setAutoFillBackground(false);
    return scroll;
}

QListView *makeRowList(QWidget *parent)
{
    auto *v = new QListView(parent);
    v->setFrameShape(QFrame::NoFrame);
    v->setSelectionMode(QAbstractItemView::NoSelection);
    v->setEditTriggers(QAbstractItemView::NoEditTriggers);
    v->setFocusPolicy(Qt::NoFocus);
    v->setMouseTracking(true);
    v->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    v->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    v->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    v->verticalScrollBar()->setSingleStep(12);
    v->setAttribute(Qt::WA_TranslucentBackground);
    v->viewport()->setAutoFillBackground(false);
    v->setAutoFillBackground(false);
    v->setStyleSheet(QStringLiteral("QListView { background: transparent; border: none; }") + scrollBarStyle());
    return v;
}

PaintedRowDelegate::PaintedRowDelegate(Paint paint, Height height, QObject *parent)
    : QStyledItemDelegate(parent), m_paint(std::move(paint)), m_height(std::move(height))
{
}

void PaintedRowDelegate::paint(QPainter *p, const QStyleOptionViewItem &option,
                               const QModelIndex &index) const
{
    p->save();
    p->setRenderHint(QPainter::Antialiasing);
    p->setRenderHint(QPainter::TextAntialiasing);
    const bool hovered = option.state.testFlag(QStyle::State_MouseOver);
    if (hovered)
        drawHover(*p, option.rect);
    m_paint(*p, option.rect, index.row(), hovered);
    p->restore();
}

QSize PaintedRowDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    return {option.rect.width(), m_height(index.row(), option.rect.width())};
}

// --- painting helpers ---------------------------------------------------------------

void drawText(QPainter &p, const QRectF &r, const QString &text, const QFont &font,
              const QColor &color, Qt::Alignment align, Qt::TextElideMode elide)
{
    if (r.width() <= 0)
        return;
    p.setFont(font);
    p.setPen(color);
    const QFontMetricsF fm(font);
    const QString shown = elide == Qt::ElideNone ? text : fm.elidedText(text, elide, r.width());
    p.drawText(r, int(align) | Qt::TextSingleLine, shown);
}

void drawDivider(QPainter &p, qreal x0, qreal x1, qreal y, const QColor &color)
{
    p.fillRect(QRectF(x0, y, x1 - x0, 1), color);
}

QRectF drawBadge(QPainter &p, const QPointF &topRight, const QString &text, const QFont &font,
                 const QColor &color, qreal padX, qreal padY, double fillOpacity)
{
    const QFontMetricsF fm(font);
    const QSizeF size(fm.horizontalAdvance(text) + 2 * padX, fm.height() + 2 * padY);
    const QRectF r(topRight.x() - size.width(), topRight.y(), size.width(), size.height());
    QPainterPath capsule;
    capsule.addRoundedRect(r, r.height() / 2, r.height() / 2);
    p.fillPath(capsule, palette::withOpacity(color, fillOpacity));
    drawText(p, r, text, font, color, Qt::AlignCenter, Qt::ElideNone);
    return r;
}

void drawHover(QPainter &p, const QRect &r) { p.fillRect(r, QColor(255, 255, 255, 10)); }

PaintedWidget::PaintedWidget(Paint paint, QWidget *parent) : QWidget(parent), m_paint(std::move(paint))
{
}

void PaintedWidget::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    if (m_paint)
        m_paint(p, QRectF(rect()));
}

} // namespace tsav
