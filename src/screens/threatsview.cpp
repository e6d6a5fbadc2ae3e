#include "screens/threatsview.h"

#include "agentlink/agentclient.h"
#include "kit/frameclock.h"
#include "kit/icons.h"
#include "kit/label.h"
#include "kit/palette.h"
#include "kit/plaintext.h"
#include "kit/tspanel.h"
#include "kit/typography.h"
#include "screens/chartaxis.h"
#include "screens/historytools.h"
#include "kit/tspillbutton.h"
#include "screens/screenparts.h"
#include "screens/threatactions.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QListView>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <QPainterPath>
#include <QVBoxLayout>

#include <cmath>

namespace tsav {

using fonts::Weight;
using namespace tsav::threats;

namespace {

constexpr qreal kPi = 3.14159265358979323846;

// An icon over a line of text, centred: the empty states of the timeline and the list.
QWidget *emptyState(const QString &icon, qreal iconSize, const QString &text, int spacing,
                    int padding, int textSize = 13)
{
    auto *w = new QWidget;
    auto *col = new QVBoxLayout(w);
    col->setContentsMargins(0, padding, 0, padding);
    col->setSpacing(spacing);
    col->addStretch();
    auto *glyph = new PaintedWidget([icon, iconSize](QPainter &p, const QRectF &r) {
        icons::draw(p, r, icon, palette::accentGreen, iconSize);
    });
    glyph->setFixedHeight(int(iconSize) + 4);
    col->addWidget(glyph);
    QLabel *label = makeLabel(text, fonts::system(textSize), palette::textSecondary);
    label->setAlignment(Qt::AlignCenter);
    col->addWidget(label);
    col->addStretch();
    return w;
}

// --- detail row ---------------------------------------------------------------------

struct RowFonts {
    QFont kind = fonts::tracked(fonts::system(9, Weight::Semibold), 0.8);
    QFont title = fonts::system(13, Weight::Semibold);
    QFont path = fonts::mono(11);
    QFont small = fonts::system(10);
    QFont badge = fonts::system(10, Weight::Heavy);
    QFont status = fonts::system(9);
};
const RowFonts &rowFonts()
{
    static const RowFonts f;
    return f;
}

constexpr int kPadX = 6, kPadY = 12, kGap = 14, kKindWidth = 48;

qreal statusColumnWidth(const Threat &t)
{
    const RowFonts &f = rowFonts();
    const qreal badge = QFontMetricsF(f.badge).horizontalAdvance(plainText(t.severity.toUpper(), 40)) + 16;
    const qreal status = QFontMetricsF(f.status).horizontalAdvance(plainText(t.status, 40));
    return std::min<qreal>(std::max(badge, status), 160);
}

// The path wrapped to at most two lines (the second elided at its end).
QStringList pathLines(const QString &path, qreal width)
{
    const QFontMetricsF fm(rowFonts().path);
    if (width <= 10 || fm.horizontalAdvance(path) <= width)
        return {fm.elidedText(path, Qt::ElideRight, std::max<qreal>(width, 0))};
    qsizetype lo = 1, hi = path.size();
    while (lo < hi) {
        const qsizetype mid = (lo + hi + 1) / 2;
        if (fm.horizontalAdvance(path.left(mid)) <= width)
            lo = mid;
        else
            hi = mid - 1;
    }
    return {path.left(lo), fm.elidedText(path.mid(lo), Qt::ElideRight, width)};
}

qreal detailWidth(const Threat &t, int rowWidth)
{
    return rowWidth - 2 * kPadX - kKindWidth - 2 * kGap - statusColumnWidth(t);
}

// The detail column's lines: title, path, process, score.
qreal detailTextHeight(const Threat &t, int rowWidth)
{
    const RowFonts &f = rowFonts();
    qreal h = QFontMetricsF(f.title).height();
    if (t.path)
        h += 4 + QFontMetricsF(f.path).height() * pathLines(plainText(*t.path), detailWidth(t, rowWidth)).size();
    if (t.process_name)
        h += 4 + QFontMetricsF(f.small).height();
    if (t.score)
        h += 4 + QFontMetricsF(f.small).height();
    return h;
}

// Where the row's action pills sit (under the detail lines); none when it offers none.
QList<QRectF> actionRects(const QRect &rect, const Threat &t)
{
    const QList<threatactions::Action> actions = threatactions::available(t);
    if (actions.isEmpty())
        return {};
    return threatactions::pillRects(actions, QPointF(rect.left() + kPadX + kKindWidth + kGap,
                                                     rect.top() + kPadY + detailTextHeight(t, rect.width()) + 8));
}

int detailRowHeight(const Threat &t, int width)
{
    const RowFonts &f = rowFonts();
    qreal h = detailTextHeight(t, width);
    if (!threatactions::available(t).isEmpty())
        h += 8 + threatactions::pillHeight;
    const qreal kind = 16 + 4 + QFontMetricsF(f.kind).height();
    const qreal status = QFontMetricsF(f.badge).height() + 6 + 6 + QFontMetricsF(f.status).height();
    return int(std::ceil(std::max({h, kind, status}) + 2 * kPadY)) + 1; // + divider
}

void paintDetailRow(QPainter &p, const QRect &rect, const Threat &t)
{
    const RowFonts &f = rowFonts();
    const QColor sev = palette::severityColor(t.severity);
    const qreal top = rect.top() + kPadY;
    qreal x = rect.left() + kPadX;

    // Kind column.
    icons::draw(p, QRectF(x, top, kKindWidth, 16), kindIcon(t.kind), sev, 16);
    // The kind may run a little past its column into the gap rather than be cut.
    drawText(p, QRectF(x - kPadX, top + 20, kKindWidth + 2 * kPadX, QFontMetricsF(f.kind).height()),
             plainText(t.kind.toUpper(), 40), f.kind, palette::textTertiary, Qt::AlignHCenter | Qt::AlignTop,
             Qt::ElideNone);
    x += kKindWidth + kGap;

    // Status column, trailing.
    const qreal right = rect.right() - kPadX;
    const qreal statusW = statusColumnWidth(t);
    const QRectF badge = drawBadge(p, QPointF(right, top), plainText(t.severity.toUpper(), 40), f.badge,
                                   sev, 8, 3, 0.18);
    drawText(p, QRectF(right - statusW, badge.bottom() + 6, statusW, QFontMetricsF(f.status).height()),
             plainText(t.status, 40), f.status, palette::textSecondary, Qt::AlignRight | Qt::AlignTop);

    // Detail column.
    const qreal w = right - statusW - kGap - x;
    qreal y = top;
    auto line = [&](const QString &text, const QFont &font, const QColor &color) {
        const qreal h = QFontMetricsF(font).height();
        drawText(p, QRectF(x, y, w, h), text, font, color, Qt::AlignLeft | Qt::AlignTop);
        y += h + 4;
    };
    line(plainText(title(t)), f.title, palette::textPrimary);
    if (t.path) {
        const qreal h = QFontMetricsF(f.path).height();
        for (const QString &l : pathLines(plainText(*t.path), w)) {
            drawText(p, QRectF(x, y, w, h), l, f.path, palette::textSecondary, Qt::AlignLeft | Qt::AlignTop);
            y += h;
        }
        y += 4;
    }
    if (t.process_name)
        line(plainText(processLine(t)), f.small, palette::textTertiary);
    if (t.score)
        line(scoreLine(t), f.small, palette::textTertiary);
    threatactions::paintPills(p, threatactions::available(t), actionRects(rect, t));

    drawDivider(p, rect.left(), rect.right() + 1, rect.bottom(), palette::hairline);
}

} // namespace

// --- SeverityDonut --------------------------------------------------------------------

SeverityDonut::SeverityDonut(QWidget *parent) : QWidget(parent)
{
    m_counts = severityCounts({});
    setMinimumSize(120, 120);
}

void SeverityDonut::setCounts(const QMap<QString, qint64> &counts)
{
    if (counts == m_counts)
        return; // every poll sets them; most polls change nothing
    m_counts = counts;
    update();
}

void SeverityDonut::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal outer = std::min(width(), height()) / 2.0 - 1;
    if (outer <= 4)
        return;
    const QPointF c(width() / 2.0, height() / 2.0);
    const qint64 sum = total(m_counts);

    auto ring = [&](qreal startDeg, qreal spanDeg, qreal innerRatio) {
        // Angles clockwise from 12 o'clock; Qt's are counter-clockwise from 3 o'clock.
        const qreal inner = outer * innerRatio;
        QPainterPath path;
        const QRectF o(c.x() - outer, c.y() - outer, 2 * outer, 2 * outer);
        const QRectF i(c.x() - inner, c.y() - inner, 2 * inner, 2 * inner);
        path.arcMoveTo(o, 90 - startDeg);
        path.arcTo(o, 90 - startDeg, -spanDeg);
        path.arcTo(i, 90 - startDeg - spanDeg, spanDeg);
        path.closeSubpath();
        return path;
    };

    if (sum <= 0) {
        p.fillPath(ring(0, 359.999, 0.65), palette::hairline);
    } else {
        const qreal inner = outer * 0.62;
        const qreal mid = (outer + inner) / 2;
        // 1.5 points of inset on each side of a sector, measured along the middle.
        const qreal insetDeg = (1.5 / mid) * 180 / kPi;
        const QList<Sector> sectors = donutSectors(m_counts);
        qreal start = 0;
        const QFont countFont = fonts::rounded(11, Weight::Heavy);
        for (const Sector &sector : sectors) {
            const qreal span = sector.degrees;
            const qreal inset = sectors.size() > 1 ? std::min(insetDeg, span / 4) : 0;
            p.fillPath(ring(start + inset, std::max(span - 2 * inset, 0.01), 0.62),
                       palette::severityColor(sector.severity));
            const qreal midAngle = (start + span / 2) * kPi / 180;
            const QPointF at(c.x() + mid * std::sin(midAngle), c.y() - mid * std::cos(midAngle));
            drawText(p, QRectF(at.x() - 20, at.y() - 8, 40, 16), QString::number(sector.count), countFont,
                     Qt::white, Qt::AlignCenter, Qt::ElideNone);
            start += span;
        }
        if (sectors.isEmpty()) // only severities outside the four: the empty ring
            p.fillPath(ring(0, 359.999, 0.65), palette::hairline);
    }

    const QFont totalFont = fonts::rounded(28, Weight::Bold);
    const QFont wordFont = fonts::tracked(fonts::system(9, Weight::Semibold), 1.2);
    const qreal th = QFontMetricsF(totalFont).height(), wh = QFontMetricsF(wordFont).height();
    const qreal y0 = c.y() - (th + wh) / 2;
    drawText(p, QRectF(c.x() - outer, y0, 2 * outer, th), QString::number(sum), totalFont,
             palette::textPrimary, Qt::AlignCenter);
    drawText(p, QRectF(c.x() - outer, y0 + th, 2 * outer, wh), QStringLiteral("THREATS"), wordFont,
             palette::textTertiary, Qt::AlignCenter);
}

// --- HourBarChart ---------------------------------------------------------------------

HourBarChart::HourBarChart(QWidget *parent) : QWidget(parent) {}

void HourBarChart::setBuckets(const threats::HourBuckets &buckets)
{
    // The buckets' ids are made afresh for each list; what is drawn is labels and counts.
    if (std::equal(buckets.begin(), buckets.end(), m_buckets.begin(), [](const auto &a, const auto &b) {
            return a.label == b.label && a.count == b.count;
        }))
        return;
    m_buckets = buckets;
    update();
}

void HourBarChart::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QFont axisFont = fonts::mono(9);
    const QFontMetricsF fm(axisFont);

    qint64 most = 0;
    for (const HourBucket &b : m_buckets)
        most = std::max(most, b.count);
    const axis::Ticks ticks = axis::niceIntegerTicks(0, double(most), 3);

    qreal labelWidth = 0;
    for (double v : ticks.values)
        labelWidth = std::max(labelWidth, fm.horizontalAdvance(QString::number(qint64(v))));
    const QRectF plot(labelWidth + 6, fm.height() / 2, width() - labelWidth - 6,
                      height() - fm.height() / 2 - fm.height() - 4);
    if (plot.width() <= 24 || plot.height() <= 4)
        return;
    auto yOf = [&](double v) { return plot.bottom() - (v - ticks.lo) / (ticks.hi - ticks.lo) * plot.height(); };

    for (double v : ticks.values) {
        const qreal y = yOf(v);
        p.fillRect(QRectF(plot.left(), y, plot.width(), 1), palette::hairline);
        drawText(p, QRectF(0, y - fm.height() / 2, labelWidth, fm.height()), QString::number(qint64(v)),
                 axisFont, palette::textTertiary, Qt::AlignRight | Qt::AlignVCenter, Qt::ElideNone);
    }

    const qreal slot = plot.width() / 24;
    const qreal barW = std::max<qreal>(slot * 0.62, 1);
    for (int i = 0; i < 24; ++i) {
        const HourBucket &b = m_buckets[size_t(i)];
        const qreal x = plot.left() + i * slot + (slot - barW) / 2;
        if (b.count > 0) {
            const qreal top = yOf(double(b.count));
            const QRectF bar(x, top, barW, plot.bottom() - top);
            QLinearGradient g(bar.bottomLeft(), bar.topLeft());
            g.setColorAt(0, palette::withOpacity(palette::accentRed, 0.55));
            g.setColorAt(1, palette::accentRed);
            QPainterPath path;
            path.addRoundedRect(bar, 2, 2);
            p.fillPath(path, g);
        }
        // About six labels: every fourth hour, newest included.
        if ((23 - i) % 4 == 0)
            drawText(p, QRectF(x - 10, plot.bottom() + 4, barW + 20, fm.height()), b.label, axisFont,
                     palette::textTertiary, Qt::AlignHCenter | Qt::AlignTop, Qt::ElideNone);
    }
}

// --- ThreatsView ----------------------------------------------------------------------

ThreatsView::ThreatsView(const ScreenContext &ctx, QWidget *parent)
    : QWidget(parent), m_agent(ctx.agent)
{
    setObjectName(QStringLiteral("screen.threats"));
    auto *col = new QVBoxLayout(this);
    col->setContentsMargins(0, 0, 0, 0);
    col->setSpacing(16);

    // 1. Header.
    auto *header = new QHBoxLayout;
    header->setSpacing(12);
    ScreenHeader titles = makeScreenHeader(QStringLiteral("Amenințări"), headerLine({}));
    m_header = titles.subtitle;
    header->addWidget(titles.widget, 0, Qt::AlignTop);
    header->addStretch();
    QStringList labels;
    for (Severity s : allSeverities)
        labels.append(label(s));
    m_segments = new SegmentedControl(labels, 360);
    header->addWidget(m_segments, 0, Qt::AlignTop);
    col->addLayout(header);
    // Search (on the agent, as the user types) and export.
    auto *tools = new QHBoxLayout;
    tools->setSpacing(12);
    m_search = new SearchField(QStringLiteral("Caută în amenințări (cale, semnătură, proces…)"));
    m_search->setObjectName(QStringLiteral("threats.search"));
    tools->addWidget(m_search, 1);
    m_exportButton = new TSPillButton(QStringLiteral("Exportă…"), QStringLiteral("square.and.arrow.down"),
                                      TSPillButton::Kind::ghost, [this] { m_export->start(m_query); });
    m_exportButton->setObjectName(QStringLiteral("threats.export"));
    tools->addWidget(m_exportButton);
    col->addLayout(tools);
    m_searches = new SearchRunner(this, [this](QString query) { return searchOnce(std::move(query)); });
    connect(m_search, &SearchField::searchChanged, this, [this](const QString &query) {
        m_query = query;
        refreshFromClient();
    });
    m_notice = new NoticeBar;
    m_notice->setObjectName(QStringLiteral("threats.notice"));
    col->addWidget(m_notice);
    m_export = new ExportFlow(m_agent, this, m_notice, QStringLiteral("threats"), QStringLiteral("amenințări"));

    m_actions = new ThreatActionRunner(m_agent, this, [this](const QString &text, bool ok) {
        m_notice->showNotice(text, ok ? NoticeBar::Tone::success : NoticeBar::Tone::error);
    });
    connect(m_segments, &SegmentedControl::currentChanged, this,
            [this](int i) { setFilter(allSeverities[i]); });

    // 2. Severity and timeline panels.
    auto *charts = new QHBoxLayout;
    charts->setSpacing(12);
    auto *severity = new TSPanel;
    severity->setFixedWidth(320);
    {
        auto *box = new QWidget;
        box->setFixedHeight(200);
        auto *v = new QVBoxLayout(box);
        v->setContentsMargins(0, 0, 0, 0);
        v->setSpacing(10);
        v->addWidget(makeLabel(QStringLiteral("Severitate"), fonts::system(14, Weight::Semibold),
                               palette::textPrimary));
        m_donut = new SeverityDonut;
        v->addWidget(m_donut, 1);
        m_legend = new QWidget;
        auto *legend = new QHBoxLayout(m_legend);
        legend->setContentsMargins(0, 0, 0, 0);
        legend->setSpacing(10);
        for (const QString &k : knownSeverities) {
            auto *entry = new QHBoxLayout;
            entry->setSpacing(4);
            const QColor c = palette::severityColor(k);
            auto *dot = new PaintedWidget([c](QPainter &p, const QRectF &r) {
                p.setPen(Qt::NoPen);
                p.setBrush(c);
                p.drawEllipse(QRectF(r.center().x() - 3.5, r.center().y() - 3.5, 7, 7));
            });
            dot->setFixedSize(7, 12);
            entry->addWidget(dot);
            entry->addWidget(makeLabel(k, fonts::system(9, Weight::Medium), palette::textSecondary));
            QLabel *count = makeLabel(QStringLiteral("0"), fonts::mono(9, Weight::Semibold), palette::textPrimary);
            m_legendCounts.append(count);
            entry->addWidget(count);
            legend->addLayout(entry);
        }
        legend->addStretch();
        v->addWidget(m_legend);
        severity->addWidget(box);
    }
    charts->addWidget(severity);

    auto *timeline = new TSPanel;
    {
        auto *box = new QWidget;
        box->setFixedHeight(200);
        auto *v = new QVBoxLayout(box);
        v->setContentsMargins(0, 0, 0, 0);
        v->setSpacing(10);
        v->addWidget(makeLabel(QStringLiteral("Cronologie · 24h"), fonts::system(14, Weight::Semibold),
                               palette::textPrimary));
        m_bars = new HourBarChart;
        v->addWidget(m_bars, 1);
        m_timelineEmpty = emptyState(QStringLiteral("checkmark.shield.fill"), 30,
                                     QStringLiteral("Nicio amenințare în ultimele 24h"), 4, 0, 11);
        v->addWidget(m_timelineEmpty, 1);
        timeline->addWidget(box);
    }
    charts->addWidget(timeline, 1);
    col->addLayout(charts);

    // 3. The list.
    auto *listPanel = new TSPanel;
    m_model = new KeyedListModel<Threat>(this);
    m_list = makeRowList();
    m_list->setModel(m_model);
    m_list->setUniformItemSizes(false);
    auto *model = m_model;
    m_list->setItemDelegate(new PaintedRowDelegate(
        [model](QPainter &p, const QRect &r, int row, bool) { paintDetailRow(p, r, model->rowAt(row)); },
        [model](int row, int width) { return detailRowHeight(model->rowAt(row), width); }, m_list));
    listPanel->addWidget(m_list, 1);
    m_list->viewport()->installEventFilter(this);
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_list, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        const QModelIndex index = m_list->indexAt(pos);
        if (!index.isValid())
            return;
        const Threat t = m_model->rowAt(index.row());
        const auto actions = threatactions::available(t);
        if (actions.isEmpty())
            return;
        QMenu menu(this);
        for (threatactions::Action a : actions)
            menu.addAction(threatactions::label(a), this, [this, a, t] { m_actions->run(a, t); });
        menu.exec(m_list->viewport()->mapToGlobal(pos));
    });
    m_listMore = makeLabel(QString(), fonts::system(11), palette::textTertiary);
    m_listMore->setContentsMargins(6, 8, 0, 0);
    m_listMore->hide();
    listPanel->addWidget(m_listMore);
    m_listEmpty = emptyState(QStringLiteral("checkmark.shield.fill"), 42,
                             QStringLiteral("Niciun threat în această categorie"), 8, 40);
    listPanel->addWidget(m_listEmpty);
    col->addWidget(listPanel, 1);

    if (m_agent)
        connect(m_agent, &AgentClient::threatsChanged, this, &ThreatsView::refreshFromClient);
    refreshFromClient();
}

void ThreatsView::refreshFromClient()
{
    if (!m_query.isEmpty()) {
        m_searches->run(m_query); // the results follow the agent too
        return;
    }
    if (!m_agent) {
        setThreats({}, FrameClock::now());
        return;
    }
    m_notListed = m_agent->threatsNotListed();
    setThreats(m_agent->threats(), FrameClock::now());
}

QCoro::Task<> ThreatsView::searchOnce(QString query)
{
    QPointer<AgentClient> agent = m_agent;
    if (!agent || query.isEmpty())
        co_return;
    QPointer<ThreatsView> self(this);
    auto found = co_await agent->searchThreats(query);
    if (!self || query != m_query)
        co_return; // gone, or the user has asked something else since
    if (!found)
        m_notice->showNotice(searchFailureText(found.error()), NoticeBar::Tone::error);
    m_notListed = 0;
    m_searchCapped = found && found.value().size() >= AgentClient::maxRequestedRows;
    setThreats(found ? found.value() : QList<Threat>{}, FrameClock::now());
}

void ThreatsView::setThreats(const QList<Threat> &list, double now)
{
    m_threats = list;
    m_header->setText(headerLine(list));
    const auto counts = severityCounts(list);
    m_donut->setCounts(counts);
    for (int i = 0; i < m_legendCounts.size(); ++i)
        m_legendCounts[i]->setText(QString::number(counts.value(knownSeverities[i])));
    const HourBuckets buckets = hourBuckets(list, now);
    const bool bars = anyCount(buckets);
    m_bars->setBuckets(buckets);
    m_bars->setVisible(bars);
    m_timelineEmpty->setVisible(!bars);
    applyFilter();
}

void ThreatsView::setFilter(threats::Severity filter)
{
    m_filter = filter;
    m_segments->setCurrentIndex(int(filter));
    applyFilter();
}

void ThreatsView::applyFilter()
{
    const QList<Threat> rows = filtered(m_threats, m_filter);
    QStringList keys;
    keys.reserve(rows.size());
    for (const Threat &t : rows)
        keys.append(QString::number(t.id));
    m_model->replace(rows, keys);
    m_list->setVisible(!rows.isEmpty());
    m_listEmpty->setVisible(rows.isEmpty());
    // The count of unlisted threats is of every severity: it shows with the whole list only.
    const bool more = m_filter == Severity::all && m_notListed > 0 && !rows.isEmpty();
    const bool capped = !m_query.isEmpty() && m_searchCapped;
    m_listMore->setText(capped ? searchCappedText(AgentClient::maxRequestedRows)
                        : more ? moreRowsText(m_notListed)
                               : QString());
    m_listMore->setVisible(more || capped);
}

std::optional<threatactions::Action> ThreatsView::actionAt(const QPoint &viewportPos, Threat *threat) const
{
    const QModelIndex index = m_list->indexAt(viewportPos);
    if (!index.isValid())
        return std::nullopt;
    const Threat &t = m_model->rowAt(index.row());
    const QList<QRectF> rects = actionRects(m_list->visualRect(index), t);
    const QList<threatactions::Action> actions = threatactions::available(t);
    for (qsizetype i = 0; i < rects.size(); ++i)
        if (rects[i].contains(viewportPos)) {
            if (threat)
                *threat = t;
            return actions[i];
        }
    return std::nullopt;
}

QList<QRect> ThreatsView::actionButtonRects(int row) const
{
    QList<QRect> out;
    if (row < 0 || row >= m_model->rowCount())
        return out;
    for (const QRectF &r : actionRects(m_list->visualRect(m_model->index(row)), m_model->rowAt(row)))
        out << r.toAlignedRect();
    return out;
}

bool ThreatsView::eventFilter(QObject *watched, QEvent *e)
{
    if (watched == m_list->viewport()) {
        if (e->type() == QEvent::MouseMove) {
            const auto *me = static_cast<QMouseEvent *>(e);
            m_list->viewport()->setCursor(actionAt(me->position().toPoint()) ? Qt::PointingHandCursor
                                                                              : Qt::ArrowCursor);
        } else if (e->type() == QEvent::MouseButtonRelease) {
            const auto *me = static_cast<QMouseEvent *>(e);
            Threat t;
            if (me->button() == Qt::LeftButton)
                if (const auto action = actionAt(me->position().toPoint(), &t)) {
                    m_actions->run(*action, t);
                    return true;
                }
        }
    }
    return QWidget::eventFilter(watched, e);
}

QString ThreatsView::noticeText() const { return m_notice->isHidden() ? QString() : m_notice->text(); }

QString ThreatsView::moreText() const { return m_listMore->isHidden() ? QString() : m_listMore->text(); }

QString ThreatsView::headerText() const { return m_header->text(); }
bool ThreatsView::timelineShowsBars() const { return !m_bars->isHidden(); }
bool ThreatsView::listShowsEmptyState() const { return !m_listEmpty->isHidden(); }

} // namespace tsav
