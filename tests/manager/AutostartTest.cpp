// Autostart and the platform layers: the program and arguments in the property list and unit file,
// registration through fake launchctl and systemctl, and the macOS scripts and ps call.
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

    void macPropertyListEscapesItsArgumentsAndFollowsTheSettings() {
        const QString cwd = path("cwd & <more>");
        QDir().mkpath(cwd);
        QDir::setCurrent(cwd);
        const QString config = path("conf & co/");
        const QString log = path("log \"1\".log");
        const QString pid = path("pid %2.pid");
        const QString plist = path("LaunchAgents/HalvoraPersonalServer.plist");
        setSetting("configPath", config);
        setSetting("logFile", log);
        setSetting("pidFile", pid);
        setSetting("plistFile", plist);
        auto controller = makeMac();

        // The program and its arguments, in order and escaped; the rest of the file is boilerplate.
        const QString bundle =
            "%1/cwd &amp; &lt;more&gt;/HalvoraPersonalServer.app/Contents/HalvoraPersonalServer/";
        const QString expected =
            QString("<string>" + bundle + "</string>\n\t\t<key>ProgramArguments</key>\n\t\t<array>\n" +
                    "\t\t\t<string>" + bundle +
                    "hvpsd</string>\n\t\t\t<string>--launched-as-daemon</string>\n" +
                    "\t\t\t<string>--config-file=%1/conf &amp; co/hvps.config</string>\n" +
                    "\t\t\t<string>--log-file=%1/log &quot;1&quot;.log</string>\n" +
                    "\t\t\t<string>--pid-file=%1/pid %2.pid</string>\n" + "\t\t\t<string>--mime-types-file=" +
                    bundle + "mime.types</string>\n\t\t</array>\n\t\t<key>RunAtLoad</key>\n\t\t<true/>")
                .arg(iDir->path());
        const QString generated = controller->generateAutoStartPListFile();
        QVERIFY2(generated.contains(expected), qPrintable(generated));
        QVERIFY(!controller->checkAutostartPListFile());
        QVERIFY(controller->writeAutostartPListFile());  // creates the LaunchAgents folder
        QCOMPARE(readFile(plist), generated.toUtf8());
        QVERIFY(controller->checkAutostartPListFile());

        controller->setSettingsValue("logFile", path("other.log"));
        QVERIFY(!controller->checkAutostartPListFile());
        controller->setSettingsValue("logFile", log);
        QVERIFY(controller->checkAutostartPListFile());
        QDir::setCurrent(path("cwd"));
        QVERIFY(!controller->checkAutostartPListFile());
    }

    void linuxUnitFileQuotesEveryPath() {
        setSetting("configPath", path("a \"q\" $HOME\\/"));
        setSetting("logFile", path("log.log"));
        setSetting("pidFile", path("run/hvpsd.pid"));
        auto controller = makeLinux();
        const QString expected =
            QStringLiteral(
                "\nWorkingDirectory=%1/share 100%%/\n"
                "ExecStart=\"%1/my bin/hvpsd\" \"--launched-as-daemon\" "
                "\"--config-file=%1/a \\\"q\\\" $$HOME\\\\/hvps.config\" \"--log-file=%1/log.log\" "
                "\"--pid-file=%1/run/hvpsd.pid\" \"--mime-types-file=%1/share 100%%/mime.types\"\n"
                "\n[Install]\nWantedBy=default.target\n")
                .arg(iDir->path());
        const QString generated = controller->generateAutoStartPListFile();
        QVERIFY2(generated.endsWith(expected), qPrintable(generated));
        QCOMPARE(controller->autostartFilePath(), path("config/systemd/user/hvpsd.service"));
        QVERIFY(controller->writeAutostartPListFile());
        QCOMPARE(readFile(path("config/systemd/user/hvpsd.service")), generated.toUtf8());
        QVERIFY(controller->checkAutostartPListFile());
    }

    void tickingAndUntickingRegistersThroughLaunchctl() {
        const QString plist = path("home/Library/LaunchAgents/HalvoraPersonalServer.plist");
        auto controller = makeMac();
        QVERIFY(!controller->form()->chkBoxStartAsDeamon->isChecked());
        QVERIFY(iTools->calls().isEmpty());

        controller->form()->chkBoxStartAsDeamon->click();
        QVERIFY(QFileInfo::exists(plist));
        QVERIFY(controller->form()->chkBoxStartAsDeamon->isChecked());
        QCOMPARE(controller->settings().value("runAsDeamon").toBool(), true);
        QCOMPARE(controller->form()->pshBntStartStopServer->text(), QString("Stop Server"));
        const qint64 pid = readFile(iPidFile).trimmed().toLongLong();
        QStringList calls = iTools->calls();
        QCOMPARE(calls.value(0), "launchctl | load | " + plist);
        QVERIFY(calls.contains(QString("ps | -o comm= | -p %1 | -c").arg(pid)));
        QCOMPARE(messageTitles(), QStringList());

        controller->form()->chkBoxStartAsDeamon->click();
        QVERIFY(waitForExit(pid, 5000));
        QVERIFY(!QFileInfo::exists(plist));
        QVERIFY(!controller->form()->chkBoxStartAsDeamon->isChecked());
        QCOMPARE(controller->settings().value("runAsDeamon").toBool(), false);
        QCOMPARE(controller->form()->pshBntStartStopServer->text(), QString("Start Server"));
        QVERIFY(iTools->calls().contains("launchctl | unload | " + plist));
        QCOMPARE(messageTitles(), QStringList());
    }

    void tickingAndUntickingRegistersThroughSystemctl() {
        const QString unit = path("config/systemd/user/hvpsd.service");
        auto controller = makeLinux();
        QVERIFY(controller->registerServerAsDeamon(false));
        QVERIFY(QFileInfo::exists(unit));
        const qint64 pid = readFile(iPidFile).trimmed().toLongLong();
        QCOMPARE(iTools->calls(), (QStringList{"systemctl | --user | daemon-reload",
                                               "systemctl | --user | enable | --now | hvpsd.service"}));

        QVERIFY(controller->deRegisterServerAsDeamon(false));
        QVERIFY(waitForExit(pid, 5000));
        QVERIFY(!QFileInfo::exists(unit));
        QCOMPARE(iTools->calls().mid(2), (QStringList{"systemctl | --user | disable | --now | hvpsd.service",
                                                      "systemctl | --user | daemon-reload"}));
        QCOMPARE(messageTitles(), QStringList());

        // A unit kept outside the user's unit folder is enabled by its path.
        const QString elsewhere = path("units/hvpsd.service");
        controller->setSettingsValue("plistFile", elsewhere);
        QVERIFY(controller->registerServerAsDeamon(true));
        QVERIFY(iTools->calls().contains("systemctl | --user | enable | --now | " + elsewhere));
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

    void startupRenewsAStaleRegistrationAndUntickingWithoutAFileRunsNoTool() {
        const QString plist = path("home/Library/LaunchAgents/HalvoraPersonalServer.plist");
        writeFile(plist, "stale");
        setSetting("runAsDeamon", true);
        auto controller = makeMac();
        QCOMPARE(iTools->calls().value(0), "launchctl | unload | " + plist);
        QVERIFY(iTools->calls().contains("launchctl | load | " + plist));
        QVERIFY(controller->checkAutostartPListFile());
        QVERIFY(controller->form()->chkBoxStartAsDeamon->isChecked());
        QCOMPARE(controller->form()->pshBntStartStopServer->text(), QString("Stop Server"));
        const qint64 pid = readFile(iPidFile).trimmed().toLongLong();
        QVERIFY(controller->deRegisterServerAsDeamon(true));
        QVERIFY(waitForExit(pid, 5000));

        const int before = iTools->calls().size();
        controller->onAutostartChanged(false);
        QCOMPARE(iTools->calls().size(), before);
        QCOMPARE(controller->settings().value("runAsDeamon").toBool(), false);
        QCOMPARE(messageTitles(), QStringList());
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
