#pragma once
// The focus ring is drawn only for focus that came from the keyboard, so that a click
// does not leave a ring behind.

#include <Qt>

namespace tsav {

inline bool isKeyboardFocusReason(Qt::FocusReason reason)
{
    return reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
           reason == Qt::ShortcutFocusReason;
}

} // namespace tsav
