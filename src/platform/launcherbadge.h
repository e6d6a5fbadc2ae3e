#pragma once
// The count shown on the application's launcher icon.

#include <QtGlobal>
#include <optional>

namespace tsav {

class LauncherBadge {
public:
    virtual ~LauncherBadge() = default;
    // Shows `count` on the icon, or hides the badge when there is no count.
    virtual void setCount(std::optional<qint64> count) = 0;
};

} // namespace tsav
