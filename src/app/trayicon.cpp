#include "app/trayicon.h"

#include "agentlink/agentclient.h"
#include "app/menubarstatusview.h"
#include "kit/icons.h"
#include "kit/palette.h"
#include "kit/typography.h"

#include <QCursor>
#include <QMenu>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QSystemTrayIcon>

namespace tsav {

QImage trayIconImage(const TrayLabel &label, int size)
{
    QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const bool alarm = label.icon != QLatin1String("shield.lefthalf.filled");
    const QColor shield = alarm ? palette::accentRed : QColor(235, 238, 245);
    icons::draw(p, QRectF(0, 0, size, size), label.icon, shield, size * 0.92);
    if (!label.count.isEmpty()) {
        // The count in a badge at the bottom right, wide enough for its digits.
        QFont f = fonts::system(size * 0.40, fonts::Weight::Bold);
        f.setPixelSize(std::max(6, int(size * 0.42)));
        const QFontMetricsF fm(f);
        const QString text = label.count.size() > 3 ? QStringLiteral("999+") : label.count;
        const qreal h = size * 0.52;
        const qreal w = std::min<qreal>(size, std::max(h, fm.horizontalAdvance(text) + size * 0.16));
        const QRectF badge(size - w, size - h, w, h);
        p.setPen(QPen(QColor(4, 6, 14), std::max(1.0, size / 32.0)));
        p.setBrush(palette::accentRed);
        p.drawRoundedRect(badge, h / 2, h / 2);
        p.setFont(f);
        p.setPen(Qt::white);
        p.drawText(badge, Qt::AlignCenter, text);
    }
    return img;
}

TrayIcon::TrayIcon(const ScreenContext &ctx, std::function<void()> openMainWindow, std::function<void()> quit,
                   QObject *parent)
    : QObject(parent), m_ctx(ctx), m_openMainWindow(std::move(openMainWindow)), m_quit(std::move(quit))
{
    m_menu = new QMenu;
    m_menu->addAction(QStringLiteral("Deschide"), this, [this] {
        if (m_openMainWindow)
            m_openMainWindow();
    });
    QPointer<AgentClient> agent = m_ctx.agent;
    m_menu->addAction(QStringLiteral("Scan rapid"), this, [agent] {
        if (agent)
            agent->startScan(QStringLiteral("quick")); // runs on; the next poll shows it
    });
    m_menu->addSeparator();
    QAction *exit = m_menu->addAction(QStringLiteral("Ieșire"), this, [this] {
        if (m_quit)
            m_quit();
    });
    exit->setToolTip(QStringLiteral("Închide consola; agentul rămâne pornit"));
    exit->setStatusTip(exit->toolTip());

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        m_tray = new QSystemTrayIcon(this);
        m_tray->setContextMenu(m_menu);
        connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
            if (r == QSystemTrayIcon::Trigger || r == QSystemTrayIcon::DoubleClick) {
                const QRect g = m_tray->geometry();
                togglePanel(g.isValid() && !g.isEmpty() ? std::optional<QPoint>(g.center())
                                                        : std::optional<QPoint>(QCursor::pos()));
            }
        });
    }
    if (AgentClient *agent = m_ctx.agent) {
        for (auto signal : {&AgentClient::connectedChanged, &AgentClient::summaryChanged,
                            &AgentClient::settingsChanged, &AgentClient::metricsChanged})
            connect(agent, signal, this, &TrayIcon::refresh);
    }
    refresh();
    if (m_tray)
        m_tray->show();
}

TrayIcon::~TrayIcon()
{
    delete m_panel.data();
    delete m_tray; // before its menu
    m_tray = nullptr;
    delete m_menu;
}

bool TrayIcon::available() const { return m_tray != nullptr; }

QString TrayIcon::toolTip() const
{
    const AgentClient *a = m_ctx.agent;
    static const QHash<QString, bool> none;
    return trayToolTip(a && a->connected(), a ? a->summary() : std::nullopt, a ? a->settings() : none,
                       a ? currentEngineProblems(*a) : QList<EngineProblem>{});
}

void TrayIcon::refresh()
{
    const AgentClient *a = m_ctx.agent;
    const TrayLabel next = trayLabel(a && a->connected(), a ? a->summary() : std::nullopt,
                                     a && !currentEngineProblems(*a).isEmpty());
    const bool iconChanged = next.icon != m_label.icon || next.count != m_label.count;
    m_label = next;
    if (!m_tray)
        return;
    if (iconChanged || m_tray->icon().isNull()) {
        QIcon icon;
        for (int s : {16, 22, 24, 32, 48, 64})
            icon.addPixmap(QPixmap::fromImage(trayIconImage(m_label, s)));
        m_tray->setIcon(icon);
    }
    m_tray->setToolTip(toolTip());
}

void TrayIcon::showPanel(std::optional<QPoint> anchor)
{
    if (!m_panel) {
        auto open = [this] {
            if (m_panel && m_tray)
                m_panel->hide();
            if (m_openMainWindow)
                m_openMainWindow();
        };
        m_panel = new MenuBarStatusView(m_ctx, open, m_quit);
        m_panel->setWindowTitle(QStringLiteral("Tessaly Antivirus"));
        // With a tray it is a panel that closes when focus goes elsewhere; without one,
        // a small tool window of its own.
        m_panel->setWindowFlags(m_tray ? (Qt::Popup | Qt::FramelessWindowHint)
                                       : (Qt::Tool | Qt::WindowStaysOnTopHint));
        m_panel->setAttribute(Qt::WA_DeleteOnClose, false);
    }
    m_panel->adjustSize();
    if (anchor) {
        // Next to the tray: below or above the anchor, kept inside the screen.
        const QScreen *screen = QGuiApplication::screenAt(*anchor);
        if (!screen)
            screen = QGuiApplication::primaryScreen();
        const QRect avail = screen ? screen->availableGeometry() : QRect(0, 0, 1920, 1080);
        const QSize s = m_panel->size();
        int x = anchor->x() - s.width() / 2;
        int y = anchor->y() < avail.center().y() ? anchor->y() + 12 : anchor->y() - 12 - s.height();
        x = std::clamp(x, avail.left() + 4, std::max(avail.left() + 4, avail.right() - s.width() - 4));
        y = std::clamp(y, avail.top() + 4, std::max(avail.top() + 4, avail.bottom() - s.height() - 4));
        m_panel->move(x, y);
    }
    m_panel->show();
    m_panel->raise();
    m_panel->activateWindow();
}

void TrayIcon::togglePanel(std::optional<QPoint> anchor)
{
    if (m_panel && m_panel->isVisible())
        m_panel->hide();
    else
        showPanel(anchor);
}

} // namespace tsav
