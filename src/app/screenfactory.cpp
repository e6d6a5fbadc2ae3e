#include "app/screenfactory.h"

#include "kit/label.h"
#include "kit/palette.h"
#include "kit/typography.h"

#include <QVBoxLayout>

// One include per screen.
#include "screens/auditview.h"
#include "screens/dashboard.h"
#include "screens/eventsview.h"
#include "screens/networkview.h"
#include "screens/processesview.h"
#include "screens/quarantineview.h"
#include "screens/scanview.h"
#include "screens/settingsview.h"
#include "screens/threatsview.h"

namespace tsav {

QWidget *createScreen(Tab tab, const ScreenContext &ctx, QWidget *parent)
{
    switch (tab) {
    // One line per screen: case Tab::xxx: return new XxxView(ctx, parent);
    case Tab::dashboard: return new DashboardView(ctx, parent);
    case Tab::scan: return new ScanView(ctx, parent);
    case Tab::threats: return new ThreatsView(ctx, parent);
    case Tab::quarantine: return new QuarantineView(ctx, parent);
    case Tab::network: return new NetworkView(ctx, parent);
    case Tab::processes: return new ProcessesView(ctx, parent);
    case Tab::events: return new EventsView(ctx, parent);
    case Tab::audit: return new AuditView(ctx, parent);
    case Tab::settings: return new SettingsView(ctx, parent);
    default:
        break;
    }
    (void)ctx;
    return createPlaceholderScreen(tab, parent);
}

QWidget *createPlaceholderScreen(Tab tab, QWidget *parent)
{
    auto *w = new QWidget(parent);
    w->setObjectName(QStringLiteral("placeholder.") + tabRawValue(tab));
    w->setAccessibleName(tabLabel(tab));
    auto *layout = new QVBoxLayout(w);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    layout->addStretch();
    auto *title = makeLabel(tabLabel(tab), fonts::rounded(26, fonts::Weight::Bold),
                            palette::textPrimary, w);
    title->setAlignment(Qt::AlignCenter);
    auto *note = makeLabel(QStringLiteral("Ecranul nu este încă disponibil."),
                           fonts::system(12), palette::textSecondary, w);
    note->setAlignment(Qt::AlignCenter);
    layout->addWidget(title);
    layout->addWidget(note);
    layout->addStretch();
    return w;
}

} // namespace tsav
