#include "app/sidebar.h"

#include "agentlink/agentclient.h"
#include "agentlink/supervisor.h"
#include "alerts/feedback.h"
#include "kit/elide.h"
#include "kit/frameclock.h"
#include "kit/glow.h"
#include "kit/focusring.h"
#include "kit/iconview.h"
#include "kit/icons.h"
#include "kit/label.h"
#include "kit/motion.h"
#include "kit/palette.h"
#include "kit/plaintext.h"
#include "kit/typography.h"

#include <QFocusEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

namespace tsav {

namespace {

using fonts::Weight;

constexpr double kSlideResponse = 0.45, kSlideDamping = 0.78;
constexpr double kSlideSeconds = 1.0;   // the spring has settled by then
constexpr double kBounceSeconds = 0.35; // icon bounce on selection change
constexpr double kBounceScale = 0.22;   // the icon's growth at the top of the bounce

// A row's icon box, and what the icon covers at the top of its bounce with a pixel of
// antialiasing around it.
QRectF iconBox(qreal rowHeight) { return QRectF(12, rowHeight / 2.0 - 11, 22, 22); }
QRect bounceBounds(qreal rowHeight)
{
    const qreal grow = 11 * kBounceScale + 2;
    return iconBox(rowHeight).adjusted(-grow, -grow, grow, grow).toAlignedRect();
}

// The dot of the agent state line.
class StateDot : public QWidget {
public:
    explicit StateDot(QWidget *parent) : QWidget(parent) { setFixedSize(8, 8); }
    void setColor(const QColor &c)
    {
        m_color = c;
        update();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(m_color);
        p.drawEllipse(QRectF(rect()));
    }

private:
    QColor m_color = palette::accentRed;
};

} // namespace

// The rows' column; paints the sliding highlight under the rows.
class SidebarRows : public QWidget {
public:
    explicit SidebarRows(Sidebar *sidebar) : QWidget(sidebar), m_sidebar(sidebar) {}

protected:
    void paintEvent(QPaintEvent *) override
    {
        const QRectF r = m_sidebar->highlightRect(m_sidebar->m_slideAt);
        if (r.isEmpty())
            return;
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QPainterPath shape;
        shape.addRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
        p.fillPath(shape, palette::accentRedSoft);
        p.setPen(QPen(palette::withOpacity(palette::accentRed, 0.4), 1));
        p.drawPath(shape);
    }

private:
    Sidebar *m_sidebar;
};

// --- SidebarRow ---------------------------------------------------------------------

SidebarRow::SidebarRow(Tab tab, QWidget *parent) : QAbstractButton(parent), m_tab(tab)
{
    setText(tabLabel(tab));
    setAccessibleName(tabLabel(tab));
    setFocusPolicy(Qt::TabFocus);
    setCursor(Qt::PointingHandCursor);
    setCheckable(false);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAttribute(Qt::WA_Hover);
}

void SidebarRow::setSelected(bool selected)
{
    if (selected == m_selected)
        return;
    m_selected = selected;
    m_selectedChangedAt = FrameClock::now();
    setAccessibleDescription(selected ? QStringLiteral("selectat") : QString());
    // The text and the dot change once, here; the bounce's frames repaint the icon alone.
    FrameClock::instance().subscribe(this, 60, [this](double t) {
        update(bounceBounds(height()));
        if (t - m_selectedChangedAt > kBounceSeconds)
            FrameClock::instance().unsubscribe(this);
    });
    update();
}

void SidebarRow::focusInEvent(QFocusEvent *e)
{
    m_keyboardFocus = isKeyboardFocusReason(e->reason());
    QAbstractButton::focusInEvent(e);
}

QSize SidebarRow::sizeHint() const
{
    const QFontMetricsF fm(fonts::system(13, Weight::Semibold));
    return QSize(200, int(std::ceil(std::max<qreal>(fm.height(), 17) + 18)));
}

void SidebarRow::paintEvent(QPaintEvent *e)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const QColor fg = m_selected ? palette::textPrimary : palette::textSecondary;

    if (underMouse() && !m_selected) {
        QPainterPath hover;
        hover.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
        p.fillPath(hover, QColor(255, 255, 255, 8));
    }
    if (hasFocus() && m_keyboardFocus) {
        QPainterPath ring;
        ring.addRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 8, 8);
        p.setPen(QPen(palette::accentBlue, 2));
        p.drawPath(ring);
    }

    // Icon in a 22-point box, with a one-shot bounce when the selection changes.
    const qreal cy = height() / 2.0;
    const double dt = FrameClock::now() - m_selectedChangedAt;
    const double bounce = (dt >= 0 && dt < kBounceSeconds)
                              ? 1 + kBounceScale * std::sin(M_PI * dt / kBounceSeconds)
                              : 1.0;
    const QRectF box = iconBox(height());
    p.save();
    p.translate(box.center());
    p.scale(bounce, bounce);
    icons::draw(p, QRectF(-11, -11, 22, 22), tabIcon(m_tab), fg, 14);
    p.restore();

    // The label and the dot lie right of the icon's bounce: a frame of the bounce leaves
    // them as they are.
    const QRect bounds = bounceBounds(height());
    if (!e->region().intersects(QRect(bounds.right() + 1, 0, width() - bounds.right() - 1, height())))
        return;
    const QFont font = fonts::system(13, m_selected ? Weight::Semibold : Weight::Regular);
    p.setFont(font);
    p.setPen(fg);
    const qreal textX = box.right() + 12;
    p.drawText(QRectF(textX, 0, width() - textX - 24, height()), Qt::AlignVCenter | Qt::AlignLeft,
               text());

    if (m_selected) {
        const QRectF dot(width() - 12 - 5, cy - 2.5, 5, 5);
        static const QImage glow = [] {
            QImage src(7, 7, QImage::Format_ARGB32_Premultiplied);
            src.fill(Qt::transparent);
            QPainter gp(&src);
            gp.setRenderHint(QPainter::Antialiasing);
            gp.setPen(Qt::NoPen);
            gp.setBrush(Qt::black);
            gp.drawEllipse(QRectF(1, 1, 5, 5));
            gp.end();
            return glowImage(src, 4, palette::accentRed);
        }();
        drawGlow(p, dot.topLeft() - QPointF(1, 1), glow, 4);
        p.setPen(Qt::NoPen);
        p.setBrush(palette::accentRed);
        p.drawEllipse(dot);
    }
}

// --- Sidebar ------------------------------------------------------------------------

Sidebar::Sidebar(const ScreenContext &ctx, QWidget *parent)
    : QWidget(parent), m_ctx(ctx), m_agent(ctx.agent)
{
    setObjectName(QStringLiteral("Sidebar"));
    setFixedWidth(kWidth);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    // Header.
    auto *header = new QHBoxLayout;
    header->setContentsMargins(20, 24, 20, 18);
    header->setSpacing(10);
    header->addWidget(new IconView(QStringLiteral("shield.lefthalf.filled"), palette::accentRed, 22, this),
                      0, Qt::AlignVCenter);
    auto *words = new QVBoxLayout;
    words->setSpacing(1);
    words->addWidget(makeLabel(QStringLiteral("TESSALY"), fonts::tracked(fonts::system(12, Weight::Heavy), 2.0),
                               palette::textPrimary, this));
    words->addWidget(makeLabel(QStringLiteral("ANTIVIRUS"),
                               fonts::tracked(fonts::system(11, Weight::Semibold), 2.4),
                               palette::accentRed, this));
    header->addLayout(words);
    header->addStretch(1);
    column->addLayout(header);

    // Rows.
    m_rowsBox = new SidebarRows(this);
    auto *rows = new QVBoxLayout(m_rowsBox);
    rows->setContentsMargins(10, 0, 10, 0);
    rows->setSpacing(4);
    for (Tab t : allTabs) {
        auto *row = new SidebarRow(t, m_rowsBox);
        connect(row, &QAbstractButton::clicked, this, [this, t] { choose(t); });
        rows->addWidget(row);
        m_rows.append(row);
    }
    m_rows.first()->setSelected(true);
    column->addWidget(m_rowsBox);
    column->addStretch(1);

    // Footer.
    m_footer = new QVBoxLayout;
    m_footer->setContentsMargins(20, 0, 20, 20);
    m_footer->setSpacing(6);
    auto *state = new QHBoxLayout;
    state->setSpacing(8);
    auto *dot = new StateDot(this);
    m_stateDot = dot;
    m_stateText = makeLabel(QString(), fonts::system(11, Weight::Medium), palette::textSecondary, this);
    m_stateText->setObjectName(QStringLiteral("agentState"));
    state->addWidget(dot, 0, Qt::AlignVCenter);
    state->addWidget(m_stateText, 1);
    m_footer->addLayout(state);
    m_errorText = makeLabel(QString(), fonts::system(9), palette::textTertiary, this);
    m_errorText->setObjectName(QStringLiteral("agentError"));
    m_footer->addWidget(m_errorText);
    m_restartNote = makeLabel(QStringLiteral("Agent repornit"), fonts::system(10, Weight::Medium),
                              palette::accentGreen, this);
    m_restartNote->setObjectName(QStringLiteral("agentRestarted"));
    m_restartNote->hide();
    m_footer->addWidget(m_restartNote);
    column->addLayout(m_footer);

    if (m_agent) {
        connect(m_agent, &AgentClient::connectedChanged, this, &Sidebar::refreshFooter);
        connect(m_agent, &AgentClient::lastErrorChanged, this, &Sidebar::refreshFooter);
    }
    if (AgentSupervisor *supervisor = m_ctx.supervisor) {
        auto *hide = new QTimer(this);
        hide->setSingleShot(true);
        connect(hide, &QTimer::timeout, m_restartNote, &QWidget::hide);
        connect(supervisor, &AgentSupervisor::relaunched, this, [this, hide] {
            m_restartNote->show();
            hide->start(restartNoteMs);
        });
    }
    refreshFooter();
}

SidebarRow *Sidebar::row(Tab tab) const { return m_rows.value(tabIndex(tab)); }

void Sidebar::addFooterWidget(QWidget *w) { m_footer->insertWidget(0, w); }

void Sidebar::choose(Tab tab)
{
    if (tab == m_current)
        return;
    feedback::give(feedback::Trigger::sidebarTabChange,
                   m_ctx.sound ? *m_ctx.sound : SoundPlayer::shared());
    setCurrentTab(tab, true);
    emit tabChosen(tab);
}

void Sidebar::setCurrentTab(Tab tab, bool animated)
{
    if (tab == m_current)
        return;
    m_previous = animated ? m_current : tab;
    m_current = tab;
    m_changedAt = FrameClock::now();
    m_slideAt = m_changedAt;
    for (SidebarRow *r : m_rows)
        r->setSelected(r->tab() == tab);
    if (animated) {
        // Each frame repaints the rows the highlight crossed since the last one (whole
        // rows: at a fractional scale, a picture cut by a clip may land a step away from
        // the whole one), and the highlight is painted where this frame puts it, whenever
        // the paint comes.
        FrameClock::instance().subscribe(m_rowsBox, 60, [this](double t) {
            QRect band = highlightRect(m_slideAt).united(highlightRect(t)).adjusted(-2, -2, 2, 2).toAlignedRect();
            m_slideAt = t;
            for (const SidebarRow *r : std::as_const(m_rows))
                if (r->geometry().intersects(band))
                    band |= r->geometry();
            m_rowsBox->update(band);
            if (t - m_changedAt > kSlideSeconds)
                FrameClock::instance().unsubscribe(m_rowsBox);
        });
    }
    m_rowsBox->update();
}

QRectF Sidebar::highlightRect(double t) const
{
    const SidebarRow *to = row(m_current);
    const SidebarRow *from = row(m_previous);
    if (!to)
        return {};
    const QRectF b = QRectF(to->geometry());
    if (!from || from == to)
        return b;
    const QRectF a = QRectF(from->geometry());
    const double p = motion::spring(t - m_changedAt, kSlideResponse, kSlideDamping);
    if (t - m_changedAt >= kSlideSeconds)
        return b;
    auto lerp = [p](qreal x, qreal y) { return x + (y - x) * p; };
    return QRectF(lerp(a.x(), b.x()), lerp(a.y(), b.y()), lerp(a.width(), b.width()),
                  lerp(a.height(), b.height()));
}

QString Sidebar::agentStateText() const { return m_stateText->text(); }
bool Sidebar::errorLineVisible() const { return !m_errorText->isHidden(); }
QString Sidebar::errorLineText() const { return m_errorText->text(); }
bool Sidebar::restartNoteVisible() const { return !m_restartNote->isHidden(); }

void Sidebar::refreshFooter()
{
    const bool connected = m_agent && m_agent->connected();
    // An agent that refuses "summary" still runs: it says what is wrong (below).
    const bool refused = !connected && m_agent && m_agent->agentRefused();
    static_cast<StateDot *>(m_stateDot)->setColor(connected ? palette::accentGreen
                                                  : refused ? palette::accentAmber
                                                            : palette::accentRed);
    m_stateText->setText(connected ? QStringLiteral("Agent activ")
                         : refused ? QStringLiteral("Agentul semnalează o eroare")
                                   : QStringLiteral("Agent inactiv"));
    const bool showError = m_agent && !connected && m_agent->lastError().has_value();
    m_errorText->setText(showError ? elideLines(plainText(*m_agent->lastError()), m_errorText->font(),
                                                kWidth - 40, 2)
                                   : QString());
    m_errorText->setVisible(showError);
}

} // namespace tsav
