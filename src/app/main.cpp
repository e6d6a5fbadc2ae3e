// tessaly-antivirus: the desktop console. It takes no options.

#include "app/application.h"
#include "app/darkstyle.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tessaly-antivirus"));
    QApplication::setApplicationDisplayName(QStringLiteral("Tessaly Antivirus"));
    QApplication::setOrganizationName(QStringLiteral("Tessaly"));
    QGuiApplication::setDesktopFileName(QStringLiteral("tessaly-antivirus"));
    tsav::applyDarkStyle(app);

    tsav::TessalyAntivirusApp console;
    console.showMainWindow();
    return app.exec();
}
