#pragma once
// Builds the screen of a tab. Screens are built afresh each time their tab is shown, so
// their own state (filters, sort choice, results) starts over.

#include "app/tab.h"
#include "screens/screencontext.h"

class QWidget;

namespace tsav {

QWidget *createScreen(Tab tab, const ScreenContext &ctx, QWidget *parent = nullptr);

// A screen not built yet: its name, honestly.
QWidget *createPlaceholderScreen(Tab tab, QWidget *parent = nullptr);

} // namespace tsav
