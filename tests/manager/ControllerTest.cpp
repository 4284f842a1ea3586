// The main window's control of the daemon: default files, detection through the pid file,
// start and stop (of the real hvpsd too), the warnings the user sees, and autostart through both
// platform layers (fake launchctl, systemctl, ps and osascript).
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTableWidget>
#include <QTextBlock>
#include <QTimer>

#include "CHVPSConfigDialog.h"
#include "CHVPSController.h"
#include "CHVPSLogViewer.h"
#include "CHVPSPlatformLinux.h"
#include "CHVPSPlatformMac.h"
#include "CHVPSSpacesPanel.h"
#include "HvpsdProcess.h"
#include "ManagerTestSupport.h"
#include "ui_CHVPS.h"
#include "ui_dlgConfig.h"

using namespace hvpstest;

namespace {
// Starts the stand-in daemon when the service manager is told to load (launchctl load, systemctl
// --user enable), and names processes from /proc in place of ps.
const QByteArray kLoadHook =
    "if [ \"$1\" = load ] || [ \"$2\" = enable ]; then \"$FAKE_DAEMON\" \"$FAKE_PIDFILE\" >/dev/null 2>&1 & "
    "fi\n";
const QByteArray kPsHook = "pid=${2#-p }; cat /proc/$pid/comm 2>/dev/null\n";

// The window with scripted file chooser and configuration dialog.
class TestController : public CHVPSController {
public:
    using CHVPSController::CHVPSController;
    QString iNextFile;
    int iDialogRuns = 0;

protected:
    QString selectFilePath(const QString&, const QString&, const QString&, bool) override {
        return iNextFile;
    }
    int execConfigDialog() override {
        ++iDialogRuns;
        return QDialog::Rejected;
    }
};

// Runs the real command-line client against a local server; its standard output.
QByteArray runClient(int port, const QStringList& args) {
    QProcess client;
    client.start(QStringLiteral(HVPS_CLIENT_PATH),
                 QStringList{"-H", "127.0.0.1", "-p", QString::number(port), "-k", kSecretDigest} + args);
    if (!client.waitForFinished(10000) || client.exitCode() != 0)
        qWarning() << "hvps-client" << args << client.readAllStandardError();
    return client.readAllStandardOutput().trimmed();
}

// The rows of the Spaces panel as "id|title|bar text"; and its total line.
QStringList panelRows(CHVPSSpacesPanel* panel) {
    QStringList rows;
    QTableWidget* table = panel->table();
    for (int row = 0; row < table->rowCount(); ++row)
        rows << table->item(row, 0)->text() + "|" + table->item(row, 1)->text() + "|" +
                    qobject_cast<QProgressBar*>(table->cellWidget(row, 3))->text();
    return rows;
}

bool refreshed(TestController& controller) {
    controller.refreshStatus();
    return QTest::qWaitFor([&] { return !controller.spacesPanel()->busy(); }, 15000);
}
}  // namespace

class ControllerTest : public ManagerTestCase {
    Q_OBJECT

    QString iBundle;
    qint64 iRealDaemon = 0;
    QString iOldCurrent;

    std::unique_ptr<TestController> makeController(const QString& daemon = QString()) {
        return std::make_unique<TestController>(
            std::make_unique<CHVPSPlatformLinux>(daemon.isEmpty() ? path("no-daemon") : daemon, iBundle));
    }

    std::unique_ptr<TestController> makeMac() {
        return std::make_unique<TestController>(std::make_unique<CHVPSPlatformMac>());
    }
    // The calls of the service manager, without the process names asked of ps.
    QStringList serviceCalls() const {
        QStringList calls = iTools->calls();
        calls.removeIf([](const QString& call) { return call.startsWith("ps "); });
        return calls;
    }

private slots:
    void init() {
        setUpHome({"xdg-open", "daemon-launch", "launchctl", "systemctl", "ps", "osascript"});
        iBundle = path("share 100%/");
        writeFile(iBundle + "hvps.config", configText(appFolder() + "data/"));
        writeFile(iBundle + "data/space-db", "template space-db");
        writeFile(iBundle + "data/disk-usage", "0");
        iOldCurrent = QDir::currentPath();
        QDir().mkpath(path("cwd"));
        QDir::setCurrent(path("cwd"));
        iTools->setHook("launchctl", kLoadHook);
        iTools->setHook("systemctl", kLoadHook);
        iTools->setHook("ps", kPsHook);
        iTools->setHook("osascript", "printf '%s' \"$2\" > \"$dir/script.txt\"\n");
        qputenv("FAKE_DAEMON", iFakeDaemon.toLocal8Bit());
        qputenv("FAKE_PIDFILE", (appFolder() + "hvpsd.pid").toLocal8Bit());
    }

    void cleanup() {
        killHard(iRealDaemon);
        QDir::setCurrent(iOldCurrent);
        tearDownHome();
    }

    void defaultFilesAreCopiedOwnerOnlyAndNeverOverwrittenNorMadeInARepositoryElsewhere() {
        auto controller = makeController(iTools->folder() + "/daemon-launch");
        QCOMPARE(controller->configDialog()->iConfigFilePath, appFolder() + "hvps.config");
        QCOMPARE(readFile(appFolder() + "hvps.config"), readFile(iBundle + "hvps.config"));
        QCOMPARE(modeOf(appFolder() + "hvps.config"), mode_t(0600));
        QVERIFY(QFileInfo(appFolder() + "hvpsd.log").isFile());
        QVERIFY(controller->checkDataPath());
        QCOMPARE(modeOf(appFolder() + "data"), mode_t(0700));
        QCOMPARE(modeOf(appFolder() + "data/space-db"), mode_t(0600));
        QCOMPARE(readFile(appFolder() + "data/space-db"), QByteArray("template space-db"));

        // Files that exist are the user's: only a missing one is copied again.
        writeFile(appFolder() + "hvps.config", "server-port=1");
        writeFile(appFolder() + "data/space-db", "live data");
        QFile::remove(appFolder() + "data/disk-usage");
        QVERIFY(controller->checkSettingPaths());
        QVERIFY(controller->checkDataPath());
        QCOMPARE(readFile(appFolder() + "hvps.config"), QByteArray("server-port=1"));
        QCOMPARE(readFile(appFolder() + "data/space-db"), QByteArray("live data"));
        QCOMPARE(readFile(appFolder() + "data/disk-usage"), QByteArray("0"));

        for (const char* name : {"hvps.config", "data/disk-usage"}) {
            QFile::remove(appFolder() + name);
            QFile::remove(iBundle + name);
        }
        QVERIFY(!controller->checkSettingPaths());
        QVERIFY(!controller->checkDataPath());

        // A repository kept elsewhere is the user's: it must hold its space-db, nothing is made there.
        const QString elsewhere = path("elsewhere/");
        QDir().mkpath(elsewhere);
        writeFile(appFolder() + "hvps.config", configText(elsewhere));
        QVERIFY(!controller->startServer(false));
        // (the first: the configuration removed above could not be read)
        QCOMPARE(messageTitles(), (QStringList{"Error", "Database does not exists"}));
        QVERIFY(iTools->calls().isEmpty());
        QCOMPARE(QDir(elsewhere).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
        writeFile(elsewhere + "space-db", "");
        QVERIFY(controller->checkDataPath());
        QVERIFY(!QFileInfo::exists(elsewhere + "disk-usage"));
    }

    void serverDetectionReadsThePidFile_data() {
        QTest::addColumn<QString>("content");  // "%1": the pid of the process named in "process"
        QTest::addColumn<QString>("process");  // none, dead, other (this test) or hvpsd
        QTest::addColumn<bool>("running");
        QTest::addColumn<QString>("pid");  // the pid reported, "%1" as in "content"
        QTest::newRow("no pid file") << QString("<none>") << "none" << false << "-1";
        QTest::newRow("text") << QString("abc") << "none" << false << "0";
        QTest::newRow("negative") << QString("-5") << "none" << false << "-5";
        QTest::newRow("blanks around a number") << QString(" 1234\n") << "none" << false << "1234";
        QTest::newRow("process gone") << QString("%1") << "dead" << false << "%1";
        QTest::newRow("live process that is not hvpsd") << QString("%1") << "other" << false << "%1";
        QTest::newRow("live hvpsd, blanks and line end") << QString("\t%1 \n") << "hvpsd" << true << "%1";
    }

    void serverDetectionReadsThePidFile() {
        QFETCH(QString, content);
        QFETCH(QString, process);
        QFETCH(bool, running);
        QFETCH(QString, pid);
        auto controller = makeController();
        qint64 processPid = QCoreApplication::applicationPid();
        if (process == "dead") {
            QProcess ended;
            ended.start("true");
            QVERIFY(ended.waitForStarted(5000));
            processPid = ended.processId();
            QVERIFY(ended.waitForFinished(5000));
        } else if (process == "hvpsd") {
            processPid = startFakeDaemon(iFakeDaemon, path("fake.pid"));
            QVERIFY(processPid > 0);
        }
        const QString number = QString::number(processPid);
        if (content != "<none>") writeFile(appFolder() + "hvpsd.pid", content.replace("%1", number).toUtf8());

        qint64 found = 42;
        QCOMPARE(controller->isServerRunning(found), running);
        QCOMPARE(found, pid.replace("%1", number).toLongLong());
    }

    void realDaemonStartsStopsAndReportsItsSpaces() {
        const QString real = QStringLiteral(HVPSD_PATH);
        if (!QFileInfo(real).isExecutable()) QSKIP("hvpsd is not built");
        // The daemon refuses root without --allow-root; the wrapper adds it only then and becomes
        // the real hvpsd by exec.
        const QString wrapper = path("installed/hvpsd");
        writeScript(wrapper, "if [ \"$(id -u)\" = 0 ]; then exec \"" + real.toUtf8() +
                                 "\" --allow-root \"$@\"; fi\nexec \"" + real.toUtf8() + "\" \"$@\"\n");
        QFile::copy(QStringLiteral(HVPS_SOURCE_DIR) + "/resources/mime.types", iBundle + "mime.types");
        writeFile(iBundle + "data/space-db", "");
        writeFile(iBundle + "data/disk-usage", "");
        const int port = hvps_test::freeLoopbackPort();
        writeFile(iBundle + "hvps.config", configText(appFolder() + "data/", port, "server.example"));
        QFile::link(QStringLiteral(HVPS_CLIENT_PATH), path("installed/hvps-client"));

        auto controller = makeController(wrapper);
        QCOMPARE(controller->form()->lblRunState->text(), QString("Stopped"));
        controller->onStartStopServer();
        qint64 pid = 0;
        QVERIFY2(controller->isServerRunning(pid), readFile(appFolder() + "hvpsd.log").constData());
        QCOMPARE(controller->form()->pshBntStartStopServer->text(), QString("Stop Server"));
        iRealDaemon = pid;
        QVERIFY(controller->form()->lblRunState->text().startsWith("Running since "));
        QVERIFY(controller->form()->lblRunState->text().endsWith(QString(" on port %1").arg(port)));
        QCOMPARE(controller->form()->lblClientAddress->text(),
                 QString("Clients connect to server.example:%1").arg(port));

        // Two spaces of known sizes.
        const QByteArray first = runClient(port, {"create-space", "Photos"});
        const QByteArray second = runClient(port, {"create-space", "Notes"});
        writeFile(path("upload.bin"), QByteArray(300000, 'x'));
        runClient(port, {"-s", first, "put", "a.bin", path("upload.bin")});
        runClient(port, {"-s", second, "put", "b.bin", path("upload.bin")});
        runClient(port, {"-s", second, "put", "c.bin", path("upload.bin")});
        const QString firstId = QString::fromUtf8(first).section('/', 2, 2).section(':', 0, 0);
        const QString secondId = QString::fromUtf8(second).section('/', 2, 2).section(':', 0, 0);
        QVERIFY(refreshed(*controller));
        CHVPSSpacesPanel* panel = controller->spacesPanel();
        QVERIFY2(panel->report().fromServer, qPrintable(panel->report().error));
        QCOMPARE(panel->report().limitBytes, 10LL << 30);
        QCOMPARE(panel->report().totalBytes, 900000);
        QCOMPARE(panel->report().spaces.value(0).bytes, 300000);
        QCOMPARE(panel->report().spaces.value(1).bytes, 600000);
        const QStringList expectedRows = {firstId + "|Photos|0.0 %", secondId + "|Notes|0.0 %"};
        QCOMPARE(panelRows(panel), expectedRows);

        controller->onStartStopServer();
        QVERIFY(waitForExit(pid, 10000));
        QVERIFY(!QFileInfo::exists(appFolder() + "hvpsd.pid"));
        QCOMPARE(controller->form()->pshBntStartStopServer->text(), QString("Start Server"));
        QCOMPARE(controller->form()->lblRunState->text(), QString("Stopped"));
        QCOMPARE(messageTitles(), QStringList());

        // Stopped: the same figures from the repository folder.
        QVERIFY(refreshed(*controller));
        QVERIFY(!panel->report().fromServer);
        QCOMPARE(panel->report().totalBytes, 900000);
        QCOMPARE(panelRows(panel), expectedRows);
    }

    void failedStartShowsItsErrorAndTheLogViewerFollowsTheLog() {
        const QString failing = path("failing/hvpsd");
        // Logs like the daemon into the file of --log-file, then fails.
        writeScript(failing,
                    "for a; do case $a in --log-file=*) log=${a#--log-file=};; esac; done\n"
                    "echo '261207 01:00:00 [Note] starting' >> \"$log\"\n"
                    "echo '261207 01:00:00 [Error] Port 8 in use' >> \"$log\"\n"
                    "echo '261207 01:00:00 [Error] later' >> \"$log\"\nexit 1\n");
        writeFile(appFolder() + "hvpsd.log", "261206 09:00:00 [Error] an old error\n");
        auto controller = makeController(failing);
        QVERIFY(!controller->startServer(false));
        QCOMPARE(messageTitles(), QStringList{"Start Server failed"});
        QCOMPARE(controller->form()->pshBntStartStopServer->text(), QString("Start Server"));
        QCOMPARE(controller->form()->lblRunState->text(), QString("261207 01:00:00 [Error] Port 8 in use"));

        CHVPSLogViewer* viewer = controller->logViewer();
        QVERIFY(viewer && viewer->isVisible());
        QCOMPARE(viewer->summary()->text(), QString("3 errors, 0 warnings"));
        QFile log(appFolder() + "hvpsd.log");
        QVERIFY(log.open(QIODevice::Append));
        log.write("261207 01:00:01 [Warning] disk almost full\n261207 01:00:02 [Note] a partial");
        log.flush();
        QTRY_COMPARE(viewer->summary()->text(), QString("3 errors, 1 warning"));
        log.write(" line\n");
        log.flush();
        QTRY_COMPARE(viewer->text()->document()->lastBlock().text(),
                     QString("261207 01:00:02 [Note] a partial line"));
        QTextDocument* text = viewer->text()->document();
        const QList<int> kinds = {CHVPSLogViewer::Error, CHVPSLogViewer::Plain,   CHVPSLogViewer::Error,
                                  CHVPSLogViewer::Error, CHVPSLogViewer::Warning, CHVPSLogViewer::Plain};
        QCOMPARE(text->blockCount(), kinds.size());
        for (int i = 0; i < kinds.size(); ++i) QCOMPARE(text->findBlockByNumber(i).userState(), kinds[i]);
        QCOMPARE(iTools->calls(), QStringList());

        messages().clear();
        QVERIFY(!controller->startServer(true));
        QCOMPARE(messageTitles(), QStringList());
    }

    void loopbackHostsAreWarnedAboutInTheWindowAndTheDialog() {
        for (const char* host : {"localhost", "127.0.1.1", "::1"})
            QVERIFY(CHVPSConfigDialog::isLoopbackHost(host));
        for (const char* host : {"server.example", "localhostess"})
            QVERIFY(!CHVPSConfigDialog::isLoopbackHost(host));
        writeFile(appFolder() + "hvps.config", configText(appFolder() + "data/", 37655, "server.example"));
        auto controller = makeController();
        controller->show();
        QCOMPARE(controller->form()->lblClientAddress->text(),
                 QString("Clients connect to server.example:37655"));
        QVERIFY(!controller->form()->frmLocalhostWarning->isVisible());
        writeFile(appFolder() + "hvps.config", configText(appFolder() + "data/", 37655, "localhost"));
        controller->refreshStatus();
        QVERIFY(controller->form()->frmLocalhostWarning->isVisible());
        controller->form()->tlBtnChangeHost->click();
        QCOMPARE(controller->iDialogRuns, 1);

        CHVPSConfigDialog* dialog = controller->configDialog();
        dialog->prepareDialog();
        dialog->show();
        QVERIFY(dialog->form()->frmHostWarning->isVisible());
        dialog->form()->pshBtnUseHostName->click();
        QCOMPARE(dialog->form()->lnEditServerHost->text(), QSysInfo::machineHostName());
        QCOMPARE(dialog->form()->frmHostWarning->isVisible(),
                 CHVPSConfigDialog::isLoopbackHost(QSysInfo::machineHostName()));
        dialog->hide();
    }

    void stoppingADaemonThatIgnoresTermIsReportedAfterTenSeconds() {
        auto controller = makeController();
        const qint64 pid = startFakeDaemon(iFakeDaemon, appFolder() + "hvpsd.pid", true);
        QVERIFY(pid > 0);
        QElapsedTimer timer;
        timer.start();
        int events = 0;  // the window stays alive while the stop is awaited
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&events] { ++events; });
        ticker.start(200);
        QVERIFY(!controller->stopServer(pid, false));
        QVERIFY(timer.elapsed() >= 9000);
        QVERIFY(events >= 10);
        QCOMPARE(messageTitles(), QStringList{"Stop Server failed"});
        QCOMPARE(controller->form()->pshBntStartStopServer->text(), QString("Stop Server"));
        QVERIFY(!controller->stopServer(0, false));
    }

    void choosingTheConfigurationKeepsOnlyItsFolderAndAnInvalidOneOpensTheDialog() {
        auto controller = makeController(iTools->folder() + "/daemon-launch");
        controller->iNextFile.clear();  // cancelled: the current folder is stored again
        controller->onChooseConfig();
        QCOMPARE(controller->settings().value("configPath").toString(), appFolder());
        QCOMPARE(messageTitles(), QStringList());

        writeFile(path("other/my.config"), "server-port=1");
        controller->iNextFile = path("other/my.config");
        controller->onChooseConfig();
        QCOMPARE(controller->settings().value("configPath").toString(), path("other/"));
        QCOMPARE(controller->configDialog()->iConfigFilePath, path("other/hvps.config"));
        // other/hvps.config does not exist: reading it fails and the dialog is offered.
        QCOMPARE(messageTitles(), (QStringList{"Error", "No Valid Configuration"}));
        QCOMPARE(controller->iDialogRuns, 1);

        messages().clear();
        controller->iNextFile = path("missing/hvps.config");
        controller->onChooseConfig();
        QCOMPARE(messageTitles(), QStringList{"Config file not found"});
        QCOMPARE(controller->settings().value("configPath").toString(), path("other/"));

        // Nor does a start run the daemon with a configuration the form would not accept.
        writeFile(path("other/hvps.config"), "server-password=\n");
        controller->onStartStopServer();
        QCOMPARE(messageTitles(), (QStringList{"Config file not found", "No Valid Configuration"}));
        QCOMPARE(controller->iDialogRuns, 2);
        QVERIFY(iTools->calls().isEmpty());
    }

    // Both platforms: the same settings, each escaped its own way in the file, and the calls of the
    // service manager when the box is ticked and unticked.
    void autostartFileAndServiceManagerFollowTheBox_data() {
        QTest::addColumn<bool>("mac");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("command");   // the program and its arguments; %1: the temporary folder
        QTest::addColumn<QStringList>("load");  // the calls of the service manager; %1: the file
        QTest::addColumn<QStringList>("unload");
        const QString bundle =
            "%1/cwd &amp; &lt;more&gt;/HalvoraPersonalServer.app/Contents/HalvoraPersonalServer/";
        QTest::newRow("launchctl")
            << true << QString("home/Library/LaunchAgents/HalvoraPersonalServer.plist")
            << "<string>" + bundle + "</string>\n\t\t<key>ProgramArguments</key>\n\t\t<array>\n" +
                   "\t\t\t<string>" + bundle +
                   "hvpsd</string>\n\t\t\t<string>--launched-as-daemon</string>\n" +
                   "\t\t\t<string>--config-file=%1/conf &amp; &quot;q&quot; $HOME\\/hvps.config</string>\n" +
                   "\t\t\t<string>--log-file=%1/log %2.log</string>\n" +
                   "\t\t\t<string>--pid-file=%1/data/HalvoraPersonalServer/hvpsd.pid</string>\n" +
                   "\t\t\t<string>--mime-types-file=" + bundle +
                   "mime.types</string>\n\t\t</array>\n\t\t<key>RunAtLoad</key>\n\t\t<true/>"
            << QStringList{"launchctl | load | %1"} << QStringList{"launchctl | unload | %1"};
        QTest::newRow("systemctl")
            << false << QString("config/systemd/user/hvpsd.service")
            << QString(
                   "\nWorkingDirectory=%1/share 100%%/\n"
                   "ExecStart=\"%1/my bin/hvpsd\" \"--launched-as-daemon\" "
                   "\"--config-file=%1/conf & \\\"q\\\" $$HOME\\\\/hvps.config\" \"--log-file=%1/log "
                   "%%2.log\" "
                   "\"--pid-file=%1/data/HalvoraPersonalServer/hvpsd.pid\" "
                   "\"--mime-types-file=%1/share 100%%/mime.types\"\n\n[Install]\nWantedBy=default.target\n")
            << QStringList{"systemctl | --user | daemon-reload",
                           "systemctl | --user | enable | --now | hvpsd.service"}
            << QStringList{"systemctl | --user | disable | --now | hvpsd.service",
                           "systemctl | --user | daemon-reload"};
    }

    void autostartFileAndServiceManagerFollowTheBox() {
        QFETCH(bool, mac);
        QFETCH(QString, file);
        QFETCH(QString, command);
        QFETCH(QStringList, load);
        QFETCH(QStringList, unload);
        file = path(file);
        load.replaceInStrings("%1", file);
        unload.replaceInStrings("%1", file);
        QDir().mkpath(path("cwd & <more>"));
        QDir::setCurrent(path("cwd & <more>"));
        setSetting("configPath", path("conf & \"q\" $HOME\\/"));
        setSetting("logFile", path("log %2.log"));
        auto controller = mac ? makeMac() : makeController(path("my bin/hvpsd"));
        QCheckBox* box = controller->form()->chkBoxStartAsDeamon;
        QVERIFY(!box->isChecked());
        QVERIFY(iTools->calls().isEmpty());
        const QString generated = controller->generateAutoStartPListFile();
        QVERIFY2(generated.contains(command.arg(iDir->path())), qPrintable(generated));
        QVERIFY(!controller->checkAutostartPListFile());

        box->click();  // writes the file, creating its folder
        QCOMPARE(readFile(file), generated.toUtf8());
        QVERIFY(controller->checkAutostartPListFile());
        QVERIFY(box->isChecked());
        QCOMPARE(controller->settings().value("runAsDeamon").toBool(), true);
        QCOMPARE(controller->form()->pshBntStartStopServer->text(), QString("Stop Server"));
        QCOMPARE(serviceCalls(), load);
        const qint64 pid = readFile(appFolder() + "hvpsd.pid").trimmed().toLongLong();
        if (mac) QVERIFY(iTools->calls().contains(QString("ps | -o comm= | -p %1 | -c").arg(pid)));

        controller->setSettingsValue("logFile", path("other.log"));
        QVERIFY(!controller->checkAutostartPListFile());
        controller->setSettingsValue("logFile", path("log %2.log"));
        QVERIFY(controller->checkAutostartPListFile());
        QDir::setCurrent(path("cwd"));  // the property list names the bundle below it
        QCOMPARE(controller->checkAutostartPListFile(), !mac);

        // At the next start a stale file is unloaded, written again and loaded.
        writeFile(file, "stale");
        controller = mac ? makeMac() : makeController(path("my bin/hvpsd"));
        QVERIFY(waitForExit(pid, 5000));
        QCOMPARE(serviceCalls(), load + unload + load);
        QVERIFY(controller->checkAutostartPListFile());
        box = controller->form()->chkBoxStartAsDeamon;
        QVERIFY(box->isChecked());
        QCOMPARE(controller->form()->pshBntStartStopServer->text(), QString("Stop Server"));

        box->click();
        QVERIFY(waitForExit(readFile(appFolder() + "hvpsd.pid").trimmed().toLongLong(), 5000));
        QVERIFY(!QFileInfo::exists(file));
        QVERIFY(!box->isChecked());
        QCOMPARE(controller->settings().value("runAsDeamon").toBool(), false);
        QCOMPARE(controller->form()->pshBntStartStopServer->text(), QString("Start Server"));
        QCOMPARE(serviceCalls(), load + unload + load + unload);
        controller->onAutostartChanged(false);  // no file: no tool runs
        QCOMPARE(serviceCalls(), load + unload + load + unload);
        QCOMPARE(messageTitles(), QStringList());

        // A file kept outside the user's folder is loaded by its path.
        controller->setSettingsValue("plistFile", path("elsewhere/hvpsd.service"));
        QVERIFY(controller->registerServerAsDeamon(true));
        QVERIFY(serviceCalls().last().endsWith(" | " + path("elsewhere/hvpsd.service")));
    }

    // Both platforms: a refused load is rolled back, a refused unload still removes the file, and a
    // file that cannot be written runs no tool; each is reported with what the tool said.
    void refusalsOfTheServiceManagerLeaveNothingRegistered_data() {
        QTest::addColumn<bool>("mac");
        QTest::addColumn<QStringList>("load");  // the calls of a refused load; %1: the file
        QTest::newRow("launchctl") << true << QStringList{"launchctl | load | %1", "launchctl | unload | %1"};
        QTest::newRow("systemctl") << false
                                   << QStringList{"systemctl | --user | daemon-reload",
                                                  "systemctl | --user | enable | --now | hvpsd.service",
                                                  "systemctl | --user | disable | hvpsd.service"};
    }

    void refusalsOfTheServiceManagerLeaveNothingRegistered() {
        QFETCH(bool, mac);
        QFETCH(QStringList, load);
        // Like systemctl, an enable links the unit before it fails.
        const QByteArray refusal =
            "u=\"$XDG_CONFIG_HOME/systemd/user\"\n"
            "if [ \"$2\" = enable ]; then mkdir -p \"$u/default.target.wants\"; "
            "ln -s \"$u/hvpsd.service\" \"$u/default.target.wants/hvpsd.service\"; fi\n"
            "echo 'Failed to connect to bus: No medium found' >&2\nexit 1\n";
        iTools->setHook("launchctl", refusal);
        iTools->setHook("systemctl", refusal);
        auto controller = mac ? makeMac() : makeController(path("my bin/hvpsd"));
        const QString file = controller->autostartFilePath();
        controller->form()->chkBoxStartAsDeamon->click();
        QCOMPARE(serviceCalls(), load.replaceInStrings("%1", file));
        QVERIFY(!QFileInfo::exists(file));
        if (!mac)
            QCOMPARE(QDir(path("config/systemd/user/default.target.wants"))
                         .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
                     QStringList());
        QVERIFY(!controller->form()->chkBoxStartAsDeamon->isChecked());
        QCOMPARE(controller->settings().value("runAsDeamon").toBool(), false);

        QVERIFY(controller->writeAutostartPListFile());
        QVERIFY(controller->deRegisterServerAsDeamon(false));
        QVERIFY(!QFileInfo::exists(file));

        writeFile(path("blocker"), "a file where a folder should be");
        controller->setSettingsValue("plistFile", path("blocker/autostart"));
        const int calls = iTools->calls().size();
        QVERIFY(!controller->registerServerAsDeamon(false));
        QCOMPARE(iTools->calls().size(), calls);
        const QString said = "\n\nFailed to connect to bus: No medium found";
        QCOMPARE(messageTitles(),
                 (QStringList{"Error registering autostart!", "Error deregistering autostart!",
                              "Error registering autostart!"}));
        QCOMPARE(messages()[0].text, "Loading the server as deamon failed." + said);
        QCOMPARE(messages()[1].text, "Unloading the server as deamon failed." + said);
        QCOMPARE(messages()[2].text, QString("Creating the autostart file for the server failed."));
    }

    void macScriptsReceiveThePathWithQuotesEscapedAndACancelIsNoFailure() {
        const QString file = path("my \"log\".txt");
        writeFile(file, "x");
        const QString escaped = QString(file).replace("\"", "\\\"");
        const QString fp = "set fp to \"" + escaped + "\"\n";
        const auto script = [this] { return QString::fromUtf8(readFile(iTools->folder() + "/script.txt")); };
        CHVPSPlatformMac mac;
        QVERIFY(mac.openFile(file, false, nullptr));
        QVERIFY(script().startsWith(fp));
        QVERIFY(mac.openFile(file, true, nullptr));
        QVERIFY(script().startsWith(fp));
        QVERIFY(script().contains("with prompt \"Choose a program to open the file\n" + escaped +
                                  "\" default location"));
        QVERIFY(mac.showProcessInfo("hvpsd", 4321, nullptr));
        QVERIFY(script().startsWith(
            "set dialogText to \"Halvora Personal Server \n\nPid: 4321\nName: hvpsd\"\n"));

        iTools->setHook("osascript", "echo 'execution error: User canceled. (-128)' >&2\nexit 1\n");
        QVERIFY(mac.openFile(file, true, nullptr));
        iTools->setHook("osascript", "exit 1\n");
        QVERIFY(!mac.openFile(file, false, nullptr));
    }

    void linuxProcessInformationComesFromProc() {
        const auto rows = CHVPSPlatformLinux::readProcessInfo(QCoreApplication::applicationPid());
        QHash<QString, QString> info;
        for (const auto& row : rows) info.insert(row.first, row.second);
        QCOMPARE(info.value("Pid"), QString::number(QCoreApplication::applicationPid()));
        QCOMPARE(info.value("Name"), QString("ControllerTest"));
        QVERIFY(info.value("Command line").contains("ControllerTest"));
        QVERIFY(!info.value("Started").isEmpty());
        QVERIFY(CHVPSPlatformLinux::readProcessInfo(0).isEmpty());
        QVERIFY(CHVPSPlatformLinux::readProcessInfo(999999999).isEmpty());
    }
};

HVPS_MANAGER_TEST_MAIN(ControllerTest)
#include "ControllerTest.moc"
