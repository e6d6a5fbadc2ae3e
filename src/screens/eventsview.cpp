#include "screens/eventsview.h"

#include "agentlink/agentclient.h"
#include "kit/label.h"
#include "kit/palette.h"
#include "kit/plaintext.h"
#include "kit/tspanel.h"
#include "kit/typography.h"
#include "screens/eventslogic.h"
#include "screens/historytools.h"
#include "kit/tspillbutton.h"
#include "screens/screenparts.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QPainter>
#include <QSignalBlocker>
#include <QTextLayout>
#include <QVBoxLayout>

#include <cmath>

namespace tsav {

using fonts::Weight;

namespace {

constexpr int kTimeW = 140, kSourceW = 90, kActionW = 140, kGap = 12, kPadY = 4;

const QFont &rowFont()
{
    static const QFont font = fonts::mono(11);
    return font;
}

qreal lineHeight() { return std::ceil(QFontMetricsF(rowFont()).height()); }

int eventRowHeight(const EventRow &e)
{
    const qsizetype lines = std::max<qsizetype>(1, eventActionLines(plainText(e.action), rowFont(), kActionW).size());
    return int(lines * lineHeight()) + 2 * kPadY + 1;
}

void paintEventRow(QPainter &p, const QRect &r, const EventRow &e)
{
    const QFont &font = rowFont();
    const qreal lh = lineHeight();
    const QRectF line(r.left(), r.top() + kPadY, r.width(), lh);
    qreal x = line.left();
    auto cell = [&](qreal w, const QString &text, const QColor &c, Qt::TextElideMode elide) {
        drawText(p, QRectF(x, line.top(), w, line.height()), text, font, c, Qt::AlignLeft | Qt::AlignTop, elide);
        x += w + kGap;
    };
    cell(kTimeW, events::timeText(e.ts), palette::textTertiary, Qt::ElideRight);
    cell(kSourceW, plainText(e.source), palette::accentBlue, Qt::ElideRight);
    // The action wraps inside its column (the row grows), so no part of it is lost.
    const QStringList actionLines = eventActionLines(plainText(e.action), font, kActionW);
    for (qsizetype i = 0; i < actionLines.size(); ++i)
        drawText(p, QRectF(x, line.top() + i * lh, kActionW, lh), actionLines[i], font, palette::textPrimary,
                 Qt::AlignLeft | Qt::AlignTop, Qt::ElideNone);
    x += kActionW + kGap;
    cell(std::max<qreal>(line.right() - x, 0), plainText(events::targetText(e)), palette::textSecondary,
         Qt::ElideMiddle);
    drawDivider(p, r.left(), r.right() + 1, r.bottom(), palette::withOpacity(palette::hairline, 0.4));
}

QString pickerStyle()
{
    return QStringLiteral(
        "QComboBox { color: white; background: rgba(255,255,255,10); border: 1px solid "
        "rgba(255,255,255,31); border-radius: 6px; padding: 3px 10px; }"
        "QComboBox::drop-down { border: none; width: 18px; }"
        "QComboBox QAbstractItemView { color: white; background: rgb(18,24,44); "
        "selection-background-color: rgba(56,189,248,60); border: 1px solid rgba(255,255,255,31); }");
}

} // namespace

QStringList eventActionLines(const QString &text, const QFont &font, qreal width, int maxLines)
{
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    QStringList lines;
    layout.beginLayout();
    for (QTextLine l = layout.createLine(); l.isValid(); l = layout.createLine()) {
        l.setLineWidth(width);
        if (lines.size() == maxLines - 1) {
            // The last line allowed takes the rest, shortened with an ellipsis.
            const QString rest = text.mid(l.textStart()).simplified();
            lines.append(QFontMetricsF(font).elidedText(rest, Qt::ElideRight, width));
            break;
        }
        lines.append(text.mid(l.textStart(), l.textLength()).trimmed());
    }
    layout.endLayout();
    if (lines.isEmpty())
        lines.append(QString());
    return lines;
}

EventsView::EventsView(const ScreenContext &ctx, QWidget *parent)
    : QWidget(parent), m_agent(ctx.agent), m_source(events::allSources)
{
    setObjectName(QStringLiteral("screen.events"));
    auto *col = new QVBoxLayout(this);
    col->setContentsMargins(0, 0, 0, 0);
    col->setSpacing(16);

    auto *header = new QHBoxLayout;
    ScreenHeader titles = makeScreenHeader(QStringLiteral("Activitate (Threat Hunting)"), events::headerLine(0));
    m_header = titles.subtitle;
    header->addWidget(titles.widget, 0, Qt::AlignTop);
    header->addStretch();
    auto *pickerRow = new QHBoxLayout;
    pickerRow->setSpacing(8);
    pickerRow->addWidget(makeLabel(QStringLiteral("Source"), fonts::system(12), palette::textSecondary));
    m_picker = new QComboBox;
    m_picker->setAccessibleName(QStringLiteral("Source"));
    m_picker->setFixedWidth(220);
    m_picker->setStyleSheet(pickerStyle());
    m_picker->setFont(fonts::system(12));
    pickerRow->addWidget(m_picker);
    header->addLayout(pickerRow);
    header->setAlignment(pickerRow, Qt::AlignTop);
    col->addLayout(header);
    // Search (on the agent, as the user types) and export.
    auto *tools = new QHBoxLayout;
    tools->setSpacing(12);
    m_search = new SearchField(QStringLiteral("Caută în evenimente (acțiune, țintă, sursă…)"));
    m_search->setObjectName(QStringLiteral("events.search"));
    tools->addWidget(m_search, 1);
    auto *exportButton = new TSPillButton(QStringLiteral("Exportă…"), QStringLiteral("square.and.arrow.down"),
                                          TSPillButton::Kind::ghost, [this] { m_export->start(m_query); });
    exportButton->setObjectName(QStringLiteral("events.export"));
    tools->addWidget(exportButton);
    col->addLayout(tools);
    m_notice = new NoticeBar;
    m_notice->setObjectName(QStringLiteral("events.notice"));
    col->addWidget(m_notice);
    m_export = new ExportFlow(m_agent, this, m_notice, QStringLiteral("events"), QStringLiteral("evenimente"));
    m_searches = new SearchRunner(this, [this](QString query) { return searchOnce(std::move(query)); });
    connect(m_search, &SearchField::searchChanged, this, [this](const QString &query) {
        m_query = query;
        refreshFromClient();
    });
    connect(m_picker, &QComboBox::activated, this, [this](int i) {
        if (i >= 0 && i < m_options.size())
            setSource(m_options[i]);
    });

    auto *panel = new TSPanel;
    m_model = new KeyedListModel<EventRow>(this);
    m_list = makeRowList();
    m_list->setModel(m_model);
    auto *model = m_model;
    m_list->setItemDelegate(new PaintedRowDelegate(
        [model](QPainter &p, const QRect &r, int row, bool) { paintEventRow(p, r, model->rowAt(row)); },
        [model](int row, int) { return eventRowHeight(model->rowAt(row)); }, m_list));
    panel->addWidget(m_list, 1);
    m_more = makeLabel(QString(), fonts::system(11), palette::textTertiary);
    m_more->setContentsMargins(6, 8, 0, 0);
    m_more->hide();
    panel->addWidget(m_more);
    col->addWidget(panel, 1);

    if (m_agent)
        connect(m_agent, &AgentClient::eventsChanged, this, &EventsView::refreshFromClient);
    rebuildPicker(events::sourceOptions({}));
    refreshFromClient();
}

void EventsView::refreshFromClient()
{
    if (!m_query.isEmpty()) {
        m_searches->run(m_query); // the results follow the agent too
        return;
    }
    setEvents(m_agent ? m_agent->events() : QList<EventRow>{});
    // Events a hostile agent sent beyond what the client keeps.
    const qsizetype omitted = m_agent ? m_agent->eventsOmitted() : 0;
    m_more->setText(moreRowsText(omitted));
    m_more->setVisible(omitted > 0);
}

QCoro::Task<> EventsView::searchOnce(QString query)
{
    QPointer<AgentClient> agent = m_agent;
    if (!agent || query.isEmpty())
        co_return;
    QPointer<EventsView> self(this);
    auto found = co_await agent->searchEvents(query);
    if (!self || query != m_query)
        co_return; // gone, or the user has asked something else since
    if (!found)
        m_notice->showNotice(searchFailureText(found.error()), NoticeBar::Tone::error);
    const QList<EventRow> rows = found ? found.value() : QList<EventRow>{};
    setEvents(rows);
    const bool capped = rows.size() >= AgentClient::maxRequestedRows;
    m_more->setText(capped ? searchCappedText(AgentClient::maxRequestedRows) : QString());
    m_more->setVisible(capped);
}

void EventsView::setEvents(const QList<EventRow> &list)
{
    m_events = list;
    m_header->setText(m_query.isEmpty() ? events::headerLine(list.size())
                                        : QStringLiteral("%1 rezultate ale căutării").arg(list.size()));
    rebuildPicker(events::sourceOptions(list));
    applyFilter();
}

void EventsView::setSource(const QString &source)
{
    m_source = source;
    rebuildPicker(m_options);
    applyFilter();
}

void EventsView::rebuildPicker(const QStringList &options)
{
    const QSignalBlocker block(m_picker);
    if (options != m_options || m_picker->count() != options.size()) {
        m_options = options;
        m_picker->clear();
        for (const QString &o : options)
            m_picker->addItem(plainText(o, 80));
    }
    // A source no longer offered stays selected: the picker then shows no entry.
    m_picker->setCurrentIndex(int(m_options.indexOf(m_source)));
}

void EventsView::applyFilter()
{
    const QList<EventRow> rows = events::filtered(m_events, m_source);
    QStringList keys;
    keys.reserve(rows.size());
    for (const EventRow &e : rows)
        keys.append(QString::number(e.id));
    m_model->replace(rows, keys);
}

QString EventsView::noticeText() const { return m_notice->isHidden() ? QString() : m_notice->text(); }

QString EventsView::headerText() const { return m_header->text(); }

} // namespace tsav
