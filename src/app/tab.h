#pragma once
// The nine screens of the main window, in sidebar order.

#include <QList>
#include <QString>

#include <array>
#include <optional>

namespace tsav {

enum class Tab { dashboard, scan, threats, quarantine, network, processes, audit, events, settings };

inline constexpr std::array<Tab, 9> allTabs{Tab::dashboard, Tab::scan,      Tab::threats,
                                            Tab::quarantine, Tab::network,  Tab::processes,
                                            Tab::audit,     Tab::events,    Tab::settings};

QString tabRawValue(Tab tab);
// Decoding an unknown raw string yields no tab.
std::optional<Tab> tabFromRawValue(const QString &raw);
// The sidebar label ("Carantină", "Rețea", ...).
QString tabLabel(Tab tab);
// The sidebar icon's symbol name.
QString tabIcon(Tab tab);
// Position in the sidebar, 0..8.
int tabIndex(Tab tab);

} // namespace tsav
