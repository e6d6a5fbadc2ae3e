#include "app/darkstyle.h"

#include "kit/palette.h"
#include "kit/typography.h"

#include <QApplication>
#include <QPalette>
#include <QStyleFactory>

namespace tsav {

namespace {
// A translucent colour flattened over a background, for roles that must be opaque.
QColor over(const QColor &top, const QColor &base)
{
    const double a = top.alphaF();
    return QColor::fromRgbF(float(top.redF() * a + base.redF() * (1 - a)),
                            float(top.greenF() * a + base.greenF() * (1 - a)),
                            float(top.blueF() * a + base.blueF() * (1 - a)));
}
} // namespace

QPalette darkPalette()
{
    using namespace palette;
    QPalette pal;
    const QColor window = backgroundBottom;
    pal.setColor(QPalette::Window, window);
    pal.setColor(QPalette::WindowText, textPrimary);
    pal.setColor(QPalette::Base, panelBase);
    pal.setColor(QPalette::AlternateBase, over(QColor(255, 255, 255, 8), panelBase));
    pal.setColor(QPalette::ToolTipBase, panelBase);
    pal.setColor(QPalette::ToolTipText, textPrimary);
    pal.setColor(QPalette::PlaceholderText, textTertiary);
    pal.setColor(QPalette::Text, textPrimary);
    pal.setColor(QPalette::Button, over(QColor(255, 255, 255, 10), panelBase));
    pal.setColor(QPalette::ButtonText, textPrimary);
    pal.setColor(QPalette::BrightText, accentRed);
    pal.setColor(QPalette::Light, over(QColor(255, 255, 255, 40), panelBase));
    pal.setColor(QPalette::Midlight, over(QColor(255, 255, 255, 24), panelBase));
    pal.setColor(QPalette::Mid, over(hairline, panelBase));
    pal.setColor(QPalette::Dark, backgroundBottom);
    pal.setColor(QPalette::Shadow, QColor(0, 0, 0));
    pal.setColor(QPalette::Highlight, accentRed);
    pal.setColor(QPalette::HighlightedText, textPrimary);
    pal.setColor(QPalette::Link, accentBlue);
    pal.setColor(QPalette::LinkVisited, accentBlue);
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        pal.setColor(QPalette::Disabled, role, over(textTertiary, window));
    pal.setColor(QPalette::Disabled, QPalette::Highlight, over(accentRedSoft, window));
    return pal;
}

void applyDarkStyle(QApplication &app)
{
    if (QStyle *fusion = QStyleFactory::create(QStringLiteral("Fusion")))
        QApplication::setStyle(fusion);
    QApplication::setPalette(darkPalette());
    fonts::ensureLoaded();
}

} // namespace tsav
