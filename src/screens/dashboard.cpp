#include "screens/dashboard.h"

#include "agentlink/agentclient.h"
#include "kit/flowlayout.h"
#include "kit/frameclock.h"
#include "kit/iconview.h"
#include "kit/icons.h"
#include "kit/instruments/gaugeview.h"
#include "kit/instruments/glow.h"
#include "kit/instruments/lineargauge.h"
#include "kit/instruments/radarview.h"
#include "kit/label.h"
#include "kit/palette.h"
#include "kit/plaintext.h"
#include "kit/tspanel.h"
#include "kit/tspillbutton.h"
#include "kit/tsstat.h"
#include "kit/typography.h"
#include "screens/byteformat.h"
#include "screens/dashboardlogic.h"
#include "screens/heatmap.h"
#include "screens/livecharts.h"
#include "screens/screenparts.h"
#include "screens/threatactions.h"
#include "screens/threatrow.h"
#include "screens/ticker.h"

#include <QFontMetricsF>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

#include <QCoroTask>

namespace tsav {

namespace pal = palette;
using fonts::Weight;

constexpr int kEngineStateWidth = 96; // the engine table's "Stare" column

// --- EngineBadge --------------------------------------------------------------------------

namespace {
QFont badgeFont() { return fonts::system(11, Weight::Medium); }
}

EngineBadge::EngineBadge(QString title, bool on, QWidget *parent)
    : QWidget(parent), m_title(std::move(title)), m_on(on)
{
    setAccessibleName(m_title);
}

void EngineBadge::setOn(bool on)
{
    if (on == m_on)
        return;
    m_on = on;
    update();
}

void EngineBadge::setUnavailable(const QString &reason)
{
    if (reason == m_unavailable)
        return;
    m_unavailable = reason;
    setToolTip(reason.isEmpty() ? QString() : QStringLiteral("Indisponibil: ") + reason);
    update();
}

QColor EngineBadge::dotColor() const
{
    if (!m_on)
        return pal::textTertiary;
    return m_unavailable.isEmpty() ? pal::accentGreen : pal::accentAmber;
}

QSize EngineBadge::sizeHint() const
{
    const QFontMetricsF fm(badgeFont());
    return QSizeF(10 + 6 + 6 + fm.horizontalAdvance(m_title) + 10, 6 + fm.height() + 6).toSize() + QSize(1, 0);
}

void EngineBadge::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = rect();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 10));
    p.drawRoundedRect(r, r.height() / 2, r.height() / 2);
    p.setBrush(dotColor());
    p.drawEllipse(QRectF(10, r.center().y() - 3, 6, 6));
    p.setFont(badgeFont());
    p.setPen(m_on ? pal::textPrimary : pal::textSecondary);
    p.drawText(QRectF(22, 0, r.width() - 22, r.height()), Qt::AlignLeft | Qt::AlignVCenter, m_title);
}

// --- pieces -------------------------------------------------------------------------------

namespace {

// The protection state's shield: a 32-point symbol with a glow of its own colour.
class GlowIcon : public QWidget {
public:
    explicit GlowIcon(QWidget *parent) : QWidget(parent) { setFixedSize(48, 48); }
    void set(const QString &symbol, const QColor &c)
    {
        if (symbol == m_symbol && c == m_colour)
            return;
        m_symbol = symbol;
        m_colour = c;
        m_cache = QImage();
        update();
    }
    QString symbol() const { return m_symbol; }

protected:
    void paintEvent(QPaintEvent *) override
    {
        if (m_cache.isNull()) {
            const qreal dpr = devicePixelRatioF();
            QImage icon(QSize(32, 32) * dpr, QImage::Format_ARGB32_Premultiplied);
            icon.setDevicePixelRatio(dpr);
            icon.fill(Qt::transparent);
            {
                QPainter ip(&icon);
                icons::draw(ip, QRectF(0, 0, 32, 32), m_symbol, m_colour, 32);
            }
            const QImage glow = glowOf(icon, pal::withOpacity(m_colour, 0.6), 12);
            m_cache = QImage(size() * dpr, QImage::Format_ARGB32_Premultiplied);
            m_cache.setDevicePixelRatio(dpr);
            m_cache.fill(Qt::transparent);
            QPainter cp(&m_cache);
            const double pad = glowPadding(12, dpr) / dpr;
            cp.drawImage(QPointF(8 - pad, 8 - pad), glow);
            cp.drawImage(QPointF(8, 8), icon);
        }
        QPainter p(this);
        p.drawImage(QPoint(0, 0), m_cache);
    }

private:
    QString m_symbol;
    QColor m_colour;
    QImage m_cache;
};

QWidget *divider(QWidget *parent, const QColor &c)
{
    auto *d = new QWidget(parent);
    d->setFixedHeight(1);
    d->setAutoFillBackground(true);
    QPalette p = d->palette();
    p.setColor(QPalette::Window, c);
    d->setPalette(p);
    return d;
}

QLabel *cell(const QString &text, const QFont &f, const QColor &c, int width, Qt::Alignment align, QWidget *parent)
{
    QLabel *l = makeLabel(text, f, c, parent);
    l->setAlignment(align | Qt::AlignVCenter);
    if (width > 0)
        l->setFixedWidth(width);
    return l;
}

const gauge::Zones protectionZones{{0, pal::accentRed}, {0.6, pal::accentAmber}, {0.85, pal::accentGreen}};
const gauge::Zones rateZones{{0, pal::accentBlue}, {0.6, pal::accentGreen}, {0.85, pal::accentAmber}};
const gauge::Zones loadZones{{0, pal::accentGreen}, {0.55, pal::accentAmber}, {0.82, pal::accentRed}};

// The protection block's row: radar, state column, and the scan buttons at the right
// edge; narrower than that needs, the buttons go under the state column instead.
class ProtectionRow : public QWidget {
public:
    static constexpr int radarWidth = 240, gap = 28, stateMinWidth = 280, buttonsWidth = 180;
    static constexpr int oneRowWidth = radarWidth + gap + stateMinWidth + gap + buttonsWidth;

    ProtectionRow(QWidget *radar, QWidget *state, QVBoxLayout *stateColumn, QWidget *buttons, QWidget *parent)
        : QWidget(parent), m_state(state), m_stateColumn(stateColumn), m_buttons(buttons)
    {
        m_row = new QHBoxLayout(this);
        m_row->setContentsMargins(0, 0, 0, 0);
        m_row->setSpacing(gap);
        m_row->addWidget(radar, 0, Qt::AlignVCenter);
        m_row->addWidget(state, 0, Qt::AlignVCenter);
        m_row->addStretch(1);
        m_row->addWidget(buttons, 0, Qt::AlignVCenter);
        // Never narrower than radar and state; the buttons find room either way.
        setMinimumWidth(radarWidth + gap + stateMinWidth);
    }
    bool wrapped() const { return m_wrapped; }

protected:
    void resizeEvent(QResizeEvent *e) override
    {
        QWidget::resizeEvent(e);
        setWrapped(width() < oneRowWidth);
    }

private:
    void setWrapped(bool wrapped)
    {
        if (wrapped == m_wrapped)
            return;
        m_wrapped = wrapped;
        if (wrapped) {
            m_row->removeWidget(m_buttons);
            m_stateColumn->addWidget(m_buttons, 0, Qt::AlignLeft);
        } else {
            m_stateColumn->removeWidget(m_buttons);
            m_row->addWidget(m_buttons, 0, Qt::AlignVCenter);
        }
        // The row's height changes with the move: its parent must ask again.
        m_state->updateGeometry();
        updateGeometry();
    }

    QWidget *m_state;
    QVBoxLayout *m_stateColumn;
    QWidget *m_buttons;
    QHBoxLayout *m_row;
    bool m_wrapped = false;
};

struct EngineRowUi {
    QWidget *row = nullptr;
    IconView *icon = nullptr;
    QLabel *name = nullptr, *state = nullptr, *boot = nullptr, *day = nullptr, *total = nullptr, *last = nullptr;
    QLabel *reason = nullptr; // why the engine is not ok (hidden when it is)
    QWidget *divider = nullptr;
};

} // namespace

struct DashboardView::Ui {
    QWidget *content = nullptr;
    NoticeBar *stale = nullptr;
    QWidget *counterRow = nullptr;
    QWidget *badgeBox = nullptr;
    QWidget *telemetry = nullptr;
    ProtectionRow *protection = nullptr;
    QLabel *engineMore = nullptr;
    QLabel *threatMore = nullptr; // the threats beyond the six shown
    QList<TSStat *> counters;
    RadarView *radar = nullptr;
    GlowIcon *shield = nullptr;
    QLabel *stateTitle = nullptr, *stateSubtitle = nullptr;
    QList<EngineBadge *> badges;
    TSPillButton *quick = nullptr, *full = nullptr;
    QLabel *uptime = nullptr;
    QList<GaugeView *> gauges;
    QWidget *barSection = nullptr;
    QList<LinearGauge *> bars;
    QVBoxLayout *engineRows = nullptr;
    QList<EngineRowUi> engines;
    QLabel *noThreats = nullptr;
    NoticeBar *threatNotice = nullptr;
    ThreatActionRunner *threatActions = nullptr;
    QList<ThreatRow *> threatRows;
    QList<QWidget *> threatDividers;
};

DashboardView::DashboardView(const ScreenContext &ctx, QWidget *parent)
    : QScrollArea(parent), m_ctx(ctx), m_ui(std::make_unique<Ui>())
{
    setObjectName(QStringLiteral("dashboard"));
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    viewport()->setAutoFillBackground(false);

    Ui &ui = *m_ui;
    ui.content = new QWidget;
    ui.content->setAutoFillBackground(false);
    auto *column = new QVBoxLayout(ui.content);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(18);

    // 1. Header.
    {
        auto *h = new QVBoxLayout;
        h->setSpacing(4);
        h->addWidget(makeLabel(QStringLiteral("Dashboard"), fonts::system(26, Weight::Bold), pal::textPrimary));
        h->addWidget(makeLabel(QStringLiteral("Stare endpoint și telemetrie XDR în timp real"), fonts::system(13),
                               pal::textSecondary));
        column->addLayout(h);
        ui.stale = new NoticeBar(ui.content);
        ui.stale->setObjectName(QStringLiteral("dashboard.stale"));
        column->addWidget(ui.stale);
    }

    // 2. Counters.
    {
        ui.counterRow = new QWidget(ui.content);
        auto *row = new QHBoxLayout(ui.counterRow);
        row->setContentsMargins(0, 0, 0, 0);
        row->setSpacing(12);
        for (const char *title : {"Amenințări active", "În carantină", "Amenințări 24h", "Evenimente 24h"}) {
            auto *panel = new TSPanel(ui.counterRow);
            auto *stat = new TSStat(QString::fromUtf8(title), panel);
            panel->addWidget(stat);
            ui.counters << stat;
            row->addWidget(panel, 1);
        }
        column->addWidget(ui.counterRow);
    }

    // 3. Protection block.
    {
        auto *panel = new TSPanel(ui.content);
        auto *radarBox = new QWidget(panel);
        radarBox->setFixedSize(240, 248);
        auto *rl = new QVBoxLayout(radarBox);
        rl->setContentsMargins(0, 4, 0, 4);
        ui.radar = new RadarView(0, 220, false, {}, radarBox);
        rl->addWidget(ui.radar, 0, Qt::AlignCenter);

        auto *state = new QWidget(panel);
        state->setMinimumWidth(ProtectionRow::stateMinWidth);
        auto *sl = new QVBoxLayout(state);
        sl->setContentsMargins(0, 0, 0, 0);
        sl->setSpacing(14);
        auto *titleRow = new QHBoxLayout;
        titleRow->setSpacing(12);
        ui.shield = new GlowIcon(state);
        titleRow->addWidget(ui.shield);
        auto *texts = new QVBoxLayout;
        texts->setSpacing(2);
        ui.stateTitle = makeLabel(QString(), fonts::tracked(fonts::system(26, Weight::Heavy), 1.8), pal::accentAmber, state);
        ui.stateSubtitle = makeLabel(QString(), fonts::system(12), pal::textSecondary, state);
        ui.stateSubtitle->setWordWrap(true); // an engine's reason can be long
        texts->addWidget(ui.stateTitle);
        texts->addWidget(ui.stateSubtitle);
        titleRow->addLayout(texts, 1);
        sl->addLayout(titleRow);
        auto *badgeBox = new QWidget(state);
        ui.badgeBox = badgeBox;
        auto *flow = new FlowLayout(8, 6, badgeBox);
        flow->setContentsMargins(0, 0, 0, 0);
        for (const EngineBadgeSpec &b : engineBadges()) {
            auto *badge = new EngineBadge(b.title, false, badgeBox);
            flow->addWidget(badge);
            ui.badges << badge;
        }
        sl->addWidget(badgeBox);

        auto *buttons = new QWidget(panel);
        buttons->setFixedWidth(ProtectionRow::buttonsWidth);
        auto *bl = new QVBoxLayout(buttons);
        bl->setContentsMargins(0, 0, 0, 0);
        bl->setSpacing(10);
        QPointer<AgentClient> agent = m_ctx.agent;
        ui.quick = new TSPillButton(QStringLiteral("Quick Scan"), QStringLiteral("bolt.fill"), TSPillButton::Kind::primary,
                                    [agent] {
                                        if (agent)
                                            agent->startScan(QStringLiteral("quick"));
                                    },
                                    buttons);
        ui.full = new TSPillButton(QStringLiteral("Full Scan"), QStringLiteral("magnifyingglass"), TSPillButton::Kind::ghost,
                                   [agent] {
                                       if (agent)
                                           agent->startScan(QStringLiteral("full"));
                                   },
                                   buttons);
        ui.quick->setFixedPillWidth(180);
        ui.full->setFixedPillWidth(180);
        bl->addWidget(ui.quick);
        bl->addWidget(ui.full);
        ui.protection = new ProtectionRow(radarBox, state, sl, buttons, panel);
        panel->addWidget(ui.protection);
        column->addWidget(panel);
    }

    // 4. Telemetry.
    {
        auto *panel = new TSPanel(ui.content);
        ui.telemetry = panel;
        auto *pl = panel->contentLayout();
        pl->setSpacing(14);
        auto *header = new QHBoxLayout;
        header->addWidget(makeLabel(QStringLiteral("Telemetrie live"), fonts::system(14, Weight::Semibold), pal::textPrimary));
        header->addStretch(1);
        ui.uptime = makeLabel(QString(), fonts::mono(11), pal::textSecondary, panel);
        header->addWidget(ui.uptime);
        pl->addLayout(header);

        auto *grid = new QGridLayout;
        grid->setHorizontalSpacing(24);
        grid->setVerticalSpacing(20);
        const QList<GaugeSpec> specs{
            {QStringLiteral("Protection"), 0, 100, QStringLiteral("%"), QStringLiteral("%.0f"), std::nullopt, protectionZones, false},
            {QStringLiteral("Files / sec"), 0, 500, QStringLiteral("fps"), QStringLiteral("%.1f"), std::nullopt, rateZones, false},
            {QStringLiteral("Agent CPU"), 0, 100, QStringLiteral("%"), QStringLiteral("%.1f"), std::nullopt, loadZones, false},
            {QStringLiteral("System CPU"), 0, 100, QStringLiteral("%"), QStringLiteral("%.1f"), std::nullopt, loadZones, false},
            {QStringLiteral("RAM total"), 0, 100, QStringLiteral("%"), QStringLiteral("%.1f"), std::nullopt, loadZones, false},
            {QStringLiteral("Disk"), 0, 100, QStringLiteral("%"), QStringLiteral("%.1f"), std::nullopt, loadZones, false},
        };
        for (int i = 0; i < specs.size(); ++i) {
            auto *g = new GaugeView(specs[i], panel);
            g->setMinimumWidth(std::max(10, g->minimumSizeHint().width()));
            grid->addWidget(g, i / 3, i % 3);
            ui.gauges << g;
        }
        for (int c = 0; c < 3; ++c)
            grid->setColumnStretch(c, 1);
        pl->addLayout(grid);

        ui.barSection = new QWidget(panel);
        auto *bs = new QVBoxLayout(ui.barSection);
        bs->setContentsMargins(0, 0, 0, 0);
        bs->setSpacing(14);
        bs->addWidget(divider(ui.barSection, pal::hairline));
        auto *bars = new QGridLayout;
        bars->setHorizontalSpacing(24);
        bars->setVerticalSpacing(14);
        const QList<LinearGaugeSpec> barSpecs{
            {QStringLiteral("Agent RAM"), 0, 1024, QStringLiteral("MB"), QStringLiteral("%.0f"), pal::accentBlue},
            {QStringLiteral("Agent threads"), 0, 32, QString(), QStringLiteral("%.0f"), pal::accentGreen},
            {QStringLiteral("Agent FDs"), 0, 256, QString(), QStringLiteral("%.0f"), pal::accentAmber},
        };
        for (int i = 0; i < barSpecs.size(); ++i) {
            auto *b = new LinearGauge(barSpecs[i], ui.barSection);
            bars->addWidget(b, 0, i);
            bars->setColumnStretch(i, 1);
            ui.bars << b;
        }
        bs->addLayout(bars);
        pl->addWidget(ui.barSection);
        column->addWidget(panel);
    }

    // 5, 6. Charts and heatmap read the client themselves.
    column->addWidget(new LiveChartsView(m_ctx.agent, ui.content));
    column->addWidget(new ActivityHeatmap(m_ctx.agent, ui.content));

    // 7. Engine activity.
    {
        auto *panel = new TSPanel(ui.content);
        auto *pl = panel->contentLayout();
        pl->setSpacing(10);
        auto *header = new QHBoxLayout;
        header->addWidget(makeLabel(QStringLiteral("Activitate motoare"), fonts::system(14, Weight::Semibold), pal::textPrimary));
        header->addStretch(1);
        header->addWidget(makeLabel(QStringLiteral("hits since boot · 24h · all-time · last seen"), fonts::system(10),
                                    pal::textTertiary));
        pl->addLayout(header);
        auto *titles = new QWidget(panel);
        auto *tl = new QHBoxLayout(titles);
        tl->setContentsMargins(0, 6, 0, 6);
        tl->setSpacing(0);
        const QFont tf = fonts::system(10, Weight::Bold);
        tl->addWidget(cell(QStringLiteral("Engine"), tf, pal::textTertiary, 140, Qt::AlignLeft, titles));
        tl->addWidget(cell(QStringLiteral("Stare"), tf, pal::textTertiary, kEngineStateWidth, Qt::AlignLeft, titles));
        for (const char *t : {"Since boot", "Last 24h", "All time"})
            tl->addWidget(cell(QString::fromLatin1(t), tf, pal::textTertiary, 110, Qt::AlignRight, titles));
        tl->addWidget(cell(QStringLiteral("Last hit"), tf, pal::textTertiary, 0, Qt::AlignRight, titles), 1);
        auto *tableBox = new QVBoxLayout;
        tableBox->setSpacing(0);
        tableBox->addWidget(titles);
        tableBox->addWidget(divider(panel, pal::hairline));
        ui.engineRows = new QVBoxLayout;
        ui.engineRows->setSpacing(0);
        tableBox->addLayout(ui.engineRows);
        ui.engineMore = makeLabel(QString(), fonts::system(11), pal::textTertiary, panel);
        ui.engineMore->setContentsMargins(0, 8, 0, 0);
        ui.engineMore->hide();
        tableBox->addWidget(ui.engineMore);
        pl->addLayout(tableBox);
        column->addWidget(panel);
    }

    // 8. Recent threats.
    {
        auto *panel = new TSPanel(ui.content);
        auto *pl = panel->contentLayout();
        pl->setSpacing(10);
        pl->addWidget(makeLabel(QStringLiteral("Amenințări recente"), fonts::system(14, Weight::Semibold), pal::textPrimary));
        ui.noThreats = makeLabel(QStringLiteral("Nicio amenințare detectată — sistem curat."), fonts::system(12),
                                 pal::textSecondary, panel);
        ui.noThreats->setContentsMargins(0, 12, 0, 12);
        pl->addWidget(ui.noThreats);
        ui.threatNotice = new NoticeBar(panel);
        ui.threatNotice->setObjectName(QStringLiteral("dashboard.threatNotice"));
        pl->addWidget(ui.threatNotice);
        NoticeBar *notice = ui.threatNotice;
        ui.threatActions = new ThreatActionRunner(m_ctx.agent, this, [notice](const QString &text, bool ok) {
            notice->showNotice(text, ok ? NoticeBar::Tone::success : NoticeBar::Tone::error);
        });
        ThreatActionRunner *actions = ui.threatActions;
        for (int i = 0; i < 6; ++i) {
            auto *row = new ThreatRow(Threat{}, panel);
            row->setActionHandler([actions](threatactions::Action a, const Threat &t) { actions->run(a, t); });
            auto *d = divider(panel, pal::hairline);
            row->hide();
            d->hide();
            pl->addWidget(row);
            pl->addWidget(d);
            ui.threatRows << row;
            ui.threatDividers << d;
        }
        ui.threatMore = makeLabel(QString(), fonts::system(11), pal::textTertiary, panel);
        ui.threatMore->hide();
        pl->addWidget(ui.threatMore);
        column->addWidget(panel);
    }

    // 9. Ticker.
    column->addWidget(new EventTickerView(m_ctx.agent, ui.content));
    column->addStretch(1);
    setWidget(ui.content);
    // The window's background shows between the panels (setWidget turned filling on).
    ui.content->setAutoFillBackground(false);

    if (AgentClient *a = m_ctx.agent) {
        for (auto signal : {&AgentClient::summaryChanged, &AgentClient::settingsChanged, &AgentClient::metricsChanged,
                            &AgentClient::threatsChanged, &AgentClient::connectedChanged,
                            &AgentClient::lastErrorChanged})
            connect(a, signal, this, &DashboardView::scheduleRefresh);
    }
    refreshNow();
}

DashboardView::~DashboardView() = default;

bool DashboardView::windowMinimised() const
{
    return window()->windowState() & Qt::WindowMinimized;
}

void DashboardView::showEvent(QShowEvent *e)
{
    QScrollArea::showEvent(e);
    QWidget *win = window();
    if (win != m_watchedWindow) {
        if (m_watchedWindow)
            m_watchedWindow->removeEventFilter(this);
        m_watchedWindow = win;
        if (win != this)
            win->installEventFilter(this);
    }
    applyWindowState();
}

void DashboardView::changeEvent(QEvent *e)
{
    QScrollArea::changeEvent(e);
    if (e->type() == QEvent::WindowStateChange)
        applyWindowState();
}

bool DashboardView::eventFilter(QObject *watched, QEvent *e)
{
    if (watched == m_watchedWindow && e->type() == QEvent::WindowStateChange)
        QTimer::singleShot(0, this, [this] { applyWindowState(); });
    return QScrollArea::eventFilter(watched, e);
}

// A minimised window is not looked at: nothing in it is repainted (some window systems
// keep painting a minimised window's surface), and the refresh after each poll waits
// until it is restored.
void DashboardView::applyWindowState()
{
    const bool minimised = windowMinimised();
    if (updatesEnabled() == !minimised)
        return;
    setUpdatesEnabled(!minimised);
    if (!minimised && m_refreshStale) {
        m_refreshStale = false;
        scheduleRefresh();
    }
}

void DashboardView::scheduleRefresh()
{
    if (windowMinimised()) {
        m_refreshStale = true;
        return;
    }
    // A poll cycle assigns several fields in a row: refresh once, after the last.
    if (m_refreshPending)
        return;
    m_refreshPending = true;
    QTimer::singleShot(0, this, [this] {
        m_refreshPending = false;
        refreshNow();
    });
}

void DashboardView::refreshNow()
{
    refreshCounters();
    refreshProtection();
    refreshTelemetry();
    refreshEngines();
    refreshThreats();
}

void DashboardView::refreshCounters()
{
    const std::optional<Summary> s = m_ctx.agent ? m_ctx.agent->summary() : std::nullopt;
    const qint64 counts[4] = {s ? s->threats_active : 0, s ? s->quarantined : 0, s ? s->threats_last_24h : 0,
                              s ? s->events_last_24h : 0};
    const QColor accents[4] = {counts[0] < 1 ? pal::accentGreen : pal::accentRed, pal::accentAmber, pal::accentBlue,
                               pal::textPrimary};
    for (int i = 0; i < 4; ++i)
        m_ui->counters[i]->setValue(QString::number(counts[i]), accents[i], double(counts[i]));
}

void DashboardView::refreshProtection()
{
    Ui &ui = *m_ui;
    static const QHash<QString, bool> none;
    static const QHash<QString, QString> noReasons;
    const AgentClient *a = m_ctx.agent;
    const QHash<QString, bool> &settings = a ? a->settings() : none;
    const QHash<QString, QString> &unavailable = a ? a->unavailableSettings() : noReasons;
    const bool connected = a && a->connected();
    const bool refused = a && a->agentRefused();
    const std::optional<Summary> s = a ? a->summary() : std::nullopt;
    ui.radar->setThreatCount(s ? s->threats_active : 0);
    ui.radar->setActive(connected);

    const std::optional<LiveMetrics> &m = a ? a->metrics() : std::optional<LiveMetrics>{};
    const QList<EngineProblem> problems = m ? engineProblems(*m, settings) : QList<EngineProblem>{};
    const ProtectionState state = protectionState(settings, unavailable, connected, refused, problems);
    ui.shield->set(state.icon, state.color);
    ui.stateTitle->setText(state.title);
    setLabelColor(ui.stateTitle, state.color);
    ui.stateSubtitle->setText(state.subtitle);
    const auto &specs = engineBadges();
    for (int i = 0; i < specs.size(); ++i) {
        ui.badges[i]->setOn(settings.value(specs[i].key, false));
        ui.badges[i]->setUnavailable(plainText(unavailable.value(specs[i].key), 120));
    }

    // Figures that are not fresh say so, and step back.
    const auto banner = a ? staleDataBanner(connected, refused, a->lastError(), a->lastAnswerAt()) : std::nullopt;
    ui.stale->showNotice(banner.value_or(QString()), refused ? NoticeBar::Tone::warning : NoticeBar::Tone::error);
    const bool stale = !connected && a && a->lastAnswerAt().has_value();
    for (QWidget *w : {ui.counterRow, ui.badgeBox, ui.telemetry})
        setDimmed(w, stale);
}

void DashboardView::refreshTelemetry()
{
    Ui &ui = *m_ui;
    static const QHash<QString, bool> none;
    const QHash<QString, bool> &settings = m_ctx.agent ? m_ctx.agent->settings() : none;
    const std::optional<Summary> s = m_ctx.agent ? m_ctx.agent->summary() : std::nullopt;
    const std::optional<LiveMetrics> m = m_ctx.agent ? m_ctx.agent->metrics() : std::nullopt;

    ui.gauges[0]->setValue(protectionScore(settings, s, m ? engineProblems(*m, settings).size() : 0));
    ui.gauges[1]->setValue(m ? m->files_per_second : 0);
    ui.gauges[2]->setValue(m ? m->agent.cpu : 0);
    ui.gauges[3]->setValue(m ? m->system.cpu_percent : 0);
    ui.gauges[4]->setValue(m ? m->system.ram_percent : 0);
    ui.gauges[5]->setValue(m ? m->system.disk_percent : 0);

    ui.uptime->setVisible(bool(m));
    ui.barSection->setVisible(bool(m));
    if (m) {
        ui.uptime->setText(QStringLiteral("Uptime ") + formatUptime(m->uptime_seconds) + QStringLiteral("  ·  ")
                           + QString::asprintf("%lld", static_cast<long long>(m->files_scanned_since_boot))
                           + QStringLiteral(" fișiere scanate")
                           // The clamd the agent scans through, apart from the agent's own memory.
                           + (m->agent.clamd_rss && *m->agent.clamd_rss > 0
                                  ? QStringLiteral("  ·  ClamAV ") + bytes::format(*m->agent.clamd_rss, bytes::mbToGb)
                                  : QString()));
        ui.bars[0]->setValue(double(m->agent.rss) * 9.5367431640625e-7);
        ui.bars[1]->setValue(double(m->agent.threads));
        ui.bars[2]->setValue(double(m->agent.fds));
    }
}

void DashboardView::refreshEngines()
{
    Ui &ui = *m_ui;
    const std::optional<LiveMetrics> &m = m_ctx.agent ? m_ctx.agent->metrics() : std::optional<LiveMetrics>{};
    QList<EngineStat> rows = m ? m->engineStats() : QList<EngineStat>{};
    const qsizetype sent = m ? std::max<qsizetype>(m->engineNamesSent, rows.size()) : 0;
    if (rows.size() > maxEngineRows)
        rows.resize(maxEngineRows);
    ui.engineMore->setVisible(sent > rows.size());
    ui.engineMore->setText(sent > rows.size() ? moreRowsText(sent - rows.size()) : QString());
    const double now = FrameClock::now();
    static const QHash<QString, bool> noSettings;
    const QList<EngineProblem> problems =
        m ? engineProblems(*m, m_ctx.agent ? m_ctx.agent->settings() : noSettings) : QList<EngineProblem>{};

    // Rows are kept and refilled; only a change in their number adds or removes widgets.
    while (ui.engines.size() > rows.size()) {
        EngineRowUi r = ui.engines.takeLast();
        delete r.row;
        delete r.reason;
        delete r.divider;
    }
    const QFont f = fonts::mono(12);
    while (ui.engines.size() < rows.size()) {
        EngineRowUi r;
        QWidget *parent = ui.engineRows->parentWidget() ? ui.engineRows->parentWidget() : ui.content;
        r.row = new QWidget(parent);
        auto *l = new QHBoxLayout(r.row);
        l->setContentsMargins(0, 8, 0, 8);
        l->setSpacing(0);
        auto *nameCell = new QWidget(r.row);
        nameCell->setFixedWidth(140);
        auto *nl = new QHBoxLayout(nameCell);
        nl->setContentsMargins(0, 0, 0, 0);
        nl->setSpacing(8);
        r.icon = new IconView(QString(), pal::textSecondary, 12, nameCell);
        r.name = makeLabel(QString(), f, pal::textPrimary, nameCell);
        nl->addWidget(r.icon);
        nl->addWidget(r.name, 1);
        l->addWidget(nameCell);
        r.state = cell(QString(), fonts::mono(11, Weight::Semibold), pal::textSecondary, kEngineStateWidth,
                       Qt::AlignLeft, r.row);
        l->addWidget(r.state);
        r.boot = cell(QString(), f, pal::textSecondary, 110, Qt::AlignRight, r.row);
        r.day = cell(QString(), f, pal::textSecondary, 110, Qt::AlignRight, r.row);
        r.total = cell(QString(), f, pal::textSecondary, 110, Qt::AlignRight, r.row);
        r.last = cell(QString(), f, pal::textTertiary, 0, Qt::AlignRight, r.row);
        l->addWidget(r.boot);
        l->addWidget(r.day);
        l->addWidget(r.total);
        l->addWidget(r.last, 1);
        r.reason = makeLabel(QString(), fonts::system(10), pal::accentAmber, parent);
        r.reason->setContentsMargins(20, 0, 0, 8);
        r.reason->setWordWrap(true);
        r.reason->hide();
        r.divider = divider(parent, pal::withOpacity(pal::hairline, 0.4));
        ui.engineRows->addWidget(r.row);
        ui.engineRows->addWidget(r.reason);
        ui.engineRows->addWidget(r.divider);
        ui.engines << r;
    }
    for (int i = 0; i < rows.size(); ++i) {
        const EngineStat &e = rows[i];
        EngineRowUi &r = ui.engines[i];
        r.icon->setSymbol(engineIcon(e.name));
        r.icon->setColor(engineColor(e.name));
        r.name->setText(plainText(capitalizeWords(e.name), 64));
        // Older agents say nothing about an engine's state: the cell stays empty.
        const auto hits = m->engines.constFind(e.name);
        const QString state = hits != m->engines.cend() ? hits->state.value_or(QString()) : QString();
        r.state->setText(state.isEmpty() ? QString() : engineStateLabel(state));
        // An engine its user switched off is quiet grey, with no reason under it.
        const bool problem = std::any_of(problems.cbegin(), problems.cend(),
                                         [&](const EngineProblem &p) { return p.name == e.name; });
        setLabelColor(r.state, problem || state == u"ok" ? engineStateColor(state) : pal::textTertiary);
        const QString reason = problem ? plainText(hits->reason.value_or(QString()), 160) : QString();
        r.reason->setText(reason);
        r.reason->setVisible(!reason.isEmpty());
        r.boot->setText(QString::asprintf("%lld", static_cast<long long>(e.hits_since_boot)));
        setLabelColor(r.boot, e.hits_since_boot >= 1 ? pal::accentAmber : pal::textSecondary);
        r.day->setText(QString::asprintf("%lld", static_cast<long long>(e.last24h)));
        setLabelColor(r.day, e.last24h >= 1 ? pal::accentRed : pal::textSecondary);
        r.total->setText(QString::asprintf("%lld", static_cast<long long>(e.total)));
        r.last->setText(relativeTime(e.last_hit_ts, now));
    }
}

void DashboardView::refreshThreats()
{
    Ui &ui = *m_ui;
    const QList<Threat> threats = m_ctx.agent ? m_ctx.agent->threats() : QList<Threat>{};
    const int shown = int(std::min<qsizetype>(threats.size(), 6));
    ui.noThreats->setVisible(shown == 0);
    for (int i = 0; i < 6; ++i) {
        const bool on = i < shown;
        if (on)
            ui.threatRows[i]->setThreat(threats[i]);
        ui.threatRows[i]->setVisible(on);
        ui.threatDividers[i]->setVisible(on);
    }
    // The rest are on the threats screen: how many, counting those the agent did not send.
    const qsizetype more = threats.size() - shown + (m_ctx.agent ? m_ctx.agent->threatsNotListed() : 0);
    ui.threatMore->setText(more > 0 ? moreRowsText(more) : QString());
    ui.threatMore->setVisible(more > 0);
}

RadarView *DashboardView::radar() const { return m_ui->radar; }
QList<GaugeView *> DashboardView::gauges() const { return m_ui->gauges; }
QList<LinearGauge *> DashboardView::barGauges() const { return m_ui->bars; }
QList<TSStat *> DashboardView::counters() const { return m_ui->counters; }
QList<EngineBadge *> DashboardView::badges() const { return m_ui->badges; }
TSPillButton *DashboardView::quickScanButton() const { return m_ui->quick; }
TSPillButton *DashboardView::fullScanButton() const { return m_ui->full; }
bool DashboardView::barGaugesShown() const { return !m_ui->barSection->isHidden(); }
QString DashboardView::engineTableMore() const { return m_ui->engineMore->isHidden() ? QString() : m_ui->engineMore->text(); }
QString DashboardView::recentThreatsMore() const { return m_ui->threatMore->isHidden() ? QString() : m_ui->threatMore->text(); }
QString DashboardView::staleBannerText() const { return m_ui->stale->isHidden() ? QString() : m_ui->stale->text(); }
QString DashboardView::stateTitle() const { return m_ui->stateTitle->text(); }
QString DashboardView::stateSubtitle() const { return m_ui->stateSubtitle->text(); }
bool DashboardView::figuresDimmed() const { return m_ui->telemetry->graphicsEffect() != nullptr; }
bool DashboardView::protectionWrapped() const { return m_ui->protection->wrapped(); }

QList<ThreatRow *> DashboardView::visibleThreatRows() const
{
    QList<ThreatRow *> out;
    for (ThreatRow *r : m_ui->threatRows)
        if (!r->isHidden())
            out << r;
    return out;
}

QList<QStringList> DashboardView::engineTableStates() const
{
    QList<QStringList> out;
    for (const EngineRowUi &r : m_ui->engines)
        out << QStringList{r.state->text(), r.reason->isHidden() ? QString() : r.reason->text()};
    return out;
}

QList<QStringList> DashboardView::engineTableRows() const
{
    QList<QStringList> out;
    for (const EngineRowUi &r : m_ui->engines)
        out << QStringList{r.name->text(), r.boot->text(), r.day->text(), r.total->text(), r.last->text()};
    return out;
}

} // namespace tsav
