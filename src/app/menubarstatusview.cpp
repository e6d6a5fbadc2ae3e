#include "app/menubarstatusview.h"

#include "agentlink/agentclient.h"
#include "app/statusrules.h"
#include "kit/iconview.h"
#include "kit/label.h"
#include "kit/palette.h"
#include "kit/tspillbutton.h"
#include "kit/typography.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

namespace tsav {

namespace {

using fonts::Weight;

QWidget *divider(QWidget *parent)
{
    auto *line = new QWidget(parent);
    line->setFixedHeight(1);
    line->setAutoFillBackground(true);
    QPalette pal = line->palette();
    pal.setColor(QPalette::Window, palette::hairline);
    line->setPalette(pal);
    return line;
}

QLabel *figureRow(QVBoxLayout *column, const QString &label, QWidget *parent)
{
    auto *row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    auto *name = makeLabel(label, fonts::system(11), palette::textSecondary, parent);
    auto *value = makeLabel(QString(), fonts::mono(12, Weight::Semibold), palette::textPrimary, parent);
    value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    value->setAccessibleName(label);
    row->addWidget(name);
    row->addStretch(1);
    row->addWidget(value);
    column->addLayout(row);
    return value;
}

} // namespace

MenuBarStatusView::MenuBarStatusView(const ScreenContext &ctx, std::function<void()> openMainWindow,
                                     std::function<void()> quit, QWidget *parent)
    : QWidget(parent), m_ctx(ctx), m_agent(ctx.agent)
{
    setObjectName(QStringLiteral("MenuBarStatusView"));
    setAccessibleName(QStringLiteral("Tessaly Antivirus"));
    setFixedWidth(320);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(16, 16, 16, 16);
    column->setSpacing(12);

    auto *header = new QHBoxLayout;
    header->setSpacing(10);
    m_statusIcon = new IconView(QStringLiteral("shield.lefthalf.filled"), palette::accentGreen, 20, this);
    header->addWidget(m_statusIcon, 0, Qt::AlignVCenter);
    auto *titles = new QVBoxLayout;
    titles->setSpacing(2);
    titles->addWidget(makeLabel(QStringLiteral("TESSALY ANTIVIRUS"),
                                fonts::tracked(fonts::system(10, Weight::Heavy), 2.0),
                                palette::textPrimary, this));
    m_statusText = makeLabel(QString(), fonts::system(11, Weight::Semibold), palette::accentRed, this);
    m_statusText->setObjectName(QStringLiteral("status"));
    titles->addWidget(m_statusText);
    m_statusDetail = makeLabel(QString(), fonts::system(10), palette::accentAmber, this);
    m_statusDetail->setObjectName(QStringLiteral("statusDetail"));
    m_statusDetail->setWordWrap(true);
    m_statusDetail->hide();
    titles->addWidget(m_statusDetail);
    header->addLayout(titles, 1);
    column->addLayout(header);

    column->addWidget(divider(this));

    auto *figures = new QVBoxLayout;
    figures->setSpacing(6);
    m_threats = figureRow(figures, QStringLiteral("Amenințări active"), this);
    m_quarantined = figureRow(figures, QStringLiteral("În carantină"), this);
    m_filesPerSec = figureRow(figures, QStringLiteral("Files / sec"), this);
    m_agentCpu = figureRow(figures, QStringLiteral("Agent CPU"), this);
    column->addLayout(figures);

    column->addWidget(divider(this));

    auto *buttons = new QVBoxLayout;
    buttons->setSpacing(8);
    auto *quick = new TSPillButton(QStringLiteral("Quick Scan"), QStringLiteral("bolt.fill"),
                                   TSPillButton::Kind::primary, this);
    QPointer<AgentClient> agent = m_agent;
    quick->setAction([agent] {
        if (agent)
            agent->startScan(QStringLiteral("quick")); // runs on; the button returns at once
    });
    auto *open = new TSPillButton(QStringLiteral("Deschide Dashboard"), QStringLiteral("macwindow"),
                                  TSPillButton::Kind::ghost, std::move(openMainWindow), this);
    buttons->addWidget(quick);
    buttons->addWidget(open);
    if (quit) {
        auto *exit = new TSPillButton(QStringLiteral("Ieșire"), QStringLiteral("power"),
                                      TSPillButton::Kind::ghost, std::move(quit), this);
        exit->setToolTip(QStringLiteral("Închide consola; agentul rămâne pornit"));
        buttons->addWidget(exit);
    }
    column->addLayout(buttons);

    if (m_agent) {
        for (auto signal : {&AgentClient::connectedChanged, &AgentClient::summaryChanged,
                            &AgentClient::metricsChanged, &AgentClient::settingsChanged})
            connect(m_agent, signal, this, &MenuBarStatusView::refresh);
    }
    refresh();
}

void MenuBarStatusView::refresh()
{
    const bool connected = m_agent && m_agent->connected();
    static const std::optional<Summary> noSummary;
    static const std::optional<LiveMetrics> noMetrics;
    static const QHash<QString, bool> noSettings;
    const auto &summary = m_agent ? m_agent->summary() : noSummary;
    const auto &metrics = m_agent ? m_agent->metrics() : noMetrics;
    const auto &settings = m_agent ? m_agent->settings() : noSettings;

    const PanelStatus status =
        panelStatus(connected, summary, settings, m_agent ? currentEngineProblems(*m_agent) : QList<EngineProblem>{});
    m_statusIcon->setSymbol(status.icon);
    m_statusIcon->setColor(status.color);
    m_statusText->setText(status.text);
    setLabelColor(m_statusText, status.color);
    m_statusDetail->setText(status.detail);
    m_statusDetail->setVisible(!status.detail.isEmpty());

    const PanelFigures f = panelFigures(summary, metrics);
    m_threats->setText(f.threatsActive);
    setLabelColor(m_threats, f.threatsColor);
    m_quarantined->setText(f.quarantined);
    setLabelColor(m_quarantined, palette::accentAmber);
    m_filesPerSec->setText(f.filesPerSecond);
    setLabelColor(m_filesPerSec, palette::accentBlue);
    m_agentCpu->setText(f.agentCpu);
    setLabelColor(m_agentCpu, palette::textPrimary);
}

void MenuBarStatusView::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), palette::backgroundBottom);
}

} // namespace tsav
