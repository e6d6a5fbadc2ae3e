#include "screens/auditview.h"

#include "agentlink/agentclient.h"
#include "alerts/feedback.h"
#include "alerts/soundplayer.h"
#include "kit/icons.h"
#include "kit/instruments/gaugeview.h"
#include "kit/label.h"
#include "kit/palette.h"
#include "kit/plaintext.h"
#include "kit/tspanel.h"
#include "kit/tspillbutton.h"
#include "kit/typography.h"
#include "screens/screenparts.h"
#include "screens/auditlogic.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QScrollArea>
#include <QVBoxLayout>

#include <algorithm>

namespace tsav {

using fonts::Weight;

namespace {

// Removes and deletes every item of a layout, nested layouts included.
void clearLayout(QLayout *layout)
{
    while (QLayoutItem *item = layout->takeAt(0)) {
        if (QWidget *w = item->widget())
            delete w;
        else if (QLayout *l = item->layout())
            clearLayout(l);
        delete item;
    }
}

// The severity badge: upper-case word on a tint of its colour.
QLabel *badge(const AuditCheck &check)
{
    const QColor colour = audit::severityColor(check);
    QLabel *l = makeLabel(audit::badgeText(check), fonts::system(9, Weight::Heavy), colour);
    l->setObjectName(QStringLiteral("audit.badge"));
    l->setContentsMargins(8, 3, 8, 3);
    l->setAutoFillBackground(true);
    QPalette pal = l->palette();
    pal.setColor(QPalette::Window, palette::withOpacity(colour, 0.18));
    l->setPalette(pal);
    l->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    return l;
}

} // namespace

AuditView::AuditView(const ScreenContext &context, QWidget *parent)
    : QWidget(parent), m_agent(context.agent), m_sound(context.sound)
{
    setObjectName(QStringLiteral("AuditView"));

    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto *scroll = makePageScrollArea();
    outer->addWidget(scroll);

    auto *content = new QWidget;
    content->setAutoFillBackground(false);
    auto *column = new QVBoxLayout(content);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(16);
    column->addWidget(buildHeader());
    column->addWidget(buildScore());
    column->addWidget(buildChecksPanel());
    column->addStretch(1);
    scroll->setWidget(content);
    content->setAutoFillBackground(false); // setWidget() turned it on; the window paints

    showResult();
    // Opening the screen runs an audit at once.
    performAudit();
}

AuditView::~AuditView() = default;

SoundPlayer &AuditView::player() const
{
    return m_sound ? *m_sound : SoundPlayer::shared();
}

QWidget *AuditView::buildHeader()
{
    auto *header = new QWidget;
    auto *row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->addWidget(
        makeLabel(audit::kTitle, fonts::rounded(26, Weight::Bold), palette::textPrimary));
    QLabel *subtitle = makeLabel(audit::kSubtitle, fonts::system(12), palette::textSecondary);
    subtitle->setWordWrap(true); // the list of checks is long: it wraps in a narrow window
    texts->addWidget(subtitle);
    row->addLayout(texts, 1);

    m_button = new TSPillButton(audit::kRunTitle, audit::kRunIcon, TSPillButton::Kind::primary,
                                [this] { performAudit(); });
    m_button->setObjectName(QStringLiteral("audit.run"));
    m_button->setFixedPillWidth(180);
    row->addWidget(m_button, 0, Qt::AlignVCenter);
    return header;
}

QWidget *AuditView::buildScore()
{
    auto *panel = new TSPanel;
    panel->setObjectName(QStringLiteral("audit.score"));
    auto *row = new QHBoxLayout;
    row->setSpacing(24);

    GaugeSpec spec;
    spec.title = audit::kGaugeTitle;
    spec.value = 0;
    spec.max = 100;
    spec.unit = QStringLiteral("%");
    spec.format = QStringLiteral("%.0f");
    spec.zones = audit::scoreZones();
    spec.reverseColors = false;
    m_gauge = new GaugeView(spec);
    m_gauge->setObjectName(QStringLiteral("audit.gauge"));
    row->addWidget(m_gauge, 0, Qt::AlignVCenter);

    auto *texts = new QVBoxLayout;
    texts->setSpacing(6);
    texts->addStretch(1);
    texts->addWidget(makeLabel(audit::kStateTitle, fonts::system(14, Weight::Semibold),
                               palette::textPrimary));
    m_passing = makeLabel(audit::kNoResultLine, fonts::system(12), palette::textSecondary);
    m_passing->setObjectName(QStringLiteral("audit.passing"));
    texts->addWidget(m_passing);
    texts->addSpacing(4);
    QLabel *foot = makeLabel(audit::kFootnote, fonts::system(10), palette::textTertiary);
    foot->setWordWrap(true);
    texts->addWidget(foot);
    texts->addStretch(1);
    row->addLayout(texts, 1);

    panel->contentLayout()->addLayout(row);
    return panel;
}

QWidget *AuditView::buildChecksPanel()
{
    auto *panel = new TSPanel;
    panel->setObjectName(QStringLiteral("audit.checks"));
    panel->contentLayout()->setSpacing(0);
    m_checks = new QVBoxLayout;
    m_checks->setSpacing(0);
    panel->contentLayout()->addLayout(m_checks);
    return panel;
}

QWidget *AuditView::checkRow(const AuditCheck &check)
{
    auto *row = new QWidget;
    row->setObjectName(QStringLiteral("audit.check"));
    auto *h = new QHBoxLayout(row);
    h->setContentsMargins(0, 10, 0, 10);
    h->setSpacing(8);

    QLabel *icon = makeLabel(icons::glyph(audit::iconName(check)), icons::font(18),
                             audit::iconColor(check));
    icon->setObjectName(QStringLiteral("audit.icon"));
    icon->setFixedWidth(28);
    icon->setAlignment(Qt::AlignCenter);
    icon->setAccessibleName(check.pass ? QStringLiteral("trecut") : QStringLiteral("eșuat"));
    h->addWidget(icon);

    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    QLabel *title =
        makeLabel(plainText(check.title), fonts::system(13, Weight::Semibold), palette::textPrimary);
    title->setWordWrap(true);
    texts->addWidget(title);
    QLabel *detail = makeLabel(plainText(check.detail), fonts::mono(10), palette::textSecondary);
    detail->setWordWrap(true);
    texts->addWidget(detail);
    h->addLayout(texts, 1);

    h->addWidget(badge(check), 0, Qt::AlignVCenter);
    return row;
}

void AuditView::setRunning(bool running)
{
    m_running = running;
    m_button->setTitle(audit::buttonTitle(running));
    m_button->setEnabled(!running);
}

void AuditView::showResult()
{
    m_gauge->setValue(audit::gaugeValue(m_audit));
    m_passing->setText(audit::passingLine(m_audit));

    setUpdatesEnabled(false);
    clearLayout(m_checks);
    if (!m_audit) {
        QLabel *empty = makeLabel(audit::kChecksEmptyState, fonts::system(12), palette::textSecondary);
        empty->setObjectName(QStringLiteral("audit.empty"));
        empty->setAlignment(Qt::AlignCenter);
        empty->setContentsMargins(0, 40, 0, 40);
        m_checks->addWidget(empty);
    } else {
        const auto shown = std::min<qsizetype>(m_audit->checks.size(), audit::kMaxRows);
        for (qsizetype i = 0; i < shown; ++i) {
            m_checks->addWidget(checkRow(m_audit->checks[i]));
            auto *divider = new QFrame;
            divider->setFixedHeight(1);
            divider->setAutoFillBackground(true);
            QPalette pal = divider->palette();
            pal.setColor(QPalette::Window, palette::withOpacity(palette::hairline, 0.4));
            divider->setPalette(pal);
            m_checks->addWidget(divider);
        }
        // The agent's count: the client keeps only the first checks of a huge answer.
        const QString overflow = audit::overflowLine(std::max<qsizetype>(m_audit->checks.size(), m_audit->total));
        if (!overflow.isEmpty()) {
            QLabel *more = makeLabel(overflow, fonts::system(11), palette::textTertiary);
            more->setObjectName(QStringLiteral("audit.overflow"));
            more->setContentsMargins(0, 10, 0, 0);
            m_checks->addWidget(more);
        }
    }
    setUpdatesEnabled(true);
    // The whole screen repaints: let it go out as the whole window, which is sent from
    // the window's picture as it is, rather than as a part copied out of it first (over
    // the X connection's socket, into a buffer that keeps that size).
    window()->update();
}

QCoro::Task<> AuditView::performAudit()
{
    QPointer<AgentClient> agent = m_agent;
    if (m_running)
        co_return;
    QPointer<AuditView> self(this);
    setRunning(true);
    std::optional<AuditResult> result;
    if (agent)
        result = co_await agent->runAudit();
    if (!self)
        co_return; // the screen is gone: the answer has nowhere to go
    m_audit = std::move(result);
    setRunning(false);
    showResult();
    if (m_audit)
        feedback::give(audit::feedbackForScore(m_audit->score), player());
    Q_EMIT auditFinished();
}

} // namespace tsav
