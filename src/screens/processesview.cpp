#include "screens/processesview.h"

#include "agentlink/agentclient.h"
#include "kit/label.h"
#include "kit/palette.h"
#include "kit/plaintext.h"
#include "kit/poolpaint.h"
#include "kit/tspanel.h"
#include "kit/typography.h"
#include "screens/screenparts.h"
#include "screens/settingsswitch.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include <cmath>

namespace tsav {

using fonts::Weight;
using namespace tsav::processes;

namespace {

struct Column {
    const char *title;
    int width; // 0: the rest
    Qt::Alignment align;
};
constexpr Column kColumns[] = {
    {"Process", 220, Qt::AlignLeft}, {"PID", 60, Qt::AlignLeft},   {"CPU%", 60, Qt::AlignRight},
    {"RAM", 80, Qt::AlignRight},     {"Conn", 50, Qt::AlignRight}, {"Files", 60, Qt::AlignRight},
    {"Th", 50, Qt::AlignRight},      {"Score", 0, Qt::AlignRight},
};
constexpr int kPadY = 4;

// x and width of each column across `width`.
QList<QRectF> columnRects(const QRectF &line)
{
    QList<QRectF> out;
    qreal x = line.left();
    for (const Column &c : kColumns) {
        const qreal w = c.width > 0 ? c.width : std::max<qreal>(line.right() - x, 0);
        out.append(QRectF(x, line.top(), w, line.height()));
        x += w;
    }
    return out;
}

int processRowHeight() { return int(std::ceil(QFontMetricsF(fonts::mono(11)).height())) + 2 * kPadY + 1; }

void paintProcess(QPainter &p, const QRect &r, const ProcessRow &row)
{
    static const QFont font = fonts::mono(11);
    static const QFont bold = fonts::mono(11, Weight::Bold);
    const QList<QRectF> cells =
        columnRects(QRectF(r.left(), r.top() + kPadY, r.width(), r.height() - 2 * kPadY - 1));
    const QString texts[] = {plainText(row.name),
                             QString::number(row.pid),
                             cpuText(row.cpu),
                             ramText(row.rss),
                             QString::number(row.connections),
                             QString::number(row.open_files),
                             QString::number(row.threads),
                             scoreText(row.score)};
    for (int i = 0; i < 8; ++i) {
        const QColor c = i == 0 ? palette::textPrimary : i == 7 ? tableScoreColor(row.score) : palette::textSecondary;
        // Trailing cells keep a little air from the next column.
        const QRectF cell = kColumns[i].align & Qt::AlignRight ? cells[i].adjusted(0, 0, -4, 0)
                                                                : cells[i].adjusted(0, 0, -6, 0);
        drawText(p, cell, texts[i], i == 7 ? bold : font, c, kColumns[i].align | Qt::AlignVCenter);
    }
    drawDivider(p, r.left(), r.right() + 1, r.bottom(), palette::withOpacity(palette::hairline, 0.4));
}

QWidget *tableHeader()
{
    auto *w = new PaintedWidget([](QPainter &p, const QRectF &r) {
        static const QFont font = fonts::system(11, Weight::Bold);
        const QList<QRectF> cells = columnRects(QRectF(r.left(), r.top() + 6, r.width() - 8, r.height() - 13));
        for (int i = 0; i < 8; ++i) {
            const QRectF cell = kColumns[i].align & Qt::AlignRight ? cells[i].adjusted(0, 0, -4, 0)
                                                                    : cells[i].adjusted(0, 0, -6, 0);
            drawText(p, cell, QString::fromLatin1(kColumns[i].title), font, palette::textTertiary,
                     kColumns[i].align | Qt::AlignVCenter);
        }
        drawDivider(p, r.left(), r.right(), r.bottom() - 1, palette::hairline);
    });
    w->setFixedHeight(int(std::ceil(QFontMetricsF(fonts::system(11, Weight::Bold)).height())) + 13);
    return w;
}

void paintTileShape(QPainter &p, const Tile &t)
{
    QPainterPath shape;
    shape.addRoundedRect(t.rect, 6, 6);
    p.fillPath(shape, tileFill(t.process.score));
    p.setPen(QPen(QColor(0, 0, 0, 64), 1));
    p.setBrush(Qt::NoBrush);
    p.drawPath(shape);
}

// Inside the tile's shape, which no other tile reaches.
void paintTileLabels(QPainter &p, const Tile &t, Metric metric)
{
    if (!tileShowsLabels(t.rect))
        return;
    const QRectF inner = t.rect.adjusted(6, 6, -6, -6);
    QFont name = fonts::system(11, Weight::Semibold);
    name.setPointSizeF(fonts::system(tileNameSize(t.rect)).pointSizeF());
    QFont value = fonts::mono(9, Weight::Medium);
    value.setPointSizeF(fonts::mono(tileValueSize(t.rect)).pointSizeF());
    const qreal nh = QFontMetricsF(name).height();
    p.save();
    p.setClipRect(inner);
    drawText(p, QRectF(inner.left(), inner.top(), inner.width(), nh), plainText(t.process.name), name, Qt::white,
             Qt::AlignLeft | Qt::AlignTop);
    drawText(p, QRectF(inner.left(), inner.top() + nh + 2, inner.width(), QFontMetricsF(value).height()),
             tileValueText(t.process, metric), value, QColor(255, 255, 255, 204), Qt::AlignLeft | Qt::AlignTop);
    p.restore();
}

} // namespace

// --- ProcessTreemap -------------------------------------------------------------------

ProcessTreemap::ProcessTreemap(QWidget *parent) : QWidget(parent) { setFixedHeight(240); }

void ProcessTreemap::setItems(const QList<ProcessRow> &items, Metric metric)
{
    m_items = items;
    m_metric = metric;
    update();
}

QList<Tile> ProcessTreemap::tiles() const { return layoutTreemap(m_items, m_metric, width(), height()); }

void ProcessTreemap::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    const QList<Tile> all = tiles();
    // The shapes are plain fills, the largest a panel's width by half its height: filled
    // from the pool (see paintFromPool), the labels over them from here.
    paintPreferPool(p, [&](QPainter &q) {
        q.setRenderHint(QPainter::Antialiasing);
        for (const Tile &t : all)
            paintTileShape(q, t);
    });
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    for (const Tile &t : all)
        paintTileLabels(p, t, m_metric);
}

// --- ProcessesView --------------------------------------------------------------------

ProcessesView::ProcessesView(const ScreenContext &ctx, QWidget *parent) : QWidget(parent), m_agent(ctx.agent)
{
    setObjectName(QStringLiteral("screen.processes"));
    auto *col = new QVBoxLayout(this);
    col->setContentsMargins(0, 0, 0, 0);
    col->setSpacing(16);

    auto *header = new QHBoxLayout;
    header->setSpacing(14);
    ScreenHeader titles = makeScreenHeader(QStringLiteral("Procese (Behavior Engine)"), headerLine(0, m_sortBy));
    m_header = titles.subtitle;
    header->addWidget(titles.widget, 0, Qt::AlignTop);
    header->addStretch();
    QStringList labels;
    for (Metric m : allMetrics)
        labels.append(label(m));
    m_segments = new SegmentedControl(labels, 240);
    header->addWidget(m_segments, 0, Qt::AlignTop);
    auto *switchRow = new QHBoxLayout;
    switchRow->setSpacing(6);
    switchRow->addWidget(makeLabel(QStringLiteral("Treemap"), fonts::system(12), palette::textPrimary));
    m_switch = new SettingsSwitch(QStringLiteral("Treemap"), palette::accentGreen);
    m_switch->setCheckable(true);
    m_switch->setChecked(true);
    switchRow->addWidget(m_switch);
    header->addLayout(switchRow);
    header->setAlignment(switchRow, Qt::AlignTop);
    col->addLayout(header);
    connect(m_segments, &SegmentedControl::currentChanged, this, [this](int i) { setSortBy(allMetrics[i]); });
    connect(m_switch, &QAbstractButton::toggled, this, &ProcessesView::setShowTreemap);

    auto *treemapPanel = new TSPanel;
    treemapPanel->contentLayout()->setSpacing(10);
    treemapPanel->addWidget(makeLabel(QStringLiteral("Top 20 procese · culoare = scor AI (verde→roșu)"),
                                      fonts::system(11), palette::textTertiary));
    m_treemap = new ProcessTreemap;
    treemapPanel->addWidget(m_treemap);
    m_treemapPanel = treemapPanel;
    col->addWidget(treemapPanel);

    auto *tablePanel = new TSPanel;
    tablePanel->contentLayout()->setSpacing(0);
    tablePanel->addWidget(tableHeader());
    m_model = new KeyedListModel<ProcessRow>(this);
    m_table = makeRowList();
    m_table->setModel(m_model);
    m_table->setUniformItemSizes(true);
    auto *model = m_model;
    m_table->setItemDelegate(new PaintedRowDelegate(
        [model](QPainter &p, const QRect &r, int row, bool) { paintProcess(p, r, model->rowAt(row)); },
        [](int, int) { return processRowHeight(); }, m_table));
    tablePanel->addWidget(m_table, 1);
    m_more = makeLabel(QString(), fonts::system(11), palette::textTertiary);
    m_more->setContentsMargins(6, 8, 0, 0);
    m_more->hide();
    tablePanel->addWidget(m_more);
    col->addWidget(tablePanel, 1);

    if (m_agent)
        connect(m_agent, &AgentClient::processesChanged, this, &ProcessesView::refreshFromClient);
    refreshFromClient();
}

void ProcessesView::refreshFromClient()
{
    setProcesses(m_agent ? m_agent->processes() : QList<ProcessRow>{});
    // Processes a hostile agent sent beyond what the client keeps.
    const qsizetype omitted = m_agent ? m_agent->processesOmitted() : 0;
    m_more->setText(moreRowsText(omitted));
    m_more->setVisible(omitted > 0);
}

void ProcessesView::setProcesses(const QList<ProcessRow> &rows)
{
    m_rows = rows;
    rebuild();
}

void ProcessesView::setSortBy(Metric metric)
{
    m_sortBy = metric;
    m_segments->setCurrentIndex(int(metric));
    rebuild();
}

void ProcessesView::setShowTreemap(bool show)
{
    m_showTreemap = show;
    if (m_switch->isChecked() != show)
        m_switch->setChecked(show);
    m_treemapPanel->setVisible(show);
}

void ProcessesView::rebuild()
{
    m_header->setText(headerLine(m_rows.size(), m_sortBy));
    const QList<ProcessRow> all = sorted(m_rows, m_sortBy);
    m_treemap->setItems(all.mid(0, treemapCount), m_sortBy);
    const QList<ProcessRow> top = all.mid(0, tableCount);
    QStringList keys;
    keys.reserve(top.size());
    for (const ProcessRow &p : top)
        keys.append(QString::number(p.pid));
    m_model->replace(top, keys);
}

QString ProcessesView::headerText() const { return m_header->text(); }

} // namespace tsav
