// Entry of the management application: translations, then the main window.
#include <QApplication>
#include <QFile>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "CHVPSController.h"

void hvpsInitResources();

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    hvpsInitResources();

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
