#include "CHVPSController.h"

#include <sys/types.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QThread>
#include <QUrl>
#include <cerrno>
#include <csignal>

#include "CHVPSConfigDialog.h"
#include "CHVPSInfoDialog.h"
#include "CHVPSMessage.h"
#include "ui_CHVPS.h"

namespace {
const QString kConfigFileName = QStringLiteral("hvps.config");
const QString kDaemonName = QStringLiteral("hvpsd");

// Copies a bundled default file into place; logs and returns false when it cannot.
bool copyDefault(const QString& source, const QString& destination) {
    if (QFile::copy(source, destination)) {
        // Bundled files may be read-only; the copies are the user's to edit.
        QFile::setPermissions(
            destination, QFile::permissions(destination) | QFileDevice::WriteOwner | QFileDevice::ReadOwner);
        return true;
    }
    qCritical() << QStringLiteral("failed to copy %1 to %2").arg(source, destination);
    return false;
}
}  // namespace

void hvpsInitResources();

CHVPSController::CHVPSController(std::unique_ptr<CHVPSPlatform> platform, QWidget* parent)
    : QMainWindow(parent),
      iPlatform(platform ? std::move(platform) : CHVPSPlatform::create()),
      iSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("HVPS"), QStringLiteral("HVPS")),
      ui(std::make_unique<Ui::CHVPS>()) {
    hvpsInitResources();
    iOfflinePixmap.load(QStringLiteral(":/images/icons/images/server_offline.png"));
    iOnlinePixmap.load(QStringLiteral(":/images/icons/images/server_online.png"));
    ui->setupUi(this);
    QFont small = ui->centralwidget->font();
    small.setPixelSize(11);
    ui->centralwidget->setFont(small);

    iConfigDialog = new CHVPSConfigDialog(this);
    iInfoDialog = new CHVPSInfoDialog(this);

    connect(ui->pshBntStartStopServer, &QPushButton::clicked, this, &CHVPSController::onStartStopServer);
    connect(ui->chkBoxStartAsDeamon, &QCheckBox::clicked, this, &CHVPSController::onAutostartChanged);
    connect(ui->tlBtnShowInMonitor, &QCommandLinkButton::clicked, this, &CHVPSController::onShowProcessInfo);
    connect(ui->tlBtnOpenLogfile, &QCommandLinkButton::clicked, this, &CHVPSController::onOpenLogFileWith);
    connect(ui->tlBtnChooseConfigFile, &QToolButton::clicked, this, &CHVPSController::onChooseConfig);
    connect(ui->tlBtnPreferences, &QToolButton::clicked, this, &CHVPSController::onConfigServer);
    connect(ui->actnAbout, &QAction::triggered, iInfoDialog, &QDialog::exec);
    connect(ui->actnManual, &QAction::triggered, this, &CHVPSController::onShowManual);

    if (!checkSettingPaths()) qCritical() << "checkSettingPaths failed. Some default file paths are invalid";
    setGuiFromSettings();

    qint64 pid = -1;
    bool running = isServerRunning(pid);
    setServerStatus(running);
    if (ui->chkBoxStartAsDeamon->isChecked() && (!checkAutostartPListFile() || !running))
        reRegisterServerAsDeamon(true);
}

CHVPSController::~CHVPSController() = default;

// ---- settings and paths ----

void CHVPSController::setSettingsValue(const QString& key, const QString& value) {
    iSettings.setValue(key, value);
    iSettings.sync();
}

void CHVPSController::setSettingsValue(const QString& key, bool value) {
    iSettings.setValue(key, value);
    iSettings.sync();
}

QString CHVPSController::getSettingsValue(const QString& key, const QString& defaultValue) {
    return iSettings.value(key, defaultValue).toString();
}

bool CHVPSController::getSettingsValue(const QString& key, bool defaultValue) {
    return iSettings.value(key, defaultValue).toBool();
}

QString CHVPSController::getResourceAsText(const QString& path) { return hvpsResourceText(path); }

QString CHVPSController::applicationFolder() const { return iPlatform->applicationFolder(); }

QString CHVPSController::configFilePath() {
    return getSettingsValue(QStringLiteral("configPath"), applicationFolder()) + kConfigFileName;
}

QString CHVPSController::logFilePath() {
    return getSettingsValue(QStringLiteral("logFile"), applicationFolder() + "hvpsd.log");
}

QString CHVPSController::pidFilePath() {
    return getSettingsValue(QStringLiteral("pidFile"), applicationFolder() + "hvpsd.pid");
}

QString CHVPSController::dataPath() {
    return getSettingsValue(QStringLiteral("dataPath"), QStringLiteral("%1data/").arg(applicationFolder()));
}

QString CHVPSController::mimeTypesFilePath() {
    return getSettingsValue(QStringLiteral("mimeTypesFile"), iPlatform->bundleFolder() + "mime.types");
}

QString CHVPSController::autostartFilePath() {
    return getSettingsValue(QStringLiteral("plistFile"), iPlatform->defaultAutostartFile());
}

// ---- window ----

void CHVPSController::setServerStatus(bool running) {
    ui->pshBntStartStopServer->setText(running ? tr("Stop Server") : tr("Start Server"));
    ui->lblStatus->setPixmap(running ? iOnlinePixmap : iOfflinePixmap);
}

void CHVPSController::warn(const QString& title, const QString& text) {
    hvpsShowMessage(this, QMessageBox::Warning, title, text);
}

void CHVPSController::showConfigPath() {
    ui->lblConfigPath->setText(
        CHVPSConfigDialog::clipTextToWidgetWidth(configFilePath(), ui->lblConfigPath, true, Qt::ElideMiddle));
}

void CHVPSController::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    showConfigPath();
}

QString CHVPSController::selectFilePath(const QString& caption, const QString& dir, const QString& filter,
                                        bool filesOnly) {
    QFileDialog::Options options = QFileDialog::DontResolveSymlinks | QFileDialog::DontUseNativeDialog;
    if (!filesOnly) options |= QFileDialog::ShowDirsOnly;
    QString path = QFileDialog::getOpenFileName(this, caption, dir, filter, nullptr, options);
    path = QDir::fromNativeSeparators(path);
    qDebug() << "selected Path:" << path;
    return path;
}

int CHVPSController::execConfigDialog() { return iConfigDialog->execDialog(); }

void CHVPSController::setGuiFromSettings() {
    iConfigDialog->iConfigFilePath = configFilePath();
    // The dialog needs the default repository folder also when it is used without being shown.
    iConfigDialog->iDefaultRepositoryPath = dataPath();
    showConfigPath();
    const QString autostartFile = autostartFilePath();
    setAutoStartMode(getSettingsValue(QStringLiteral("runAsDeamon"), QFileInfo::exists(autostartFile)));
}

// ---- default files ----

bool CHVPSController::checkSettingPaths() {
    const QString folder = applicationFolder();
    if (!QDir(folder).exists() && !QDir().mkpath(folder)) {
        qCritical() << "failed to create dir/path:" << folder;
        return false;
    }
    const QString config = configFilePath();
    if (!QFileInfo::exists(config) && !copyDefault(iPlatform->bundleFolder() + kConfigFileName, config))
        return false;
    const QString log = logFilePath();
    if (!QFileInfo::exists(log)) {
        QFile file(log);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            qCritical() << "failed to create:" << log;
            return false;
        }
    }
    return true;
}

bool CHVPSController::checkDataPath() {
    const QString defaultFolder = dataPath();
    QString folder = iConfigDialog->getConfigValue("repository-data");
    if (!folder.endsWith(QLatin1Char('/'))) folder += QLatin1Char('/');
    qDebug() << "default data path:" << defaultFolder << "configured data path:" << folder;

    if (folder.compare(defaultFolder, Qt::CaseInsensitive) != 0) {
        // A repository kept elsewhere is the user's: it is checked, never created or filled.
        if (QFileInfo::exists(folder + "space-db")) return true;
        qCritical() << "file not found:" << folder + "space-db";
        return false;
    }

    if (!QDir(folder).exists() && !QDir().mkpath(folder)) {
        qCritical() << "failed to create dir/path:" << folder;
        return false;
    }
    const QString templates = iPlatform->bundleFolder() + "data/";
    if (!QFileInfo::exists(folder + "space-db") && !copyDefault(templates + "space-db", folder + "space-db"))
        return false;
    if (QFileInfo::exists(folder + "disk-usage")) return true;
    return copyDefault(templates + "disk-usage", folder + "disk-usage");
}

// ---- daemon detection ----

bool CHVPSController::isProcessRunning(qint64 pid, const QString& name) {
    if (pid <= 0) return false;
    errno = 0;
    int result = ::kill(static_cast<pid_t>(pid), 0);
    int error = errno;
    qDebug()
        << QStringLiteral("kill pid:%1 signal:%2 returned %3 err: %4").arg(pid).arg(0).arg(result).arg(error);
    if (result != 0) {
        if (error != EPERM) return false;
        // The process exists but belongs to another user.
        errno = 0;
        pid_t sid = ::getsid(static_cast<pid_t>(pid));
        qDebug() << QStringLiteral("getsid pid:%1 returned %2 err: %3").arg(pid).arg(sid).arg(errno);
        if (sid == -1) return false;
    }
    if (name.isEmpty()) return true;
    const QString command = iPlatform->processName(pid).simplified();
    const bool matches = command.contains(name, Qt::CaseSensitive);
    qDebug() << "output:" << command << matches;
    return matches;
}

bool CHVPSController::isServerRunning(qint64& pid) {
    pid = -1;
    QFile file(pidFilePath());
    if (!file.exists() || !file.open(QIODevice::ReadOnly)) return false;
    bool ok = false;
    const int value = QString::fromLocal8Bit(file.readAll()).simplified().toInt(&ok, 10);
    pid = value;
    qDebug() << "PID:" << pid << ok;
    if (ok && pid > 0) return isProcessRunning(pid, kDaemonName);
    return false;
}

bool CHVPSController::isServerRunning(qint64& pid, bool expected, unsigned int timeoutMs) {
    const unsigned rounds = std::max(1u, timeoutMs / 100);
    qDebug() << "retries:" << rounds;
    bool result = !expected;
    for (unsigned pass = 0; pass < rounds; ++pass) {
        QThread::msleep(100);
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        result = isServerRunning(pid);
        if (result == expected) break;
    }
    return result;
}

// ---- start and stop ----

bool CHVPSController::startServer(bool quiet) {
    if (!checkDataPath()) {
        if (!quiet)
            warn(tr("Database does not exists"), tr("No space-db file found in specified repository data "
                                                    "path. Please check your configuration."));
        setServerStatus(false);
        return false;
    }
    const QStringList args = {QStringLiteral("--config-file=%1").arg(configFilePath()),
                              QStringLiteral("--log-file=%1").arg(logFilePath()),
                              QStringLiteral("--pid-file=%1").arg(pidFilePath()),
                              QStringLiteral("--mime-types-file=%1").arg(mimeTypesFilePath())};
    const QString daemon = iPlatform->daemonPath();
    qDebug() << "starting" << daemon << args;
    // The daemon's launching process returns 0 only once the server has fully started.
    const int exitCode = QProcess::execute(daemon, args);
    qint64 pid = -1;
    const bool running = exitCode == 0 && isServerRunning(pid);
    setServerStatus(running);
    if (running || quiet) return running;
    warn(tr("Start Server failed"), tr("Starting the server failed. Please check the log file for errors."));
    openFile(logFilePath(), !iPlatform->hasDefaultFileOpener());
    return false;
}

bool CHVPSController::stopServer(qint64 pid, bool quiet) {
    if (pid <= 0) return false;
    errno = 0;
    int result = ::kill(static_cast<pid_t>(pid), SIGTERM);
    qDebug() << QStringLiteral("kill pid:%1 signal:%2 returned %3 err: %4")
                    .arg(pid)
                    .arg(SIGTERM)
                    .arg(result)
                    .arg(errno);
    bool stopped = false;
    if (result != -1) {
        qint64 polled = pid;
        stopped = !isServerRunning(polled, false, 10000);
    }
    setServerStatus(!stopped);
    if (!stopped && !quiet) {
        warn(tr("Stop Server failed"),
             tr("Stopping the server failed. Please check the log file for errors."));
        openFile(logFilePath(), !iPlatform->hasDefaultFileOpener());
    }
    return stopped;
}

bool CHVPSController::reStartServer(bool quiet) {
    qint64 pid = -1;
    if (!isServerRunning(pid)) return startServer(quiet);
    return stopServer(pid, quiet) && startServer(quiet);
}

// ---- files and process information ----

bool CHVPSController::openFile(const QString& path, bool chooseProgram) {
    const QFileInfo info(path);
    if (!info.exists() || info.isDir()) {
        qCritical() << QStringLiteral("Error: %1 exists: %2 isDir: %3")
                           .arg(path)
                           .arg(info.exists() ? 1 : 0)
                           .arg(info.isDir() ? 1 : 0);
        return false;
    }
    return iPlatform->openFile(path, chooseProgram, this);
}

bool CHVPSController::showProcessInfo(const QString& name, qint64 pid) {
    return iPlatform->showProcessInfo(name, pid, this);
}

// ---- slots ----

void CHVPSController::onStartStopServer() {
    qint64 pid = -1;
    const bool running = isServerRunning(pid);
    setServerStatus(running);
    if (running) {
        stopServer(pid, false);
        return;
    }
    if (!iConfigDialog->hasValidConfigFile()) {
        warn(tr("No Valid Configuration"), tr("You have to configure the server before starting."));
        onConfigServer();
        return;
    }
    startServer(false);
}

void CHVPSController::onChooseConfig() {
    const QString current = getSettingsValue(QStringLiteral("configPath"), applicationFolder());
    QString path = selectFilePath(tr("Choose your config file"), current, tr("*.config"), true);
    if (path.isEmpty()) path = current;
    if (!QFileInfo::exists(path)) {
        warn(tr("Config file not found"), tr("Config file not found in specified path."));
        return;
    }
    const QFileInfo info(path);
    QString folder = info.isDir() ? info.absoluteFilePath() : info.absolutePath();
    if (!folder.endsWith(QLatin1Char('/'))) folder += QLatin1Char('/');
    setSettingsValue(QStringLiteral("configPath"), folder);
    setGuiFromSettings();
    if (!iConfigDialog->hasValidConfigFile()) {
        warn(tr("No Valid Configuration"), tr("You have to configure the server before starting."));
        onConfigServer();
    }
}

void CHVPSController::onConfigServer() {
    iConfigDialog->iDefaultRepositoryPath = dataPath();
    if (execConfigDialog() != QDialog::Accepted) return;
    const bool result =
        ui->chkBoxStartAsDeamon->isChecked() ? reRegisterServerAsDeamon(true) : reStartServer(true);
    qDebug() << QStringLiteral("restart/reregister after config change: %1").arg(result ? 1 : 0);
}

void CHVPSController::onOpenLogFileWith() {
    const bool chooseProgram = !iPlatform->hasDefaultFileOpener();
    if (!openFile(logFilePath(), chooseProgram))
        warn(tr("Open Log File failed"), tr("Failed to open the server's log file."));
}

void CHVPSController::onShowProcessInfo() {
    qint64 pid = -1;
    if (isServerRunning(pid) && showProcessInfo(kDaemonName, pid)) return;
    warn(tr("No valid PID"), tr("There is no valid process identifier available for the server. "
                                "Maybe your server is not running."));
}

void CHVPSController::onShowManual() {
    const QString path =
        QStringLiteral("%1%2").arg(iPlatform->bundleFolder(), tr("Halvora-Personal-Server-10-2010-EN.pdf"));
    if (QFileInfo::exists(path) && QDesktopServices::openUrl(QUrl::fromLocalFile(path))) return;
    if (openFile(path, true)) return;
    qCritical() << "failed to open:" << path;
}

// ---- autostart ----

QString CHVPSController::generateAutoStartPListFile() {
    const QString text = iPlatform->generateAutostartFile({configFilePath(), logFilePath(), pidFilePath()});
    qDebug().noquote() << text;
    return text;
}

bool CHVPSController::checkAutostartPListFile() {
    const QByteArray expected = generateAutoStartPListFile().toUtf8();
    const QString path = autostartFilePath();
    QByteArray current;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) current = file.readAll();
    const bool valid = !current.isEmpty() && current == expected;
    qDebug() << QStringLiteral("current autostart plistfile at %1 valid: %2").arg(path).arg(valid);
    return valid;
}

bool CHVPSController::writeAutostartPListFile() {
    const QString path = autostartFilePath();
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir(folder).exists()) {
        qDebug() << QStringLiteral("path does not exist: %1 , trying to force ...").arg(folder);
        if (!QDir().mkpath(folder)) {
            qCritical() << "failed to force" << folder;
            return false;
        }
    }
    const QByteArray data = generateAutoStartPListFile().toUtf8();
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return false;
    const qint64 written = file.write(data);
    return file.commit() && written == data.size();
}

void CHVPSController::setAutoStartMode(bool on) {
    setSettingsValue(QStringLiteral("runAsDeamon"), on);
    ui->chkBoxStartAsDeamon->setChecked(on);
}

bool CHVPSController::registerServerAsDeamon(bool quiet) {
    const bool written = writeAutostartPListFile();
    setAutoStartMode(written);
    if (!written) {
        if (!quiet)
            warn(tr("Error registering autostart!"),
                 tr("Creating the autostart file for the server failed."));
        return false;
    }
    const bool loaded = iPlatform->loadAutostart(autostartFilePath());
    setAutoStartMode(loaded);
    qint64 pid = -1;
    const bool running = isServerRunning(pid, true, 10000);
    setServerStatus(running);
    if (loaded && running) return true;
    if (!quiet) warn(tr("Error registering autostart!"), tr("Loading the server as deamon failed."));
    return false;
}

bool CHVPSController::deRegisterServerAsDeamon(bool quiet) {
    qint64 pid = -1;
    if (isServerRunning(pid)) stopServer(pid, false);
    const QString path = autostartFilePath();
    const bool unloaded = iPlatform->unloadAutostart(path);
    const bool running = isServerRunning(pid, false, 10000);
    setServerStatus(running);
    if (!(unloaded && !running) && !quiet)
        warn(tr("Error deregistering autostart!"), tr("Unloading the server as deamon failed."));
    const bool removed = QFile::remove(path);
    setAutoStartMode(!removed);
    if (removed) return true;
    if (!quiet) warn(tr("Error deregistering autostart!"), tr("Deleting the autostart file failed."));
    return false;
}

bool CHVPSController::reRegisterServerAsDeamon(bool quiet) {
    if (QFileInfo::exists(autostartFilePath()))
        return deRegisterServerAsDeamon(quiet) && registerServerAsDeamon(quiet);
    return registerServerAsDeamon(quiet);
}

void CHVPSController::onAutostartChanged(bool state) {
    bool result = true;
    if (state) {
        result = reRegisterServerAsDeamon(false);
        setSettingsValue(QStringLiteral("runAsDeamon"), result);
    } else {
        if (QFileInfo::exists(autostartFilePath())) result = deRegisterServerAsDeamon(false);
        setSettingsValue(QStringLiteral("runAsDeamon"), !result);
    }
    qDebug() << QStringLiteral("change autostart to %1 returned %2").arg(state ? 1 : 0).arg(result ? 1 : 0);
}
