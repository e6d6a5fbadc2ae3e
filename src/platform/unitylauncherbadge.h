#pragma once
// The launcher count through the com.canonical.Unity.LauncherEntry "Update" signal on the
// session bus, which KDE Plasma, Ubuntu Dock, Dash to Dock and Plank show.

#include "platform/launcherbadge.h"

#include <QDBusConnection>
#include <QString>

namespace tsav {

class UnityLauncherBadge final : public LauncherBadge {
public:
    static inline const QString interfaceName = QStringLiteral("com.canonical.Unity.LauncherEntry");
    static inline const QString objectPath = QStringLiteral("/org/tessaly/Antivirus/LauncherEntry");
    static inline const QString appUri = QStringLiteral("application://tessaly-antivirus.desktop");

    explicit UnityLauncherBadge(QDBusConnection bus = QDBusConnection::sessionBus());

    // Emits Update(appUri, {"count": int64, "count-visible": bool}); no bus, no signal.
    void setCount(std::optional<qint64> count) override;

private:
    QDBusConnection m_bus;
};

} // namespace tsav
