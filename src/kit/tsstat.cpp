#include "kit/tsstat.h"

#include "kit/frameclock.h"
#include "kit/glow.h"
#include "kit/motion.h"
#include "kit/palette.h"
#include "kit/typography.h"

#include <QFontMetricsF>
#include <QPainter>

#include <cmath>

namespace tsav {

namespace {

constexpr qreal kTitleSize = 10, kValueSize = 30;
constexpr qreal kSpacing = 6, kDotGap = 4, kDot = 6;
constexpr int kValueGlow = 8, kDotGlow = 4;
constexpr double kRollSeconds = 0.9; // the spring has settled well before this

QFont titleFont() { return fonts::tracked(fonts::system(kTitleSize, fonts::Weight::Semibold), 1.2); }
QFont valueFont() { return fonts::monoDigits(fonts::rounded(kValueSize, fonts::Weight::Bold)); }

} // namespace

double TSStat::springProgress(double elapsed) { return motion::spring(elapsed, 0.4, 0.78); }

TSStat::TSStat(QString title, QWidget *parent) : QWidget(parent), m_title(std::move(title))
{
    m_accent = palette::textPrimary;
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAccessibleName(m_title);
}

void TSStat::setValue(const QString &value, const QColor &accent, std::optional<double> numericValue)
{
    // Each reply of a poll sets every stat again, mostly to what it shows: nothing to
    // repaint then (a stat is transparent, so its repaint is its panel's and the window's
    // pixels beneath it too).
    if (value == m_value && accent == m_accent && numericValue == m_numeric)
        return;
    const bool changed = value != m_value;
    if (changed && !m_value.isEmpty() && numericValue) {
        m_previousValue = m_value;
        m_rollUp = !m_numeric || *numericValue >= *m_numeric;
        m_changedAt = FrameClock::now();
        const double linePx = QFontMetricsF(valueFont()).height() * devicePixelRatioF();
        FrameClock::instance().subscribe(this, 60, [this, linePx](double t) {
            update();
            const double elapsed = t - m_changedAt;
            if (elapsed > kRollSeconds) {
                FrameClock::instance().unsubscribe(this);
                return;
            }
            // After its first quarter second the roll moves the digits by less than a
            // pixel per 30th of a second: the frames that views at rest share show it.
            const double ahead = springProgress(elapsed + 1.0 / 30) - springProgress(elapsed);
            FrameClock::instance().setMaxFps(this, std::abs(ahead) * linePx >= 1 ? 60 : 30);
        });
    }
    if (changed || accent != m_accent)
        m_glow = QImage();
    m_value = value;
    m_accent = accent;
    m_numeric = numericValue;
    setAccessibleDescription(value);
    if (changed)
        updateGeometry();
    update();
}

bool TSStat::showsLiveDot() const { return m_numeric && *m_numeric > 0; }

QSize TSStat::sizeHint() const
{
    const QFontMetricsF tf(titleFont()), vf(valueFont());
    const qreal valueW = fonts::tabularWidth(valueFont(), m_value) + kDotGap + kDot;
    const qreal w = std::max(tf.horizontalAdvance(m_title), valueW);
    const qreal h = tf.height() + kSpacing + vf.height();
    return QSize(int(std::ceil(w)), int(std::ceil(h)));
}

QSize TSStat::minimumSizeHint() const { return sizeHint(); }

void TSStat::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    const QFont tfont = titleFont(), vfont = valueFont();
    const QFontMetricsF tf(tfont), vf(vfont);
    p.setFont(tfont);
    p.setPen(palette::textTertiary);
    p.drawText(QPointF(0, tf.ascent()), tf.elidedText(m_title, Qt::ElideRight, width()));

    const qreal top = tf.height() + kSpacing;
    const qreal baseline = top + vf.ascent();
    const qreal valueW = fonts::tabularWidth(vfont, m_value);

    // Glow: the value's text blurred, cached until the value or accent changes.
    if (m_glow.isNull() && !m_value.isEmpty()) {
        QImage src(QSize(int(std::ceil(valueW)) + 2, int(std::ceil(vf.height())) + 2),
                   QImage::Format_ARGB32_Premultiplied);
        src.fill(Qt::transparent);
        QPainter gp(&src);
        gp.setRenderHint(QPainter::TextAntialiasing);
        gp.setFont(vfont);
        gp.setPen(Qt::black);
        fonts::drawTabular(gp, QPointF(1, 1 + vf.ascent()), m_value);
        gp.end();
        m_glow = glowImage(src, kValueGlow, palette::withOpacity(m_accent, 0.45));
    }
    drawGlow(p, QPointF(-1, top - 1), m_glow, kValueGlow);

    p.setFont(vfont);
    p.setPen(m_accent);
    const double elapsed = FrameClock::now() - m_changedAt;
    if (elapsed >= 0 && elapsed < kRollSeconds && !m_previousValue.isEmpty())
        paintRolling(p, baseline, springProgress(elapsed));
    else
        fonts::drawTabular(p, QPointF(0, baseline), m_value);

    if (showsLiveDot()) {
        const QRectF dot(valueW + kDotGap, baseline - vf.ascent() / 2 - kDot / 2, kDot, kDot);
        QImage src(QSize(int(kDot) + 2, int(kDot) + 2), QImage::Format_ARGB32_Premultiplied);
        src.fill(Qt::transparent);
        {
            QPainter dp(&src);
            dp.setRenderHint(QPainter::Antialiasing);
            dp.setPen(Qt::NoPen);
            dp.setBrush(Qt::black);
            dp.drawEllipse(QRectF(1, 1, kDot, kDot));
        }
        p.setOpacity(0.8);
        drawGlow(p, dot.topLeft() - QPointF(1, 1), glowImage(src, kDotGlow, m_accent), kDotGlow);
        p.setPen(Qt::NoPen);
        p.setBrush(m_accent);
        p.drawEllipse(dot);
        p.setOpacity(1);
    }
}

// Characters that differ between the old and the new value roll vertically: the old one
// leaves and the new one enters, up for a growing number and down for a shrinking one.
// Right-aligned comparison, so units and the last digits line up.
void TSStat::paintRolling(QPainter &p, qreal baseline, double progress)
{
    const QFontMetricsF vf(p.font());
    const qreal lineH = vf.height();
    const QString &now = m_value;
    QString before = m_previousValue;
    if (before.size() < now.size())
        before = QString(now.size() - before.size(), QLatin1Char(' ')) + before;
    else if (before.size() > now.size())
        before = before.right(now.size());
    const qreal dir = m_rollUp ? -1 : 1;
    qreal x = 0;
    p.save();
    p.setClipRect(QRectF(0, baseline - vf.ascent() - 2, width(), lineH + 4));
    for (qsizetype i = 0; i < now.size(); ++i) {
        const QString n(now.at(i)), o(before.at(i));
        const qreal adv = fonts::tabularWidth(p.font(), n);
        if (n == o) {
            fonts::drawTabular(p, QPointF(x, baseline), n);
        } else {
            fonts::drawTabular(p, QPointF(x, baseline + dir * lineH * progress), o);
            fonts::drawTabular(p, QPointF(x, baseline - dir * lineH * (1 - progress)), n);
        }
        x += adv;
    }
    p.restore();
}

} // namespace tsav
