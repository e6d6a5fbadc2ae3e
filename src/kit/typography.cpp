#include "kit/typography.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QPainter>
#include <QScreen>

namespace tsav::fonts {

namespace {

struct Families {
    QString system, rounded, mono;
    qreal pointScale = 0.75; // font points per device-independent pixel (72 / 96)
};

QString firstAvailable(const QStringList &candidates, const QString &fallback)
{
    const QStringList families = QFontDatabase::families();
    for (const QString &c : candidates)
        if (families.contains(c, Qt::CaseInsensitive))
            return c;
    return fallback;
}

const Families &families()
{
    static const Families f = [] {
        Families out;
        const QString generic = QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
        out.system = firstAvailable({QStringLiteral("Inter")}, generic);
        out.rounded = firstAvailable({QStringLiteral("Quicksand")}, out.system);
        out.mono = firstAvailable({QStringLiteral("JetBrains Mono")},
                                  QFontDatabase::systemFont(QFontDatabase::FixedFont).family());
        if (const QScreen *s = QGuiApplication::primaryScreen(); s && s->logicalDotsPerInch() > 0)
            out.pointScale = 72.0 / s->logicalDotsPerInch();
        return out;
    }();
    return f;
}

QFont::Weight qtWeight(Weight w)
{
    switch (w) {
    case Weight::Regular: return QFont::Normal;
    case Weight::Medium: return QFont::Medium;
    case Weight::Semibold: return QFont::DemiBold;
    case Weight::Bold: return QFont::Bold;
    case Weight::Heavy: return QFont::Black;
    }
    return QFont::Normal;
}

QFont make(const QString &family, qreal size, Weight weight)
{
    QFont f(family);
    f.setPointSizeF(size * families().pointScale);
    f.setWeight(qtWeight(weight));
    f.setStyleStrategy(QFont::PreferAntialias);
    f.setHintingPreference(QFont::PreferNoHinting);
    return f;
}

} // namespace

void ensureLoaded()
{
    static bool done = false;
    if (done || !qApp)
        return;
    done = true;
    // The Debian packages install the fonts system-wide; fontconfig finds them. Nothing
    // to register, but settle the family choice now and make Inter the default.
    QApplication::setFont(make(families().system, 13, Weight::Regular));
}

QFont system(qreal size, Weight weight) { return make(families().system, size, weight); }

QFont rounded(qreal size, Weight weight)
{
    // Quicksand's heaviest cut is Bold.
    return make(families().rounded, size, weight == Weight::Heavy ? Weight::Bold : weight);
}

QFont mono(qreal size, Weight weight) { return make(families().mono, size, weight); }

QFont monoDigits(QFont f) { return f; }

QFont tracked(QFont f, qreal tracking)
{
    f.setLetterSpacing(QFont::AbsoluteSpacing, tracking);
    return f;
}

QString systemFamily() { return families().system; }
QString roundedFamily() { return families().rounded; }
QString monoFamily() { return families().mono; }

namespace {
qreal digitCell(const QFontMetricsF &fm)
{
    qreal w = 0;
    for (char c = '0'; c <= '9'; ++c)
        w = std::max(w, fm.horizontalAdvance(QLatin1Char(c)));
    return w;
}
} // namespace

qreal tabularWidth(const QFont &f, const QString &text)
{
    const QFontMetricsF fm(f);
    const qreal cell = digitCell(fm);
    qreal w = 0;
    QString run;
    for (QChar c : text) {
        if (c.isDigit() && c.unicode() < 128) {
            if (!run.isEmpty()) {
                w += fm.horizontalAdvance(run);
                run.clear();
            }
            w += cell;
        } else {
            run.append(c);
        }
    }
    if (!run.isEmpty())
        w += fm.horizontalAdvance(run);
    return w;
}

qreal drawTabular(QPainter &p, const QPointF &baseline, const QString &text)
{
    const QFontMetricsF fm(p.font());
    const qreal cell = digitCell(fm);
    qreal x = baseline.x();
    QString run;
    auto flush = [&] {
        if (run.isEmpty())
            return;
        p.drawText(QPointF(x, baseline.y()), run);
        x += fm.horizontalAdvance(run);
        run.clear();
    };
    for (QChar c : text) {
        if (c.isDigit() && c.unicode() < 128) {
            flush();
            const qreal w = fm.horizontalAdvance(c);
            p.drawText(QPointF(x + (cell - w) / 2, baseline.y()), QString(c));
            x += cell;
        } else {
            run.append(c);
        }
    }
    flush();
    return x - baseline.x();
}

} // namespace tsav::fonts
