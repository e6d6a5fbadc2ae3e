#include "screens/scanview.h"

#include "agentlink/agentclient.h"
#include "alerts/feedback.h"
#include "alerts/soundplayer.h"
#include "kit/frameclock.h"
#include "kit/icons.h"
#include "kit/instruments/gaugeview.h"
#include "kit/label.h"
#include "kit/palette.h"
#include "kit/plaintext.h"
#include "kit/tspanel.h"
#include "kit/tspillbutton.h"
#include "kit/typography.h"
#include "screens/screenparts.h"
#include "screens/threatactions.h"
#include "screens/threatrow.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QScrollArea>
#include <QVBoxLayout>

#include <cmath>

namespace tsav {

using fonts::Weight;

namespace {

// Directory table columns after the path: width each, trailing.
struct DirColumn {
    const char *title;
    int width;
};
constexpr DirColumn kDirColumns[] = {{"Scanate", 90}, {"Hits", 70}, {"Durata", 90}, {"Stare", 90}};
constexpr int kDirFixed = 90 + 70 + 90 + 90;

qreal lineHeight(const QFont &f) { return std::ceil(QFontMetricsF(f).height()); }

// The per-directory table, painted: header, divider, then a row per directory (or the
// waiting line).
class DirectoryTable : public QWidget {
public:
    void setRows(QList<ScanDirStat> rows)
    {
        if (rows == m_rows && m_sized)
            return;
        m_rows = std::move(rows);
        m_sized = true;
        const qreal header = lineHeight(fonts::system(10, Weight::Bold)) + 12 + 1;
        const qreal body = m_rows.isEmpty() ? lineHeight(fonts::system(11)) + 24
                                            : m_rows.size() * (lineHeight(fonts::mono(11)) + 12 + 1);
        setFixedHeight(int(header + body));
        update();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::TextAntialiasing);
        const qreal w = width();
        const QFont hf = fonts::system(10, Weight::Bold);
        qreal y = 6;
        const qreal hh = lineHeight(hf);
        auto columns = [&](qreal top, qreal h, auto &&cell) {
            qreal x = w - kDirFixed;
            for (int i = 0; i < 4; ++i) {
                cell(i, QRectF(x, top, kDirColumns[i].width, h));
                x += kDirColumns[i].width;
            }
        };
        drawText(p, QRectF(0, y, w - kDirFixed, hh), QStringLiteral("Director"), hf, palette::textTertiary);
        columns(y, hh, [&](int i, const QRectF &r) {
            drawText(p, r, QString::fromLatin1(kDirColumns[i].title), hf, palette::textTertiary,
                     Qt::AlignRight | Qt::AlignVCenter);
        });
        y += hh + 6;
        drawDivider(p, 0, w, y, palette::hairline);
        y += 1;
        if (m_rows.isEmpty()) {
            drawText(p, QRectF(0, y + 12, w, lineHeight(fonts::system(11))), QStringLiteral("Așteptăm date…"),
                     fonts::system(11), palette::textSecondary);
            return;
        }
        const QFont mf = fonts::mono(11);
        const QFont stateF = fonts::system(9, Weight::Heavy);
        const qreal rh = lineHeight(mf);
        for (const ScanDirStat &d : m_rows) {
            const qreal top = y + 6;
            drawText(p, QRectF(0, top, w - kDirFixed - 6, rh), plainText(d.path), mf, palette::textPrimary,
                     Qt::AlignLeft | Qt::AlignVCenter, Qt::ElideLeft);
            columns(top, rh, [&](int i, const QRectF &r) {
                switch (i) {
                case 0:
                    drawText(p, r, QString::number(d.scanned), mf, palette::textPrimary, Qt::AlignRight | Qt::AlignVCenter);
                    break;
                case 1:
                    drawText(p, r, QString::number(d.hits), mf, d.hits < 1 ? palette::textSecondary : palette::accentRed,
                             Qt::AlignRight | Qt::AlignVCenter);
                    break;
                case 2:
                    drawText(p, r, scan::dirDurationText(d), mf, palette::textSecondary, Qt::AlignRight | Qt::AlignVCenter);
                    break;
                default:
                    drawText(p, r, scan::dirStateText(d), stateF,
                             d.finished ? palette::accentGreen : palette::accentAmber, Qt::AlignRight | Qt::AlignVCenter);
                }
            });
            y = top + rh + 6;
            drawDivider(p, 0, w, y, palette::withOpacity(palette::hairline, 0.4));
            y += 1;
        }
    }

private:
    QList<ScanDirStat> m_rows;
    bool m_sized = false;
};

GaugeSpec gaugeSpec(int which, const std::optional<LiveMetrics> &m, qint64 threatCount)
{
    using palette::accentAmber, palette::accentBlue, palette::accentGreen, palette::accentRed;
    const gauge::Zones load{{0, accentGreen}, {0.55, accentAmber}, {0.82, accentRed}};
    switch (which) {
    case 0:
        return {QStringLiteral("Throughput"), m ? m->files_per_second : 0, 500, QStringLiteral("files/s"),
                QStringLiteral("%.1f"), std::nullopt, {{0, accentBlue}, {0.5, accentGreen}, {0.85, accentAmber}}, false};
    case 1:
        return {QStringLiteral("Threats hit"), double(threatCount), scan::threatsGaugeMax(threatCount), QString(),
                QStringLiteral("%.0f"), std::nullopt, {{0, accentGreen}, {0.1, accentAmber}, {0.5, accentRed}}, false};
    case 2:
        return {QStringLiteral("Agent CPU"), m ? m->agent.cpu : 0, 100, QStringLiteral("%"), QStringLiteral("%.1f"),
                std::nullopt, load, false};
    default:
        return {QStringLiteral("Agent RAM"), m ? double(m->agent.rss) / 1048576.0 : 0, 1024, QStringLiteral("MB"),
                QStringLiteral("%.0f"), std::nullopt, load, false};
    }
}

// The live scan's gauges with the stop button at the right edge; in a window too narrow
// for both, the button goes under the gauges, still at the right.
class GaugesRow : public QWidget {
public:
    static constexpr int spacing = 18;

    GaugesRow(const QList<QWidget *> &gauges, QWidget *button) : m_button(button)
    {
        auto *column = new QVBoxLayout(this);
        column->setContentsMargins(0, 0, 0, 0);
        column->setSpacing(12);
        m_top = new QHBoxLayout;
        m_top->setSpacing(spacing);
        for (QWidget *g : gauges) {
            m_top->addWidget(g, 0, Qt::AlignVCenter);
            m_gaugesWidth += g->minimumSizeHint().width() + spacing;
        }
        m_top->addStretch(1);
        m_top->addWidget(button, 0, Qt::AlignVCenter);
        m_bottom = new QHBoxLayout;
        m_bottom->addStretch(1);
        column->addLayout(m_top);
        column->addLayout(m_bottom);
        setMinimumWidth(m_gaugesWidth - spacing);
    }

protected:
    void resizeEvent(QResizeEvent *e) override
    {
        QWidget::resizeEvent(e);
        const bool under = width() < m_gaugesWidth + m_button->sizeHint().width();
        if (under == m_under)
            return;
        m_under = under;
        (under ? m_top : m_bottom)->removeWidget(m_button);
        (under ? m_bottom : m_top)->addWidget(m_button, 0, Qt::AlignVCenter);
    }

private:
    QWidget *m_button;
    QHBoxLayout *m_top, *m_bottom;
    int m_gaugesWidth = 0;
    bool m_under = false;
};

} // namespace

ScanView::ScanView(const ScreenContext &ctx, QWidget *parent)
    : QWidget(parent), m_agent(ctx.agent), m_sound(ctx.sound)
{
    setObjectName(QStringLiteral("screen.scan"));
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto *scroll = makePageScrollArea(Qt::ScrollBarAlwaysOn);
    auto *content = new QWidget;
    content->setAutoFillBackground(false);
    m_column = new QVBoxLayout(content);
    m_column->setContentsMargins(0, 0, 8, 0);
    m_column->setSpacing(18);
    scroll->setWidget(content);
    content->setAutoFillBackground(false); // setWidget() turns it on
    outer->addWidget(scroll);

    auto *header = new QWidget;
    auto *hv = new QVBoxLayout(header);
    hv->setContentsMargins(0, 0, 0, 0);
    hv->setSpacing(4);
    hv->addWidget(makeLabel(QStringLiteral("Scan"), fonts::rounded(26, Weight::Bold), palette::textPrimary));
    QLabel *intro = makeLabel(
        QStringLiteral("Inițiază un scan rapid (descărcări, desktop, pornire automată, folderele temporare) sau unul "
                       "complet (întregul home, /usr/local, /opt, /srv)."),
        fonts::system(13), palette::textSecondary);
    intro->setWordWrap(true);
    hv->addWidget(intro);
    m_column->addWidget(header);

    auto *cards = new QHBoxLayout;
    cards->setSpacing(16);
    m_quick = new ScanLaunchCard(scan::quickCard(), [this] { launch(QStringLiteral("quick")); });
    m_full = new ScanLaunchCard(scan::fullCard(), [this] { launch(QStringLiteral("full")); });
    cards->addWidget(m_quick, 1);
    cards->addWidget(m_full, 1);
    m_column->addLayout(cards);
    // How the last action on a result went; stays while the results are rebuilt.
    m_notice = new NoticeBar;
    m_notice->setObjectName(QStringLiteral("scan.notice"));
    m_column->addWidget(m_notice);
    m_actions = new ThreatActionRunner(m_agent, this, [this](const QString &text, bool ok) {
        m_notice->showNotice(text, ok ? NoticeBar::Tone::success : NoticeBar::Tone::error);
    });
    m_column->addStretch(1);

    if (m_agent) {
        connect(m_agent, &AgentClient::scanChanged, this, &ScanView::refreshFromClient);
        connect(m_agent, &AgentClient::metricsChanged, this, &ScanView::refreshFromClient);
        connect(m_agent, &AgentClient::threatsChanged, this, &ScanView::refreshFromClient);
    }
    refreshFromClient();
}

SoundPlayer &ScanView::player() const { return m_sound ? *m_sound : SoundPlayer::shared(); }

void ScanView::launch(const QString &kind)
{
    feedback::give(feedback::Trigger::scanLaunch, player());
    if (m_agent)
        m_agent->startScan(kind); // runs on; the next poll shows the scan
}

void ScanView::refreshFromClient()
{
    if (m_agent)
        setState(m_agent->scan(), m_agent->metrics(), m_agent->threats());
    else
        setState(std::nullopt, std::nullopt, {});
}

void ScanView::setState(const std::optional<ScanStatus> &scanStatus, const std::optional<LiveMetrics> &metrics,
                        const QList<Threat> &threats)
{
    m_scan = scanStatus;
    m_metrics = metrics;
    m_threats = threats;

    if (scan::isRunning(m_scan)) {
        if (!m_live)
            buildLive();
        updateLive();
    } else if (m_live) {
        m_live->deleteLater();
        m_live = nullptr;
        m_hero = nullptr;
        m_gauges.clear();
        m_dirTable = nullptr;
        m_dirMore = nullptr;
    }

    if (scan::isReportable(m_scan)) {
        buildResults();
    } else if (m_results) {
        m_results->deleteLater();
        m_results = nullptr;
        m_resultsLine = nullptr;
        m_resultThreats.clear();
        m_resultsClean = false;
    }
}

void ScanView::buildLive()
{
    m_live = new QWidget;
    auto *v = new QVBoxLayout(m_live);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(18);

    auto *heroPanel = new TSPanel;
    m_hero = new LiveScanHero;
    heroPanel->addWidget(m_hero);
    v->addWidget(heroPanel);

    auto *gaugesPanel = new TSPanel;
    QList<QWidget *> gauges;
    for (int i = 0; i < 4; ++i) {
        auto *g = new GaugeView(gaugeSpec(i, m_metrics, 0));
        m_gauges.append(g);
        gauges.append(g);
    }
    auto *stop = new TSPillButton(QStringLiteral("Oprește"), QStringLiteral("stop.fill"), TSPillButton::Kind::danger,
                                  [agent = m_agent] {
                                      if (agent)
                                          agent->stopScan();
                                  });
    stop->setFixedPillWidth(130);
    gaugesPanel->addWidget(new GaugesRow(gauges, stop));
    v->addWidget(gaugesPanel);

    auto *dirPanel = new TSPanel;
    dirPanel->contentLayout()->setSpacing(10);
    dirPanel->addWidget(makeLabel(QStringLiteral("Progres pe directoare"), fonts::system(14, Weight::Semibold),
                                  palette::textPrimary));
    m_dirTable = new DirectoryTable;
    dirPanel->addWidget(m_dirTable);
    m_dirMore = makeLabel(QString(), fonts::system(11), palette::textTertiary);
    m_dirMore->hide();
    dirPanel->addWidget(m_dirMore);
    v->addWidget(dirPanel);

    // Below the cards, above the results (if any) and the closing stretch.
    m_column->insertWidget(2, m_live);
}

void ScanView::updateLive()
{
    m_hero->setScan(*m_scan);
    const qint64 hits = scan::threatsOfScan(m_threats, *m_scan).size();
    for (int i = 0; i < m_gauges.size(); ++i)
        m_gauges[i]->setSpec(gaugeSpec(i, m_metrics, hits));
    QList<ScanDirStat> rows = scan::directoryRows(m_metrics);
    const qsizetype sent = std::max<qsizetype>(rows.size(), m_metrics ? m_metrics->scanDirsSent : 0);
    if (rows.size() > maxFolderRows)
        rows.resize(maxFolderRows);
    m_dirMore->setText(moreRowsText(sent - rows.size()));
    m_dirMore->setVisible(sent > rows.size());
    static_cast<DirectoryTable *>(m_dirTable)->setRows(std::move(rows));
}

void ScanView::buildResults()
{
    const QList<Threat> found = scan::threatsOfScan(m_threats, *m_scan);
    const QString line = scan::resultsLine(*m_scan, found.size(), FrameClock::now());
    const scan::OutcomeNote note = scan::outcomeNote(*m_scan);
    if (m_results && found == m_resultThreats && note.text == m_resultNote) {
        m_resultsLine->setText(line);
        return;
    }
    const bool wasClean = m_results && m_resultsClean;
    if (m_results)
        m_results->deleteLater();
    m_resultThreats = found;
    m_resultNote = note.text;
    // A scan that failed found nothing because it did not look: never "clean".
    m_resultsClean = found.isEmpty() && !note.failed;

    auto *panel = new TSPanel;
    panel->contentLayout()->setSpacing(10);
    auto *top = new QHBoxLayout;
    top->addWidget(makeLabel(QStringLiteral("Rezultate scan"), fonts::system(14, Weight::Semibold), palette::textPrimary));
    top->addStretch();
    m_resultsLine = makeLabel(line, fonts::mono(11), palette::textSecondary);
    top->addWidget(m_resultsLine);
    panel->contentLayout()->addLayout(top);
    if (!note.text.isEmpty()) {
        auto *outcome = new NoticeBar;
        outcome->setObjectName(QStringLiteral("scan.outcome"));
        outcome->showNotice(note.text, note.failed ? NoticeBar::Tone::error : NoticeBar::Tone::warning);
        panel->addWidget(outcome);
    }

    if (m_resultsClean) {
        auto *clean = new QWidget;
        auto *h = new QHBoxLayout(clean);
        h->setContentsMargins(0, 6, 0, 6);
        h->setSpacing(8);
        auto *icon = new PaintedWidget([](QPainter &p, const QRectF &r) {
            icons::draw(p, r, QStringLiteral("checkmark.shield.fill"), palette::accentGreen, 16);
        });
        icon->setFixedSize(18, 18);
        h->addWidget(icon);
        h->addWidget(makeLabel(QStringLiteral("Niciun fișier malițios găsit."), fonts::system(13), palette::textPrimary));
        h->addStretch();
        panel->addWidget(clean);
        if (!wasClean) {
            // The clean line has just appeared.
            ++m_cleanAppearances;
            feedback::give(feedback::Trigger::scanCleanResult, player());
        }
    } else {
        for (const Threat &t : found.first(std::min<qsizetype>(found.size(), maxResultRows))) {
            auto *row = new ThreatRow(t);
            row->setActionHandler([this](threatactions::Action a, const Threat &threat) { m_actions->run(a, threat); });
            panel->addWidget(row);
            auto *divider = new QWidget;
            divider->setFixedHeight(1);
            divider->setAutoFillBackground(true);
            QPalette pal = divider->palette();
            pal.setColor(QPalette::Window, palette::hairline);
            divider->setPalette(pal);
            panel->addWidget(divider);
        }
        if (found.size() > maxResultRows)
            panel->addWidget(makeLabel(moreRowsText(found.size() - maxResultRows), fonts::system(11),
                                       palette::textTertiary));
    }
    m_results = panel;
    m_column->insertWidget(m_column->count() - 1, m_results); // before the closing stretch
}

QString ScanView::noticeText() const { return m_notice->isHidden() ? QString() : m_notice->text(); }

QString ScanView::resultsLineText() const { return m_resultsLine ? m_resultsLine->text() : QString(); }

} // namespace tsav
