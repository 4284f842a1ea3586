// hvps-screenshots FOLDER: writes PNG pictures of the main window, the configuration dialog,
// the Spaces panel and the log viewer into FOLDER. Everything they show is made up in a
// temporary home (configuration, repository with sparse files, log), so the pictures are the
// same on every machine; no server runs. Run under a display (make screenshots uses Xvfb).
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <cstdio>

#include "CHVPSConfigDialog.h"
#include "CHVPSController.h"
#include "CHVPSLogViewer.h"
#include "CHVPSMessage.h"
#include "CHVPSPlatformLinux.h"
#include "CHVPSSpacesPanel.h"

namespace {
void write(const QString& path, const QByteArray& content, qint64 size = -1) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) qFatal("cannot write %s", qPrintable(path));
    file.write(content);
    if (size >= 0) file.resize(size);  // sparse: the size shows, the disk stays free
}

bool save(QWidget* widget, const QString& path) {
    QApplication::processEvents();
    const bool ok = widget->grab().save(path, "PNG");
    std::fprintf(stderr, "%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
    return ok;
}
}  // namespace

// A fixed home, so that the paths in the pictures are the same in every run.
struct Home {
    Home() { QDir(path).removeRecursively(); }
    ~Home() { QDir(path).removeRecursively(); }
    const QString path = QDir::tempPath() + QStringLiteral("/hvps-screenshots/home/alex");
};

int main(int argc, char** argv) {
    const Home home;
    qputenv("HOME", home.path.toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (home.path + "/.config").toLocal8Bit());
    qputenv("XDG_DATA_HOME", (home.path + "/.local/share").toLocal8Bit());
    const QString runtime = home.path + "/.runtime";
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "Usage: hvps-screenshots FOLDER\n");
        return 2;
    }
    const QString out = QDir(QString::fromLocal8Bit(argv[1])).absolutePath() + "/";
    QDir().mkpath(out);
    hvpsSetMessageHook([](QMessageBox::Icon, const QString& title, const QString& text) {
        std::fprintf(stderr, "message: %s: %s\n", qPrintable(title), qPrintable(text));
        return false;
    });

    const QString folder = home.path + "/.local/share/HalvoraPersonalServer/";
    const QString data = folder + "data/";
    write(folder + "hvps.config",
          "server-password=5EBE2294ECD0E0F08EAB7690D2A6EE69\nserver-host=localhost\nserver-port=37655\n"
          "repository-name=repo1\nrepository-data=" +
              data.toUtf8() +
              "\nrepository-size=10GB\nstore-space-titles=yes\nmaximum-connections=10\npoll-interval=60\n"
              "connection-timeout=12000\n");
    const QByteArray key(60, 'A');
    write(data + "space-db",
          "1\tFamily Photos\t" + key + "\n2\tDocuments\t" + key + "\n4\tMusic\t" + key + "\n4\t\t\n");
    write(data + "disk-usage", "0");
    write(data + "1/Holiday/2025.jpg", "", 2684354560LL);
    write(data + "2/taxes.pdf", "", 734003200LL);
    write(data + "4/album.flac", "", 41943040LL);
    write(folder + "hvpsd.log",
          "261207 08:00:01 [Note] Halvora Personal Server 1.0.044 starting\n"
          "261207 08:00:01 [Note] Command line: hvpsd --config-file=~/hvps.config\n"
          "261207 08:00:01 [Note] Disk usage: 3460300800 bytes\n"
          "261207 08:00:01 [Note] Listening on port 37655\n"
          "261207 09:12:44 [Warning] NetworkHandler2: connection timed out after 120000 ms\n"
          "261207 10:03:10 [Note] NetworkHandler1: space 4 created\n"
          "261207 11:30:02 [Error] NetworkHandler3: Login failed: bad key code for space 2 (-25011)\n"
          "261207 11:30:05 [Note] NetworkHandler3: login to space 2\n"
          "261207 18:00:00 [Note] Shutting down\n");

    CHVPSController window(std::make_unique<CHVPSPlatformLinux>(home.path + "/no/hvpsd", folder));
    window.show();
    window.refreshStatus();
    for (QDeadlineTimer deadline(10000); window.spacesPanel()->busy() && !deadline.hasExpired();)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);

    bool ok = save(&window, out + "main-window.png");
    ok = save(window.spacesPanel(), out + "spaces-panel.png") && ok;

    CHVPSConfigDialog* dialog = window.configDialog();
    dialog->prepareDialog();
    dialog->show();
    ok = save(dialog, out + "configuration-dialog.png") && ok;
    dialog->hide();

    window.showLogViewer();
    ok = save(window.logViewer(), out + "log-viewer.png") && ok;
    return ok ? 0 : 1;
}
