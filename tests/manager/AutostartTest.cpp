// Autostart and the platform layers: the program and arguments in the property list and unit file,
// registration through fake launchctl and systemctl, and the macOS scripts and ps call.
#include <QCheckBox>

#include "CHVPSController.h"
#include "CHVPSPlatformLinux.h"
#include "CHVPSPlatformMac.h"
#include "ManagerTestSupport.h"
#include "ui_CHVPS.h"

using namespace hvpstest;

namespace {
// Starts the stand-in daemon when the service manager is told to load, and names processes
// from /proc in place of ps.
const QByteArray kLaunchctlHook =
    "if [ \"$1\" = load ]; then \"$FAKE_DAEMON\" \"$FAKE_PIDFILE\" >/dev/null 2>&1 & fi\n";
const QByteArray kSystemctlHook =
    "if [ \"$2\" = enable ]; then \"$FAKE_DAEMON\" \"$FAKE_PIDFILE\" >/dev/null 2>&1 & fi\n";
const QByteArray kPsHook = "pid=${2#-p }; cat /proc/$pid/comm 2>/dev/null\n";
}  // namespace

class AutostartTest : public ManagerTestCase {
    Q_OBJECT

    QString iOldCurrent;
    QString iPidFile;

    std::unique_ptr<CHVPSController> makeMac() {
        return std::make_unique<CHVPSController>(std::make_unique<CHVPSPlatformMac>());
    }
    std::unique_ptr<CHVPSController> makeLinux() {
        return std::make_unique<CHVPSController>(
            std::make_unique<CHVPSPlatformLinux>(path("my bin/hvpsd"), path("share 100%/")));
    }
    // The calls of the service manager, without the process names asked of ps.
    QStringList serviceCalls() const {
        QStringList calls = iTools->calls();
        calls.removeIf([](const QString& call) { return call.startsWith("ps "); });
        return calls;
    }

private slots:
    void init() {
        setUpHome({"launchctl", "systemctl", "ps", "osascript"});
        iOldCurrent = QDir::currentPath();
        QDir().mkpath(path("cwd"));
        QDir::setCurrent(path("cwd"));
        iTools->setHook("launchctl", kLaunchctlHook);
        iTools->setHook("systemctl", kSystemctlHook);
        iTools->setHook("ps", kPsHook);
        iTools->setHook("osascript", "printf '%s' \"$2\" > \"$dir/script.txt\"\n");
        qputenv("FAKE_DAEMON", iFakeDaemon.toLocal8Bit());
        iPidFile = appFolder() + "hvpsd.pid";
        qputenv("FAKE_PIDFILE", iPidFile.toLocal8Bit());
    }

    void cleanup() {
        killHard(readFile(iPidFile).trimmed().toLongLong());
        QDir::setCurrent(iOldCurrent);
        tearDownHome();
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
        auto controller = mac ? makeMac() : makeLinux();
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
        const qint64 pid = readFile(iPidFile).trimmed().toLongLong();
        if (mac) QVERIFY(iTools->calls().contains(QString("ps | -o comm= | -p %1 | -c").arg(pid)));

        controller->setSettingsValue("logFile", path("other.log"));
        QVERIFY(!controller->checkAutostartPListFile());
        controller->setSettingsValue("logFile", path("log %2.log"));
        QVERIFY(controller->checkAutostartPListFile());
        QDir::setCurrent(path("cwd"));  // the property list names the bundle below it
        QCOMPARE(controller->checkAutostartPListFile(), !mac);

        // At the next start a stale file is unloaded, written again and loaded.
        writeFile(file, "stale");
        controller = mac ? makeMac() : makeLinux();
        QVERIFY(waitForExit(pid, 5000));
        QCOMPARE(serviceCalls(), load + unload + load);
        QVERIFY(controller->checkAutostartPListFile());
        box = controller->form()->chkBoxStartAsDeamon;
        QVERIFY(box->isChecked());
        QCOMPARE(controller->form()->pshBntStartStopServer->text(), QString("Stop Server"));

        box->click();
        QVERIFY(waitForExit(readFile(iPidFile).trimmed().toLongLong(), 5000));
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

    void failedEnableLeavesNoUnitOrLinkAndShowsWhatSystemctlSaid() {
        const QString units = path("config/systemd/user/");
        iTools->setHook("systemctl",
                        "u=\"$XDG_CONFIG_HOME/systemd/user\"\n"
                        "if [ \"$2\" = enable ]; then mkdir -p \"$u/default.target.wants\"; "
                        "ln -s \"$u/hvpsd.service\" \"$u/default.target.wants/hvpsd.service\"; fi\n"
                        "echo 'Failed to connect to bus: No medium found' >&2\n");
        iTools->setExit("systemctl", 1);
        auto controller = makeLinux();
        controller->form()->chkBoxStartAsDeamon->click();
        QVERIFY(!QFileInfo::exists(units + "hvpsd.service"));
        QCOMPARE(QDir(units + "default.target.wants")
                     .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
                 QStringList());
        QVERIFY(!controller->form()->chkBoxStartAsDeamon->isChecked());
        QCOMPARE(controller->settings().value("runAsDeamon").toBool(), false);
        QCOMPARE(messageTitles(), QStringList{"Error registering autostart!"});
        QCOMPARE(
            messages()[0].text,
            QString("Loading the server as deamon failed.\n\nFailed to connect to bus: No medium found"));
    }

    void failedUnloadingAndAnUnwritableFileAreReported() {
        // Unloading fails: the file goes all the same.
        auto controller = makeMac();
        QVERIFY(controller->writeAutostartPListFile());
        iTools->setExit("launchctl", 1);
        QVERIFY(controller->deRegisterServerAsDeamon(false));
        QVERIFY(!QFileInfo::exists(controller->autostartFilePath()));
        // The file cannot be written: no tool runs.
        writeFile(path("blocker"), "a file where a folder should be");
        controller->setSettingsValue("plistFile", path("blocker/HalvoraPersonalServer.plist"));
        const int calls = iTools->calls().size();
        QVERIFY(!controller->registerServerAsDeamon(false));
        QCOMPARE(iTools->calls().size(), calls);
        QVERIFY(!controller->form()->chkBoxStartAsDeamon->isChecked());
        QCOMPARE(messageTitles(),
                 (QStringList{"Error deregistering autostart!", "Error registering autostart!"}));
        QCOMPARE(messages()[0].text, QString("Unloading the server as deamon failed."));
        QCOMPARE(messages()[1].text, QString("Creating the autostart file for the server failed."));
    }

    void macScriptsReceiveThePathWithQuotesEscaped() {
        const QString file = path("my \"log\".txt");
        writeFile(file, "x");
        CHVPSPlatformMac mac;
        QVERIFY(mac.openFile(file, false, nullptr));
        const QString escaped = QString(file).replace("\"", "\\\"");
        QVERIFY(readFile(iTools->folder() + "/script.txt")
                    .startsWith("set fp to \"" + escaped.toUtf8() + "\"\n"));

        QVERIFY(mac.openFile(file, true, nullptr));
        const QString chooser = QString::fromUtf8(readFile(iTools->folder() + "/script.txt"));
        QVERIFY(chooser.startsWith("set fp to \"" + escaped + "\"\n"));
        QVERIFY(chooser.contains("with prompt \"Choose a program to open the file\n" + escaped +
                                 "\" default location"));

        QVERIFY(mac.showProcessInfo("hvpsd", 4321, nullptr));
        const QString info = QString::fromUtf8(readFile(iTools->folder() + "/script.txt"));
        QVERIFY(
            info.startsWith("set dialogText to \"Halvora Personal Server \n\nPid: 4321\nName: hvpsd\"\n"));

        iTools->setExit("osascript", 1);
        QVERIFY(!mac.openFile(file, false, nullptr));
    }

    void linuxProcessInformationComesFromProc() {
        const auto rows = CHVPSPlatformLinux::readProcessInfo(QCoreApplication::applicationPid());
        QHash<QString, QString> info;
        for (const auto& row : rows) info.insert(row.first, row.second);
        QCOMPARE(info.value("Pid"), QString::number(QCoreApplication::applicationPid()));
        QCOMPARE(info.value("Name"), QString("AutostartTest"));
        QVERIFY(info.value("Command line").contains("AutostartTest"));
        QVERIFY(!info.value("Started").isEmpty());
        QVERIFY(CHVPSPlatformLinux::readProcessInfo(0).isEmpty());
        QVERIFY(CHVPSPlatformLinux::readProcessInfo(999999999).isEmpty());
    }
};

HVPS_MANAGER_TEST_MAIN(AutostartTest)
#include "AutostartTest.moc"
