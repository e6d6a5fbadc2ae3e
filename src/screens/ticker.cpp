#include "screens/ticker.h"

#include "agentlink/agentclient.h"
#include "kit/frameclock.h"
#include "kit/icons.h"
#include "kit/instruments/glow.h"
#include "kit/label.h"
#include "kit/palette.h"
#include "kit/plaintext.h"
#include "kit/typography.h"

#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace tsav {

namespace pal = palette;

QString sourceIcon(const QString &s)
{
    static const QHash<QString, QString> icons{
        {"file", "doc.fill"},          {"process", "cpu.fill"},
        {"network", "antenna.radiowaves.left.and.right"},
        {"quarantine", "lock.shield.fill"}, {"scan", "magnifyingglass"},
        {"agent", "bolt.fill"},        {"telemetry", "cloud.fill"},
        {"schedule", "clock.fill"},    {"api", "network"},
    };
    return icons.value(s, QStringLiteral("circle.fill"));
}

QColor sourceColor(const QString &s)
{
    if (s == QLatin1String("file") || s == QLatin1String("telemetry"))
        return pal::accentBlue;
    if (s == QLatin1String("process"))
        return pal::accentGreen;
    if (s == QLatin1String("network"))
        return pal::accentRed;
    if (s == QLatin1String("quarantine") || s == QLatin1String("schedule"))
        return pal::accentAmber;
    if (s == QLatin1String("scan"))
        return QColor(168, 85, 247);
    if (s == QLatin1String("agent"))
        return pal::textPrimary;
    return pal::textSecondary;
}

QString eventAge(double ts, double now)
{
    if (!std::isfinite(ts) || !std::isfinite(now))
        return QStringLiteral("0s");
    const double d = now - ts;
    auto whole = [](double x) { return static_cast<long long>(std::clamp(std::trunc(x), -9.0e15, 9.0e15)); };
    if (d < 60)
        return QString::number(whole(d)) + QLatin1Char('s');
    if (d < 3600)
        return QString::number(whole(d / 60)) + QLatin1Char('m');
    return QString::number(whole(d / 3600)) + QLatin1Char('h');
}

QString tickerTarget(const QString &target)
{
    if (target.toUcs4().size() <= 36)
        return target;
    QString t = target;
    while (t.size() > 1 && t.endsWith(QLatin1Char('/')))
        t.chop(1);
    const qsizetype slash = t.lastIndexOf(QLatin1Char('/'));
    if (slash < 0 || t.size() == 1)
        return t;
    return t.mid(slash + 1);
}

double tickerShift(double t, double width)
{
    const double period = std::max(width, 800.0);
    if (!std::isfinite(t))
        return 0;
    const double r = std::fmod(t * 80, period);
    return r < 0 ? r + period : r;
}

QList<EventRow> tickerEvents(const QList<EventRow> &events)
{
    return events.mid(0, tickerMaxEvents);
}

namespace {
constexpr double itemGap = 28;
constexpr double innerGap = 5;

QFont tagFont() { return fonts::system(10, fonts::Weight::Heavy); }
QFont actionFont() { return fonts::system(10, fonts::Weight::Semibold); }
QFont plainFont() { return fonts::system(10); }
QFont targetFont() { return fonts::mono(10); }
QFont ageFont() { return fonts::mono(9); }

// The parts of one item, left to right: (text or icon, font, colour).
struct Part {
    QString text;
    QFont font;
    QColor colour;
    bool icon = false;
};

QList<Part> itemParts(const EventRow &e, double now)
{
    QList<Part> parts;
    const QColor sc = sourceColor(e.source);
    parts.append({sourceIcon(e.source), QFont(), sc, true});
    parts.append({plainText(e.source, 64).toUpper(), tagFont(), sc});
    parts.append({QStringLiteral("·"), plainFont(), pal::textTertiary});
    parts.append({plainText(e.action, 128), actionFont(), pal::textPrimary});
    if (e.target) {
        parts.append({QStringLiteral("→"), plainFont(), pal::textTertiary});
        parts.append({plainText(tickerTarget(*e.target), 160), targetFont(), pal::textSecondary});
    }
    parts.append({eventAge(e.ts, now), ageFont(), pal::textTertiary});
    return parts;
}

double partWidth(const Part &p)
{
    return p.icon ? 9 : QFontMetricsF(p.font).horizontalAdvance(p.text);
}
} // namespace

TickerStrip::TickerStrip(QWidget *parent) : Instrument(maxFps, parent)
{
    setFixedHeight(28);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void TickerStrip::setEvents(const QList<EventRow> &events, double now)
{
    m_events = tickerEvents(events);
    m_ageNow = now;
    inputsChanged();
}

QStringList TickerStrip::itemTexts() const
{
    QStringList out;
    for (const EventRow &e : m_events) {
        QStringList words;
        for (const Part &p : itemParts(e, m_ageNow))
            if (!p.icon)
                words << p.text;
        out << words.join(QLatin1Char(' '));
    }
    return out;
}

double TickerStrip::copyWidth() const
{
    double w = 0;
    for (const EventRow &e : m_events) {
        const QList<Part> parts = itemParts(e, m_ageNow);
        for (const Part &p : parts)
            w += partWidth(p);
        w += innerGap * (parts.size() - 1) + itemGap;
    }
    return w;
}

void TickerStrip::buildRow()
{
    const qreal dpr = devicePixelRatioF();
    const double w = std::max(1.0, std::ceil(copyWidth()));
    m_row = QImage((QSizeF(w, 28) * dpr).toSize(), QImage::Format_ARGB32_Premultiplied);
    m_row.setDevicePixelRatio(dpr);
    m_row.fill(Qt::transparent);
    QPainter p(&m_row);
    p.setRenderHint(QPainter::Antialiasing);
    double x = 0;
    for (const EventRow &e : m_events) {
        const QList<Part> parts = itemParts(e, m_ageNow);
        for (const Part &part : parts) {
            const double pw = partWidth(part);
            if (part.icon) {
                icons::draw(p, QRectF(x, 9.5, 9, 9), part.text, part.colour, 9);
            } else {
                const QFontMetricsF fm(part.font);
                p.setFont(part.font);
                p.setPen(part.colour);
                p.drawText(QPointF(x, 14 + (fm.ascent() - fm.descent()) / 2), part.text);
            }
            x += pw + innerGap;
        }
        x += itemGap - innerGap;
    }
}

FrameKey TickerStrip::frameKey(double t) const
{
    if (m_events.isEmpty())
        return FrameKey();
    return FrameKey().add(tickerShift(t, width()), 1.0);
}

void TickerStrip::paintEvent(QPaintEvent *)
{
    const double t = FrameClock::now();
    beginFrame(t);
    QPainter p(this);
    paintBackdrop(p);
    if (m_events.isEmpty())
        return;
    if (m_row.isNull())
        buildRow();
    const double shift = std::floor(tickerShift(t, width()));
    const double copy = m_row.width() / m_row.devicePixelRatio() + itemGap;
    // Two copies one after the other, then shifted left; only what the strip shows is drawn.
    for (int k = 0; k < 2; ++k) {
        const double x = -shift + k * copy;
        if (x + copy < 0 || x > width())
            continue;
        p.drawImage(QPointF(x, 0), m_row);
    }
}

EventTickerView::EventTickerView(AgentClient *agent, QWidget *parent) : TSPanel(parent), m_agent(agent)
{
    auto *col = contentLayout();
    col->setSpacing(6);
    auto *header = new QHBoxLayout;
    header->setSpacing(8);
    // The red dot with its glow, painted once into a label's pixmap.
    {
        QImage img(QSize(14, 14) * devicePixelRatioF(), QImage::Format_ARGB32_Premultiplied);
        img.setDevicePixelRatio(devicePixelRatioF());
        img.fill(Qt::transparent);
        QImage core(QSize(6, 6) * devicePixelRatioF(), QImage::Format_ARGB32_Premultiplied);
        core.setDevicePixelRatio(devicePixelRatioF());
        core.fill(Qt::transparent);
        {
            QPainter cp(&core);
            cp.setRenderHint(QPainter::Antialiasing);
            cp.setPen(Qt::NoPen);
            cp.setBrush(pal::accentRed);
            cp.drawEllipse(QRectF(0, 0, 6, 6));
        }
        const QImage glow = glowOf(core, pal::accentRed, 4);
        QPainter p(&img);
        const double gp = glowPadding(4, devicePixelRatioF()) / devicePixelRatioF();
        p.drawImage(QPointF(4 - gp, 4 - gp), glow);
        p.drawImage(QPointF(4, 4), core);
        auto *dl = new QLabel(this);
        dl->setPixmap(QPixmap::fromImage(img));
        dl->setFixedSize(14, 14);
        header->addWidget(dl);
    }
    header->addWidget(makeLabel(QStringLiteral("LIVE EVENT FEED"),
                                fonts::tracked(fonts::system(10, fonts::Weight::Heavy), 2), pal::textPrimary));
    header->addStretch(1);
    m_total = makeLabel(QString(), fonts::system(10), pal::textTertiary);
    header->addWidget(m_total);
    col->addLayout(header);
    m_strip = new TickerStrip(this);
    col->addWidget(m_strip);
    if (m_agent)
        connect(m_agent, &AgentClient::eventsChanged, this, &EventTickerView::refresh);
    refresh();
}

QString EventTickerView::totalText() const { return m_total->text(); }

void EventTickerView::refresh()
{
    const QList<EventRow> events = m_agent ? m_agent->events() : QList<EventRow>{};
    m_total->setText(QString::asprintf("%lld", static_cast<long long>(events.size())) + QStringLiteral(" total"));
    m_strip->setEvents(events, FrameClock::now());
}

} // namespace tsav
