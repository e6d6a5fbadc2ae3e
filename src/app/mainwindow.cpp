#include "app/mainwindow.h"

#include "app/screenfactory.h"
#include "app/sidebar.h"
#include "kit/frameclock.h"
#include "kit/motion.h"
#include "kit/palette.h"
#include "kit/poolpaint.h"

#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLinearGradient>
#include <QPainter>
#include <QPointer>
#include <QScrollArea>
#include <QApplication>
#include <QShortcut>
#include <QShowEvent>
#include <QTimer>

namespace tsav {

namespace {
constexpr int kInset = 20;
constexpr double kTransitionSeconds = 0.22;
constexpr qreal kRise = 6;
} // namespace

// Holds the current screen; animates the change from one screen to the next. The old
// screen is kept only as a picture while it fades out.
//
// A repaint of the whole screen goes out as a repaint of the whole window. Where frames
// go over the X connection's socket (no shared memory with the server: a remote display,
// or QT_XCB_NO_MITSHM set), a partial repaint is copied into a buffer that grows to the
// largest one ever sent and is never given back (a screen's area is about 2.5 MB); the
// whole window is sent from its picture as it is. The sidebar it adds costs little, and
// only when a screen is shown, moves in its transition, or is laid out anew (its scroll
// area or page resized).
class ContentArea : public QWidget {
public:
    ContentArea(const ScreenContext &ctx, QWidget *parent) : QWidget(parent), m_ctx(ctx)
    {
        setObjectName(QStringLiteral("content"));
    }

    Tab tab() const { return m_tab; }
    QWidget *screen() const { return m_screen; }

    void show(Tab tab, bool animated)
    {
        m_tab = tab;
        m_outgoing = QPixmap();
        if (m_screen) {
            if (animated && m_screen->isVisible())
                m_outgoing = m_screen->grab();
            m_screen->hide();
            m_screen->deleteLater();
        }
        m_screen = createScreen(tab, m_ctx, this);
        m_screen->setObjectName(m_screen->objectName().isEmpty()
                                    ? QStringLiteral("screen.") + tabRawValue(tab)
                                    : m_screen->objectName());
        m_startedAt = animated ? FrameClock::now() : -1e9;
        if (animated) {
            auto *fade = new QGraphicsOpacityEffect(m_screen);
            fade->setOpacity(0);
            m_screen->setGraphicsEffect(fade);
            FrameClock::instance().subscribe(this, 60, [this](double t) { step(t); });
        }
        step(FrameClock::now());
        m_screen->show();
        m_screen->installEventFilter(this);
        auto scrolls = m_screen->findChildren<QAbstractScrollArea *>();
        if (auto *self = qobject_cast<QAbstractScrollArea *>(m_screen.data()))
            scrolls << self;
        for (auto *scroll : std::as_const(scrolls)) {
            scroll->viewport()->installEventFilter(this);
            if (auto *area = qobject_cast<QScrollArea *>(scroll); area && area->widget())
                area->widget()->installEventFilter(this);
        }
        window()->update();
    }

protected:
    void resizeEvent(QResizeEvent *) override { step(FrameClock::now()); }

    bool eventFilter(QObject *watched, QEvent *e) override
    {
        if (e->type() == QEvent::Resize)
            window()->update();
        return QWidget::eventFilter(watched, e);
    }

    void paintEvent(QPaintEvent *) override
    {
        if (m_outgoing.isNull())
            return;
        const double p = motion::easeOutProgress(FrameClock::now() - m_startedAt, kTransitionSeconds);
        QPainter painter(this);
        painter.setOpacity(1 - p);
        painter.drawPixmap(QPointF(kInset, kInset), m_outgoing);
    }

private:
    // Places the screen and sets its fade for the time t; ends the transition when done.
    void step(double t)
    {
        if (!m_screen)
            return;
        const double elapsed = t - m_startedAt;
        const double p = motion::easeOutProgress(elapsed, kTransitionSeconds);
        const QRect inner = rect().adjusted(kInset, kInset, -kInset, -kInset);
        m_screen->setGeometry(inner.translated(0, qRound(kRise * (1 - p))));
        if (auto *fade = qobject_cast<QGraphicsOpacityEffect *>(m_screen->graphicsEffect()))
            fade->setOpacity(p);
        if (!m_outgoing.isNull())
            window()->update();
        if (elapsed >= kTransitionSeconds) {
            FrameClock::instance().unsubscribe(this);
            if (qobject_cast<QGraphicsOpacityEffect *>(m_screen->graphicsEffect()))
                m_screen->setGraphicsEffect(nullptr);
            if (!m_outgoing.isNull()) {
                m_outgoing = QPixmap();
                window()->update();
            }
        }
    }

    ScreenContext m_ctx;
    Tab m_tab = Tab::dashboard;
    QPointer<QWidget> m_screen;
    QPixmap m_outgoing;
    double m_startedAt = -1e9;
};

MainWindow::MainWindow(const ScreenContext &ctx, QWidget *parent) : QWidget(parent), m_ctx(ctx)
{
    setObjectName(QStringLiteral("MainWindow"));
    setWindowTitle(QStringLiteral("Tessaly Antivirus"));
    setMinimumSize(minimumWidth, minimumHeight);
    resize(1180, 780);
    setAttribute(Qt::WA_OpaquePaintEvent);

    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    m_sidebar = new Sidebar(ctx, this);
    row->addWidget(m_sidebar);
    auto *divider = new QWidget(this);
    divider->setFixedWidth(1);
    divider->setAutoFillBackground(true);
    QPalette pal = divider->palette();
    pal.setColor(QPalette::Window, palette::hairline);
    divider->setPalette(pal);
    row->addWidget(divider);
    m_content = new ContentArea(ctx, this);
    row->addWidget(m_content, 1);

    connect(m_sidebar, &Sidebar::tabChosen, this, [this](Tab t) { setTab(t, true); });

    // Ctrl+1 ... Ctrl+9 choose the tabs in sidebar order.
    for (Tab t : allTabs) {
        auto *shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key(Qt::Key_1 + tabIndex(t))), this);
        connect(shortcut, &QShortcut::activated, this, [this, t] {
            chooseTab(t);
            // Keyboard focus on a sidebar row follows the tab chosen by shortcut, so the
            // focus ring never marks a row other than the selected one.
            if (qobject_cast<SidebarRow *>(QApplication::focusWidget()))
                m_sidebar->row(t)->setFocus(Qt::ShortcutFocusReason);
        });
    }

    auto *quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
    quit->setContext(Qt::ApplicationShortcut);
    connect(quit, &QShortcut::activated, this, &MainWindow::quitRequested);

    m_content->show(Tab::dashboard, false);
    setTabOrder(m_sidebar->row(Tab::settings), m_content);
}

MainWindow::~MainWindow() = default;

Tab MainWindow::tab() const { return m_content->tab(); }
QWidget *MainWindow::currentScreen() const { return m_content->screen(); }

void MainWindow::setTab(Tab tab, bool animated)
{
    m_sidebar->setCurrentTab(tab, animated);
    if (tab != m_content->tab() || !m_content->screen())
        m_content->show(tab, animated);
}

void MainWindow::chooseTab(Tab tab) { m_sidebar->choose(tab); }

void MainWindow::paintEvent(QPaintEvent *e)
{
    QPainter p(this);
    QLinearGradient g(0, 0, 0, height());
    g.setColorAt(0, palette::backgroundTop);
    g.setColorAt(1, palette::backgroundBottom);
    paintPreferPool(p, [&](QPainter &q) { q.fillRect(rect(), g); });
    if (m_shownPending) {
        m_shownPending = false;
        QTimer::singleShot(0, this, [this] {
            if (m_onShown)
                m_onShown();
        });
    }
}

void MainWindow::showEvent(QShowEvent *e)
{
    QWidget::showEvent(e);
    if (!e->spontaneous())
        m_shownPending = true;
}

} // namespace tsav
