// Entry of the management application: translations, then the main window.
#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "CHVPSController.h"

void hvpsInitResources();

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    hvpsInitResources();
    // The window icon, and the menu entry's name so that desktops group the window under it.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/icons/images/server_hvps.png")));
    QGuiApplication::setDesktopFileName(QStringLiteral("halvora-personal-server"));

    QTranslator appTranslator;
    (void)appTranslator.load(QStringLiteral(":/translations/translations/HalvoraPersonalServer.qm"));
    app.installTranslator(&appTranslator);

    QTranslator qtTranslator;
    const QString qtResource = QStringLiteral(":/translations/translations/qt.qm");
    if (QFile::exists(qtResource)) (void)qtTranslator.load(qtResource);
    app.installTranslator(&qtTranslator);
    // Qt's own texts in the user's language, when the system has them.
    QTranslator qtBaseTranslator;
    if (qtBaseTranslator.load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"),
                              QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        app.installTranslator(&qtBaseTranslator);

    CHVPSController window;
    window.show();
    return app.exec();
}
