#include "CHVPSController.h"

#include <sys/types.h>
#include <unistd.h>

#include <QClipboard>
#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QSaveFile>
#include <QSysInfo>
#include <QTextBrowser>
#include <QThread>
#include <QUrl>
#include <cerrno>
#include <csignal>

#include "CHVPSConfigDialog.h"
#include "CHVPSInfoDialog.h"
#include "CHVPSLogViewer.h"
#include "CHVPSMessage.h"
#include "CHVPSSpacesPanel.h"
#include "ui_CHVPS.h"

namespace {
const QString kConfigFileName = QStringLiteral("hvps.config");
const QString kDaemonName = QStringLiteral("hvpsd");
constexpr int kRefreshMs = 3000;
constexpr int kMaxToolErrors = 600;

// Copies a bundled default file into place; logs and returns false when it cannot.
bool copyDefault(const QString& source, const QString& destination) {
    if (QFile::copy(source, destination)) {
        // The copies are the user's to edit and hold secrets (the password digest, space keys):
        // nobody else reads them, whatever the bundled file's mode.
        QFile::setPermissions(destination, QFileDevice::WriteOwner | QFileDevice::ReadOwner);
        return true;
    }
    qCritical() << QStringLiteral("failed to copy %1 to %2").arg(source, destination);
    return false;
}
// A message followed by what the service manager said, cut to a size a message box can show.
QString withToolErrors(const QString& message, const QString& errors) {
    if (errors.isEmpty()) return message;
    QString said = errors.left(kMaxToolErrors);
    if (errors.size() > kMaxToolErrors) said += QStringLiteral("...");
    return message + QStringLiteral("\n\n") + said;
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
    iConfigDialog->iServerRunning = [this] {
        qint64 pid = -1;
        return isServerRunning(pid);
    };
    iInfoDialog = new CHVPSInfoDialog(this);
    iSpacesPanel = new CHVPSSpacesPanel(ui->frmSpaces);
    ui->layoutSpaces->addWidget(iSpacesPanel);

    connect(ui->pshBntStartStopServer, &QPushButton::clicked, this, &CHVPSController::onStartStopServer);
    connect(ui->chkBoxStartAsDeamon, &QCheckBox::clicked, this, &CHVPSController::onAutostartChanged);
    connect(ui->tlBtnShowInMonitor, &QCommandLinkButton::clicked, this, &CHVPSController::onShowProcessInfo);
    connect(ui->tlBtnOpenLogfile, &QCommandLinkButton::clicked, this, &CHVPSController::onOpenLogFileWith);
    connect(ui->tlBtnChooseConfigFile, &QToolButton::clicked, this, &CHVPSController::onChooseConfig);
    connect(ui->tlBtnPreferences, &QToolButton::clicked, this, &CHVPSController::onConfigServer);
    connect(ui->actnAbout, &QAction::triggered, iInfoDialog, &QDialog::exec);
    connect(ui->actnManual, &QAction::triggered, this, &CHVPSController::onShowManual);
    connect(ui->tlBtnCopyAddress, &QToolButton::clicked, this, &CHVPSController::onCopyAddress);
    connect(ui->tlBtnChangeHost, &QToolButton::clicked, this, &CHVPSController::onConfigServer);
    connect(&iRefreshTimer, &QTimer::timeout, this, [this] { refreshStatus(true); });
    iRefreshTimer.setInterval(kRefreshMs);

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

    const QHash<QString, QString> config = configValues();
    const QString port = configPort(config);
    if (running) {
        iStartError.clear();
        // The daemon writes its pid file once it has started completely.
        const QDateTime since = QFileInfo(pidFilePath()).lastModified();
        ui->lblRunState->setText(
            tr("Running since %1 on port %2").arg(QLocale().toString(since, QLocale::ShortFormat), port));
    } else {
        ui->lblRunState->setText(iStartError.isEmpty() ? tr("Stopped") : iStartError);
    }
    ui->lblRunState->setStyleSheet(!running && !iStartError.isEmpty() ? QStringLiteral("color: #a00000;")
                                                                      : QString());
    ui->lblClientAddress->setText(tr("Clients connect to %1").arg(clientAddress(config)));
    ui->frmLocalhostWarning->setVisible(
        CHVPSConfigDialog::isLoopbackHost(config.value(QStringLiteral("server-host"))));
}

QHash<QString, QString> CHVPSController::configValues() {
    QHash<QString, QString> values;
    CHVPSConfigDialog::readSettings(configFilePath(), values);
    return values;
}

QString CHVPSController::clientAddress(const QHash<QString, QString>& config) const {
    // An empty server-host makes the daemon publish the machine's name.
    QString host = config.value(QStringLiteral("server-host")).trimmed();
    if (host.isEmpty()) host = QSysInfo::machineHostName();
    return host + QLatin1Char(':') + configPort(config);
}

QString CHVPSController::configPort(const QHash<QString, QString>& config) {
    // An empty server-port keeps the daemon's default.
    const QString port = config.value(QStringLiteral("server-port")).trimmed();
    return port.isEmpty() ? QStringLiteral("37655") : port;
}

void CHVPSController::onCopyAddress() {
    QGuiApplication::clipboard()->setText(clientAddress(configValues()));
}

void CHVPSController::refreshStatus(bool onlyWhenDue) {
    qint64 pid = -1;
    const bool running = isServerRunning(pid);
    setServerStatus(running);
    const QHash<QString, QString> config = configValues();
    CHVPSSpacesQuery query;
    query.repositoryFolder = config.value(QStringLiteral("repository-data"));
    if (query.repositoryFolder.isEmpty()) query.repositoryFolder = dataPath();
    query.limitBytes = CHVPSSpaceReport::parseSize(config.value(QStringLiteral("repository-size")));
    query.serverRunning = running;
    query.port = configPort(config).toInt();
    query.passwordDigest = config.value(QStringLiteral("server-password"));
    query.clientPath = iPlatform->clientPath();
    iSpacesPanel->refresh(query, onlyWhenDue);
}

QString CHVPSController::firstLoggedError(qint64 offset) {
    QFile log(logFilePath());
    if (!log.open(QIODevice::ReadOnly) || !log.seek(std::min(offset, log.size()))) return QString();
    while (!log.atEnd()) {
        const QString line = QString::fromUtf8(log.readLine()).trimmed();
        if (line.contains(QLatin1String(" [Error] "))) return line;
    }
    return QString();
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
    refreshStatus();
    iRefreshTimer.start();
}

void CHVPSController::hideEvent(QHideEvent* event) {
    QMainWindow::hideEvent(event);
    iRefreshTimer.stop();
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
    // The default repository is the user's alone: space-db holds every space key.
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
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
    const qint64 logOffset = QFileInfo(logFilePath()).size();
    // The daemon's launching process returns 0 only once the server has fully started.
    const int exitCode = QProcess::execute(daemon, args);
    qint64 pid = -1;
    const bool running = exitCode == 0 && isServerRunning(pid);
    if (!running) {
        iStartError = exitCode == -2 ? tr("Cannot run %1").arg(daemon) : firstLoggedError(logOffset);
        if (iStartError.isEmpty()) iStartError = tr("The server did not start.");
    }
    setServerStatus(running);
    if (running || quiet) return running;
    warn(tr("Start Server failed"), tr("Starting the server failed. Please check the log file for errors."));
    showLogViewer();
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
        showLogViewer();
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
    if (!showLogViewer()) warn(tr("Open Log File failed"), tr("Failed to open the server's log file."));
}

CHVPSLogViewer* CHVPSController::logViewer() const { return iLogViewer; }

bool CHVPSController::showLogViewer() {
    const QString path = logFilePath();
    if (!QFileInfo(path).isFile()) {
        qCritical() << "log file not found:" << path;
        return false;
    }
    if (!iLogViewer) {
        iLogViewer = new CHVPSLogViewer(this);
        connect(iLogViewer, &CHVPSLogViewer::openExternally, this, [this](const QString& file) {
            if (!openFile(file, !iPlatform->hasDefaultFileOpener()))
                warn(tr("Open Log File failed"), tr("Failed to open the server's log file."));
        });
    }
    if (iLogViewer->file() != path) iLogViewer->setFile(path);
    iLogViewer->show();
    iLogViewer->raise();
    iLogViewer->activateWindow();
    return true;
}

void CHVPSController::onShowProcessInfo() {
    qint64 pid = -1;
    if (isServerRunning(pid) && showProcessInfo(kDaemonName, pid)) return;
    warn(tr("No valid PID"), tr("There is no valid process identifier available for the server. "
                                "Maybe your server is not running."));
}

void CHVPSController::onShowManual() {
    if (!iManual) {
        iManual = new QTextBrowser(this);
        iManual->setWindowFlag(Qt::Window);
        iManual->setWindowTitle(tr("Halvora Personal Server Manual"));
        iManual->setOpenExternalLinks(true);
        const QUrl manual(tr("qrc:/manual/manual/manual.html"));
        iManual->setSource(manual);
        if (iManual->document()->isEmpty()) qCritical() << "failed to open:" << manual;
        iManual->resize(640, 600);
    }
    iManual->show();
    iManual->raise();
    iManual->activateWindow();
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
    // A registration the service manager refused is not left behind half made.
    if (!loaded) QFile::remove(autostartFilePath());
    setAutoStartMode(loaded);
    qint64 pid = -1;
    const bool running = loaded ? isServerRunning(pid, true, 10000) : isServerRunning(pid);
    setServerStatus(running);
    if (loaded && running) return true;
    if (!quiet)
        warn(tr("Error registering autostart!"),
             withToolErrors(tr("Loading the server as deamon failed."), iPlatform->lastToolErrors()));
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
        warn(tr("Error deregistering autostart!"),
             withToolErrors(tr("Unloading the server as deamon failed."),
                            unloaded ? QString() : iPlatform->lastToolErrors()));
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
