// tessaly-antivirus: the desktop console. It takes no options. A second start hands over
// to the console that runs (its window comes forward) and ends with status 0.

#include "app/application.h"
#include "app/darkstyle.h"
#include "app/singleinstance.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    tsav::TessalyAntivirusApp::prepareProcess();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("tessaly-antivirus"));
    QApplication::setApplicationDisplayName(QStringLiteral("Tessaly Antivirus"));
    QApplication::setOrganizationName(QStringLiteral("Tessaly"));
    QGuiApplication::setDesktopFileName(QStringLiteral("tessaly-antivirus"));

    tsav::SingleInstance instance;
    switch (instance.claim()) {
    case tsav::SingleInstance::Role::handedOver:
        return 0;
    case tsav::SingleInstance::Role::unanswered:
        std::fprintf(stderr, "tessaly-antivirus: %s\n", qPrintable(instance.errorString()));
        return 1;
    case tsav::SingleInstance::Role::primary:
        if (!instance.errorString().isEmpty())
            std::fprintf(stderr, "tessaly-antivirus: single instance unavailable: %s\n",
                         qPrintable(instance.errorString()));
        break;
    }

    tsav::applyDarkStyle(app);
    tsav::TessalyAntivirusApp console;
    QObject::connect(&instance, &tsav::SingleInstance::activationRequested, &console,
                     &tsav::TessalyAntivirusApp::openMainWindow);
    QObject::connect(&console, &tsav::TessalyAntivirusApp::finished, &app, &QCoreApplication::quit);
    console.showMainWindow();
    return app.exec();
}
