#include "app/tab.h"

namespace tsav {

namespace {

struct TabInfo {
    const char *raw;
    const char *label; // UTF-8
    const char *icon;
};

// In Tab order.
constexpr TabInfo kTabs[] = {
    {"dashboard", "Dashboard", "shield.lefthalf.filled"},
    {"scan", "Scan", "magnifyingglass"},
    {"threats", "Threats", "exclamationmark.triangle.fill"},
    {"quarantine", "Carantină", "tray.full.fill"},
    {"network", "Rețea", "network"},
    {"processes", "Procese", "cpu"},
    {"audit", "Audit", "checkmark.shield"},
    {"events", "Activitate", "list.bullet.rectangle"},
    {"settings", "Setări", "gearshape.fill"},
};
static_assert(std::size(kTabs) == allTabs.size());

const TabInfo &info(Tab tab) { return kTabs[tabIndex(tab)]; }

} // namespace

int tabIndex(Tab tab) { return static_cast<int>(tab); }

QString tabRawValue(Tab tab) { return QString::fromLatin1(info(tab).raw); }

std::optional<Tab> tabFromRawValue(const QString &raw)
{
    for (Tab t : allTabs)
        if (raw == QLatin1String(info(t).raw))
            return t;
    return std::nullopt;
}

QString tabLabel(Tab tab) { return QString::fromUtf8(info(tab).label); }
QString tabIcon(Tab tab) { return QString::fromLatin1(info(tab).icon); }

} // namespace tsav
