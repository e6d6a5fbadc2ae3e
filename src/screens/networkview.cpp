#include "screens/networkview.h"

#include "kit/label.h"
#include "kit/palette.h"
#include "kit/plaintext.h"
#include "kit/tspanel.h"
#include "kit/typography.h"
#include "screens/byteformat.h"
#include "screens/chartaxis.h"
#include "screens/networklogic.h"
#include "screens/screenparts.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QListView>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace tsav {

using fonts::Weight;

namespace {

// Column widths of the connections table; the reason takes the rest.
constexpr int kProcessW = 180, kPidW = 60, kLocalW = 160, kRemoteW = 200;
constexpr int kRowPadY = 5;
// The reason says why a connection is suspect: in a narrow window the process, remote and
// local columns give up room for it, down to what an IPv4 address and port need.
constexpr int kReasonMinW = 190, kProcessMinW = 110, kRemoteMinW = 150, kLocalMinW = 135;

struct ConnectionColumns {
    qreal process = kProcessW, pid = kPidW, local = kLocalW, remote = kRemoteW;
};

ConnectionColumns connectionColumns(qreal width)
{
    ConnectionColumns c;
    qreal short_ = kReasonMinW - (width - (c.process + c.pid + c.local + c.remote));
    for (auto [column, least] : {std::pair{&c.process, kProcessMinW}, std::pair{&c.remote, kRemoteMinW},
                                 std::pair{&c.local, kLocalMinW}}) {
        const qreal give = std::clamp<qreal>(short_, 0, *column - least);
        *column -= give;
        short_ -= give;
    }
    return c;
}

int connectionRowHeight() { return int(std::ceil(QFontMetricsF(fonts::mono(11)).height())) + 2 * kRowPadY + 1; }

void paintConnection(QPainter &p, const QRect &r, const NetworkRow &row)
{
    static const QFont font = fonts::mono(11);
    const QRectF line(r.left(), r.top() + kRowPadY, r.width(), r.height() - 2 * kRowPadY - 1);
    qreal x = line.left();
    auto cell = [&](qreal w, const QString &text, const QColor &c, Qt::TextElideMode elide = Qt::ElideRight) {
        const qreal width = w > 0 ? w : line.right() - x;
        drawText(p, QRectF(x, line.top(), width - 6, line.height()), text, font, c,
                 Qt::AlignLeft | Qt::AlignVCenter, elide);
        x += width;
    };
    const ConnectionColumns c = connectionColumns(line.width());
    cell(c.process, plainText(network::processText(row)), palette::textPrimary);
    cell(c.pid, network::pidText(row), palette::textSecondary);
    cell(c.local, plainText(row.local), palette::textSecondary, Qt::ElideMiddle);
    cell(c.remote, plainText(row.remote), network::remoteColor(row), Qt::ElideMiddle);
    cell(0, plainText(network::reasonText(row)), network::reasonColor(row));
    drawDivider(p, r.left(), r.right() + 1, r.bottom(), palette::withOpacity(palette::hairline, 0.5));
}

QWidget *connectionsHeader()
{
    auto *w = new PaintedWidget([](QPainter &p, const QRectF &r) {
        static const QFont font = fonts::system(11);
        const QRectF line(r.left(), r.top() + 6, r.width(), r.height() - 13);
        qreal x = line.left();
        const ConnectionColumns c = connectionColumns(line.width());
        const std::pair<const char *, qreal> cells[] = {
            {"Process", c.process}, {"PID", c.pid}, {"Local", c.local}, {"Remote", c.remote}, {"Reason", 0}};
        for (const auto &[title, width] : cells) {
            const qreal cw = width > 0 ? width : line.right() - x;
            drawText(p, QRectF(x, line.top(), cw, line.height()), QString::fromLatin1(title), font,
                     palette::textTertiary);
            x += cw;
        }
        drawDivider(p, r.left(), r.right(), r.bottom() - 1, palette::hairline);
    });
    w->setFixedHeight(int(std::ceil(QFontMetricsF(fonts::system(11)).height())) + 13);
    return w;
}

// Legend item: an 8-point dot and a label.
QWidget *legendItem(const QColor &color, QLabel *label)
{
    auto *w = new QWidget;
    auto *h = new QHBoxLayout(w);
    h->setContentsMargins(0, 0, 0, 0);
    h->setSpacing(6);
    auto *dot = new PaintedWidget([color](QPainter &p, const QRectF &r) {
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawEllipse(QRectF(0, r.center().y() - 4, 8, 8));
    });
    dot->setFixedSize(8, 14);
    h->addWidget(dot);
    h->addWidget(label);
    return w;
}

// "HH:mm" or, where the locale uses a 12-hour clock, "hh:mm": never an AM/PM marker.
QString hourMinutePattern()
{
    const QString f = QLocale().timeFormat(QLocale::ShortFormat);
    return f.contains(QLatin1Char('a'), Qt::CaseInsensitive) ? QStringLiteral("hh:mm")
                                                              : QStringLiteral("HH:mm");
}

} // namespace

// --- TrafficChart ---------------------------------------------------------------------

TrafficChart::TrafficChart(QWidget *parent) : QWidget(parent) { setFixedHeight(160); }

void TrafficChart::setSeries(const History &recv, const History &sent)
{
    m_recv = recv;
    m_sent = sent;
    update();
}

QPainterPath TrafficChart::smoothPath(const QList<QPointF> &pts)
{
    QPainterPath path;
    if (pts.isEmpty())
        return path;
    path.moveTo(pts[0]);
    const qsizetype n = pts.size();
    if (n == 1)
        return path;
    // Fritsch–Carlson monotone cubic tangents.
    QList<double> slope(n - 1), tangent(n);
    for (qsizetype i = 0; i + 1 < n; ++i) {
        const double dx = pts[i + 1].x() - pts[i].x();
        slope[i] = dx != 0 ? (pts[i + 1].y() - pts[i].y()) / dx : 0;
    }
    tangent[0] = slope[0];
    tangent[n - 1] = slope[n - 2];
    for (qsizetype i = 1; i + 1 < n; ++i)
        tangent[i] = slope[i - 1] * slope[i] <= 0 ? 0 : (slope[i - 1] + slope[i]) / 2;
    for (qsizetype i = 0; i + 1 < n; ++i) {
        if (slope[i] == 0) {
            tangent[i] = tangent[i + 1] = 0;
            continue;
        }
        const double a = tangent[i] / slope[i], b = tangent[i + 1] / slope[i];
        const double s = a * a + b * b;
        if (s > 9) {
            const double t = 3 / std::sqrt(s);
            tangent[i] = t * a * slope[i];
            tangent[i + 1] = t * b * slope[i];
        }
    }
    for (qsizetype i = 0; i + 1 < n; ++i) {
        const double dx = (pts[i + 1].x() - pts[i].x()) / 3;
        path.cubicTo(QPointF(pts[i].x() + dx, pts[i].y() + tangent[i] * dx),
                     QPointF(pts[i + 1].x() - dx, pts[i + 1].y() - tangent[i + 1] * dx), pts[i + 1]);
    }
    return path;
}

void TrafficChart::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QFont axisFont = fonts::mono(9);
    const QFontMetricsF fm(axisFont);

    // Data ranges (non-finite samples are left out of the ranges and drawn at 0).
    double t0 = INFINITY, t1 = -INFINITY, vmax = 0;
    auto scan = [&](const History &h) {
        for (const HistoryPoint &pt : h) {
            const double t = pt.date.toMSecsSinceEpoch() / 1000.0;
            t0 = std::min(t0, t);
            t1 = std::max(t1, t);
            if (std::isfinite(pt.value))
                vmax = std::max(vmax, pt.value);
        }
    };
    scan(m_recv);
    scan(m_sent);
    if (!std::isfinite(t0))
        return;
    if (t1 - t0 < 1)
        t1 = t0 + 1;
    const axis::Ticks ticks = axis::niceTicks(0, vmax, 4);

    qreal labelW = 0;
    QStringList labels;
    for (double v : ticks.values) {
        labels.append(bytes::rate(v));
        labelW = std::max(labelW, fm.horizontalAdvance(labels.last()));
    }
    const QRectF plot(labelW + 8, fm.height() / 2, width() - labelW - 8 - 4, height() - fm.height() * 1.5 - 6);
    if (plot.width() < 20 || plot.height() < 10)
        return;
    auto xOf = [&](double t) { return plot.left() + (t - t0) / (t1 - t0) * plot.width(); };
    auto yOf = [&](double v) {
        if (!std::isfinite(v))
            v = 0;
        return plot.bottom() - std::clamp((v - ticks.lo) / (ticks.hi - ticks.lo), -0.05, 1.05) * plot.height();
    };

    for (int i = 0; i < ticks.values.size(); ++i) {
        const qreal y = yOf(ticks.values[i]);
        p.fillRect(QRectF(plot.left(), y, plot.width(), 1), palette::hairline);
        drawText(p, QRectF(0, y - fm.height() / 2, labelW, fm.height()), labels[i], axisFont,
                 palette::textTertiary, Qt::AlignRight | Qt::AlignVCenter, Qt::ElideNone);
    }
    const QString pattern = hourMinutePattern();
    for (double t : axis::timeTicks(t0, t1, 6)) {
        const qreal x = xOf(t);
        p.fillRect(QRectF(x, plot.top(), 1, plot.height()), palette::withOpacity(palette::hairline, 0.4));
        const QString text = QDateTime::fromMSecsSinceEpoch(qint64(t * 1000)).toString(pattern);
        drawText(p, QRectF(x - 30, plot.bottom() + 4, 60, fm.height()), text, axisFont,
                 palette::textTertiary, Qt::AlignHCenter | Qt::AlignTop, Qt::ElideNone);
    }

    auto points = [&](const History &h) {
        QList<QPointF> out;
        out.reserve(h.size());
        for (const HistoryPoint &pt : h)
            out.append(QPointF(xOf(pt.date.toMSecsSinceEpoch() / 1000.0), yOf(pt.value)));
        return out;
    };
    p.save();
    p.setClipRect(plot.adjusted(-2, -2, 2, 2));
    const QList<QPointF> recv = points(m_recv);
    if (!recv.isEmpty()) {
        const QPainterPath line = smoothPath(recv);
        QPainterPath area = line;
        area.lineTo(recv.last().x(), plot.bottom());
        area.lineTo(recv.first().x(), plot.bottom());
        area.closeSubpath();
        QLinearGradient g(0, plot.top(), 0, plot.bottom());
        g.setColorAt(0, palette::withOpacity(palette::accentGreen, 0.55));
        g.setColorAt(1, palette::withOpacity(palette::accentGreen, 0.05));
        p.fillPath(area, g);
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(palette::accentGreen, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPath(line);
    }
    const QList<QPointF> sent = points(m_sent);
    if (!sent.isEmpty()) {
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(palette::accentRed, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPath(smoothPath(sent));
    }
    p.restore();
}

// --- NetworkView ----------------------------------------------------------------------

NetworkView::NetworkView(const ScreenContext &ctx, QWidget *parent) : QWidget(parent), m_agent(ctx.agent)
{
    setObjectName(QStringLiteral("screen.network"));
    auto *col = new QVBoxLayout(this);
    col->setContentsMargins(0, 0, 0, 0);
    col->setSpacing(16);

    ScreenHeader header = makeScreenHeader(QStringLiteral("Rețea"), network::headerLine({}));
    m_header = header.subtitle;
    col->addWidget(header.widget);

    // Traffic panel.
    auto *traffic = new TSPanel;
    traffic->contentLayout()->setSpacing(14);
    auto *top = new QHBoxLayout;
    top->setSpacing(16);
    top->addWidget(makeLabel(QStringLiteral("Trafic live"), fonts::system(14, Weight::Semibold),
                             palette::textPrimary));
    top->addStretch();
    const QFont legendFont = fonts::mono(11, Weight::Semibold);
    m_down = makeLabel(network::downText(std::nullopt), legendFont, palette::textPrimary);
    m_up = makeLabel(network::upText(std::nullopt), legendFont, palette::textPrimary);
    top->addWidget(legendItem(palette::accentGreen, m_down));
    top->addWidget(legendItem(palette::accentRed, m_up));
    traffic->contentLayout()->addLayout(top);
    m_chart = new TrafficChart;
    traffic->addWidget(m_chart);
    m_waiting = makeLabel(QStringLiteral("Așteptăm date de la agent…"), fonts::system(11),
                          palette::textSecondary);
    static_cast<QLabel *>(m_waiting)->setAlignment(Qt::AlignCenter);
    m_waiting->setContentsMargins(0, 40, 0, 40);
    traffic->addWidget(m_waiting);
    col->addWidget(traffic);

    // Connections panel: one scroll area in which the header row scrolls with the rows.
    // The list inside is as tall as its rows (it never scrolls itself) and still paints
    // only the rows in view.
    auto *connections = new TSPanel;
    connections->contentLayout()->setSpacing(0);
    auto *scroll = makePageScrollArea(Qt::ScrollBarAlwaysOn);
    auto *table = new QWidget;
    table->setAutoFillBackground(false);
    auto *tableColumn = new QVBoxLayout(table);
    tableColumn->setContentsMargins(0, 0, 8, 0);
    tableColumn->setSpacing(0);
    tableColumn->addWidget(connectionsHeader());
    m_model = new KeyedListModel<NetworkRow>(this);
    m_list = makeRowList();
    m_list->setModel(m_model);
    m_list->setUniformItemSizes(true);
    m_list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->setFixedHeight(0);
    auto *model = m_model;
    m_list->setItemDelegate(new PaintedRowDelegate(
        [model](QPainter &p, const QRect &r, int row, bool) { paintConnection(p, r, model->rowAt(row)); },
        [](int, int) { return connectionRowHeight(); }, m_list));
    tableColumn->addWidget(m_list);
    m_more = makeLabel(QString(), fonts::system(11), palette::textTertiary);
    m_more->setContentsMargins(0, 8, 0, 0);
    m_more->hide();
    tableColumn->addWidget(m_more);
    tableColumn->addStretch(1);
    scroll->setWidget(table);
    table->setAutoFillBackground(false); // setWidget() turns it on
    m_scroll = scroll;
    connections->addWidget(scroll, 1);
    col->addWidget(connections, 1);

    if (m_agent) {
        connect(m_agent, &AgentClient::networkChanged, this,
                [this] { setConnections(m_agent->network(), m_agent->networkOmitted()); });
        connect(m_agent, &AgentClient::metricsChanged, this, [this] { setRates(m_agent->metrics()); });
        connect(m_agent, &AgentClient::historyChanged, this,
                [this] { setHistory(m_agent->netRecvHistory(), m_agent->netSentHistory()); });
    }
    refreshFromClient();
}

void NetworkView::refreshFromClient()
{
    if (m_agent) {
        setConnections(m_agent->network(), m_agent->networkOmitted());
        setRates(m_agent->metrics());
        setHistory(m_agent->netRecvHistory(), m_agent->netSentHistory());
    } else {
        setConnections({});
        setRates(std::nullopt);
        setHistory({}, {});
    }
}

void NetworkView::setConnections(const QList<NetworkRow> &rows, qsizetype omitted)
{
    m_header->setText(network::headerLine(network::counts(rows)));
    m_model->replace(rows, network::rowKeys(rows));
    m_list->setFixedHeight(int(rows.size()) * connectionRowHeight());
    m_more->setText(moreRowsText(omitted));
    m_more->setVisible(omitted > 0);
}

void NetworkView::setRates(const std::optional<LiveMetrics> &metrics)
{
    m_down->setText(network::downText(metrics));
    m_up->setText(network::upText(metrics));
}

void NetworkView::setHistory(const History &recv, const History &sent)
{
    const bool any = !recv.isEmpty() || !sent.isEmpty();
    m_chart->setSeries(recv, sent);
    m_chart->setVisible(any);
    m_waiting->setVisible(!any);
}

QString NetworkView::headerText() const { return m_header->text(); }
QString NetworkView::downText() const { return m_down->text(); }
QString NetworkView::upText() const { return m_up->text(); }
bool NetworkView::chartShown() const { return !m_chart->isHidden(); }
QString NetworkView::moreText() const { return m_more->isHidden() ? QString() : m_more->text(); }

} // namespace tsav
