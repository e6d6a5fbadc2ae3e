#include "screens/quarantineview.h"

#include "agentlink/agentclient.h"
#include "kit/icons.h"
#include "kit/label.h"
#include "kit/palette.h"
#include "kit/plaintext.h"
#include "kit/tspanel.h"
#include "kit/tspillbutton.h"
#include "kit/typography.h"
#include "screens/byteformat.h"
#include "screens/screenparts.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPainter>
#include <QScrollArea>
#include <QVBoxLayout>

namespace tsav {

using fonts::Weight;

QString quarantineFileName(const QString &path) { return QFileInfo(path).fileName(); }

QString quarantineDetailLine(const QuarantineEntry &q)
{
    return QStringLiteral("Motiv: ") + q.reason + QStringLiteral("  ·  ") + bytes::format(q.size, bytes::kbToGb);
}

namespace {

QString headerLine(qint64 n) { return QStringLiteral("%1 fișiere izolate · XOR-obfuscate în vault").arg(n); }

// A label that shortens its (plain) text at the end instead of widening the row.
class ElidedLabel : public QWidget {
public:
    ElidedLabel(QString text, QFont font, QColor color) : m_text(std::move(text)), m_font(font), m_color(color)
    {
        setFixedHeight(int(std::ceil(QFontMetricsF(m_font).height())));
        setMinimumWidth(40);
        setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
        setAccessibleName(m_text);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::TextAntialiasing);
        drawText(p, QRectF(rect()), m_text, m_font, m_color, Qt::AlignLeft | Qt::AlignVCenter);
    }

private:
    QString m_text;
    QFont m_font;
    QColor m_color;
};

} // namespace

QuarantineRow::QuarantineRow(const QuarantineEntry &q, std::function<void(qint64)> restore,
                             std::function<void(qint64)> remove, QWidget *parent)
    : QWidget(parent), m_q(q)
{
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(6, 10, 6, 11); // + the divider
    row->setSpacing(12);
    auto *icon = new PaintedWidget([](QPainter &p, const QRectF &r) {
        icons::draw(p, r, QStringLiteral("lock.shield.fill"), palette::accentAmber, 20);
    });
    icon->setFixedSize(28, 28);
    row->addWidget(icon, 0, Qt::AlignVCenter);

    auto *texts = new QVBoxLayout;
    texts->setSpacing(3);
    texts->addWidget(new ElidedLabel(plainText(quarantineFileName(q.original_path)),
                                     fonts::system(13, Weight::Semibold), palette::textPrimary));
    texts->addWidget(new ElidedLabel(plainText(q.original_path), fonts::mono(10), palette::textSecondary));
    texts->addWidget(new ElidedLabel(plainText(quarantineDetailLine(q)), fonts::system(10), palette::textTertiary));
    row->addLayout(texts, 1);

    const qint64 id = q.id;
    m_restore = new TSPillButton(QStringLiteral("Restore"), QStringLiteral("arrow.uturn.backward"),
                                 TSPillButton::Kind::ghost, [restore, id] { restore(id); });
    m_restore->setFixedPillWidth(120);
    m_delete = new TSPillButton(QStringLiteral("Șterge"), QStringLiteral("trash.fill"), TSPillButton::Kind::danger,
                                [remove, id] { remove(id); });
    m_delete->setFixedPillWidth(120);
    row->addWidget(m_restore, 0, Qt::AlignVCenter);
    row->addWidget(m_delete, 0, Qt::AlignVCenter);
}

void QuarantineRow::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    drawDivider(p, 0, width(), height() - 1, palette::hairline);
}

QuarantineView::QuarantineView(const ScreenContext &ctx, QWidget *parent) : QWidget(parent), m_agent(ctx.agent)
{
    setObjectName(QStringLiteral("screen.quarantine"));
    auto *col = new QVBoxLayout(this);
    col->setContentsMargins(0, 0, 0, 0);
    col->setSpacing(16);
    ScreenHeader header = makeScreenHeader(QStringLiteral("Carantină"), headerLine(0));
    m_header = header.subtitle;
    col->addWidget(header.widget);
    m_notice = new NoticeBar;
    m_notice->setObjectName(QStringLiteral("quarantine.notice"));
    col->addWidget(m_notice);

    auto *panel = new TSPanel;
    // Empty state.
    m_empty = new QWidget;
    {
        auto *v = new QVBoxLayout(m_empty);
        v->setContentsMargins(0, 40, 0, 40);
        v->setSpacing(8);
        auto *icon = new PaintedWidget([](QPainter &p, const QRectF &r) {
            icons::draw(p, r, QStringLiteral("tray.fill"), palette::textTertiary, 36);
        });
        icon->setFixedHeight(40);
        v->addWidget(icon);
        QLabel *text = makeLabel(QStringLiteral("Carantina e goală."), fonts::system(13), palette::textSecondary);
        text->setAlignment(Qt::AlignCenter);
        v->addWidget(text);
        v->addStretch(1); // icon and text stay together under the top padding, however tall the panel
    }
    panel->addWidget(m_empty);

    auto *scroll = makePageScrollArea(Qt::ScrollBarAlwaysOn);
    auto *content = new QWidget;
    content->setAutoFillBackground(false);
    m_rows = new QVBoxLayout(content);
    m_rows->setContentsMargins(0, 0, 0, 0);
    m_rows->setSpacing(0);
    m_rows->addStretch();
    scroll->setWidget(content);
    content->setAutoFillBackground(false); // setWidget() turns it on
    m_scroll = scroll;
    panel->addWidget(scroll, 1);
    col->addWidget(panel, 1);

    if (m_agent)
        connect(m_agent, &AgentClient::quarantineChanged, this, &QuarantineView::refreshFromClient);
    refreshFromClient();
}

void QuarantineView::refreshFromClient()
{
    setEntries(m_agent ? m_agent->quarantine() : QList<QuarantineEntry>{});
}

void QuarantineView::setEntries(const QList<QuarantineEntry> &entries)
{
    m_header->setText(headerLine(entries.size()));
    m_empty->setVisible(entries.isEmpty());
    m_scroll->setVisible(!entries.isEmpty());
    if (entries == m_entries && m_rowWidgets.size() == entries.size())
        return;
    m_entries = entries;

    // Keep the widgets of entries that did not change (their buttons keep focus and
    // hover); rebuild the rest.
    QHash<qint64, QuarantineRow *> old;
    for (QuarantineRow *r : std::as_const(m_rowWidgets))
        old.insert(r->entry().id, r);
    QList<QuarantineRow *> next;
    for (const QuarantineEntry &q : entries) {
        QuarantineRow *r = old.take(q.id);
        if (r && !(r->entry() == q)) {
            r->deleteLater();
            r = nullptr;
        }
        if (!r)
            r = new QuarantineRow(q, [this](qint64 id) { restore(id); }, [this](qint64 id) { remove(id); });
        next.append(r);
    }
    for (QuarantineRow *r : std::as_const(old))
        r->deleteLater();
    for (QuarantineRow *r : std::as_const(next))
        m_rows->removeWidget(r); // a no-op for new rows
    for (int i = 0; i < next.size(); ++i)
        m_rows->insertWidget(i, next[i]);
    m_rowWidgets = next;
}

QCoro::Task<> QuarantineView::restore(qint64 id)
{
    QPointer<AgentClient> agent = m_agent;
    if (!agent)
        co_return;
    QPointer<QuarantineView> self(this);
    const CommandResult result = co_await agent->restoreQuarantine(id);
    if (self)
        m_notice->showNotice(restoreNotice(result), result.ok ? NoticeBar::Tone::success : NoticeBar::Tone::error);
}

void QuarantineView::remove(qint64 id)
{
    if (!m_agent)
        return;
    QString name;
    for (const QuarantineEntry &q : std::as_const(m_entries))
        if (q.id == id)
            name = plainText(quarantineFileName(q.original_path));
    // Gone for good: ask first.
    QPointer<QuarantineView> self(this);
    askFirst(this, QStringLiteral("quarantine.confirmDelete"), Question::warning, QStringLiteral("Șterge definitiv"),
             kDeleteQuestion, name, {QStringLiteral("Șterge")}, true, [self, id](int) {
                 if (self)
                     self->eraseConfirmed(id);
             });
}

QCoro::Task<> QuarantineView::eraseConfirmed(qint64 id)
{
    QPointer<AgentClient> agent = m_agent;
    if (!agent)
        co_return;
    QPointer<QuarantineView> self(this);
    const CommandResult result = co_await agent->deleteQuarantine(id);
    if (self)
        m_notice->showNotice(deleteNotice(result), result.ok ? NoticeBar::Tone::info : NoticeBar::Tone::error);
}

QString QuarantineView::restoreNotice(const CommandResult &result)
{
    if (!result.ok)
        return QStringLiteral("Restaurarea nu a reușit: ") + plainText(result.error, 300);
    const QString where = result.data.value(QStringLiteral("restored_to")).toString();
    if (where.isEmpty())
        return QStringLiteral("Fișierul a fost restaurat la locul lui.");
    return QStringLiteral("Fișierul a fost restaurat în ") + plainText(where, 400);
}

QString QuarantineView::deleteNotice(const CommandResult &result)
{
    if (!result.ok)
        return QStringLiteral("Ștergerea nu a reușit: ") + plainText(result.error, 300);
    return QStringLiteral("Fișierul a fost șters definitiv.");
}

QString QuarantineView::noticeText() const { return m_notice->isHidden() ? QString() : m_notice->text(); }

QList<QuarantineRow *> QuarantineView::rows() const { return m_rowWidgets; }
QString QuarantineView::headerText() const { return m_header->text(); }
bool QuarantineView::showsEmptyState() const { return !m_empty->isHidden(); }

} // namespace tsav
