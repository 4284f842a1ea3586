#include "CHVPSPlatformLinux.h"

#include <pwd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include "CHVPSProcessInfoDialog.h"

namespace {
QString tr(const char* text) { return QCoreApplication::translate("CHVPSController", text); }

QByteArray readWholeFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return QByteArray();
    return file.readAll();
}

QByteArray readProcFile(qint64 pid, const char* name) {
    return readWholeFile(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
}

QString withSlash(QString folder) {
    if (!folder.endsWith(QLatin1Char('/'))) folder += QLatin1Char('/');
    return folder;
}
}  // namespace

CHVPSPlatformLinux::CHVPSPlatformLinux(QString daemonPath, QString bundleFolder)
    : iDaemonPath(std::move(daemonPath)), iBundleFolder(std::move(bundleFolder)) {
    if (iDaemonPath.isEmpty()) {
        const QString appDir = QCoreApplication::applicationDirPath();
        iDaemonPath = QStandardPaths::findExecutable(QStringLiteral("hvpsd"), {appDir});
        if (iDaemonPath.isEmpty()) iDaemonPath = QStandardPaths::findExecutable(QStringLiteral("hvpsd"));
        if (iDaemonPath.isEmpty()) iDaemonPath = appDir + QStringLiteral("/hvpsd");
    }
    if (iBundleFolder.isEmpty()) {
        const QDir daemonDir = QFileInfo(iDaemonPath).absoluteDir();
        const QString installed =
            daemonDir.absoluteFilePath(QStringLiteral("../share/HalvoraPersonalServer"));
        const QString buildTree = daemonDir.absoluteFilePath(QStringLiteral("share/HalvoraPersonalServer"));
        iBundleFolder = QDir::cleanPath(QFileInfo(installed).isDir() ? installed : buildTree);
    }
    iBundleFolder = withSlash(iBundleFolder);
}

QString CHVPSPlatformLinux::defaultAutostartFile() const {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/systemd/user/") + QLatin1String(kUnitName);
}

QString CHVPSPlatformLinux::unitPath(const QString& path) {
    QString escaped = path;
    escaped.replace(QLatin1Char('%'), QStringLiteral("%%"));
    return escaped;
}

QString CHVPSPlatformLinux::unitQuoted(const QString& word) {
    QString escaped;
    escaped.reserve(word.size() + 2);
    for (QChar c : word) {
        switch (c.unicode()) {
            case '\\':
                escaped += QStringLiteral("\\\\");
                break;
            case '"':
                escaped += QStringLiteral("\\\"");
                break;
            case '\n':
                escaped += QStringLiteral("\\n");
                break;
            case '%':
                escaped += QStringLiteral("%%");
                break;
            case '$':
                escaped += QStringLiteral("$$");
                break;
            default:
                escaped += c;
        }
    }
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

QString CHVPSPlatformLinux::generateAutostartFile(const CHVPSAutostartParams& params) const {
    const QString bundle = QDir(iBundleFolder).absolutePath() + QLatin1Char('/');
    const QString daemon = QFileInfo(iDaemonPath).absoluteFilePath();
    const QStringList command = {
        unitQuoted(daemon),
        unitQuoted(QStringLiteral("--launched-as-daemon")),
        unitQuoted(QStringLiteral("--config-file=") + params.configFile),
        unitQuoted(QStringLiteral("--log-file=") + params.logFile),
        unitQuoted(QStringLiteral("--pid-file=") + params.pidFile),
        unitQuoted(QStringLiteral("--mime-types-file=") + bundle + QStringLiteral("mime.types"))};
    QString text;
    text += QStringLiteral("[Unit]\n");
    text += QStringLiteral("Description=Halvora Personal Server\n");
    text += QStringLiteral("After=network.target\n");
    text += QStringLiteral("\n[Service]\n");
    text += QStringLiteral("Type=simple\n");
    text += QStringLiteral("WorkingDirectory=") + unitPath(bundle) + QLatin1Char('\n');
    text += QStringLiteral("ExecStart=") + command.join(QLatin1Char(' ')) + QLatin1Char('\n');
    text += QStringLiteral("\n[Install]\n");
    text += QStringLiteral("WantedBy=default.target\n");
    return text;
}

bool CHVPSPlatformLinux::executeSystemCtl(const QStringList& args) {
    QStringList all = {QStringLiteral("--user")};
    all += args;
    qDebug() << "systemctl" << all;
    return runTool(QStringLiteral("systemctl"), all, -1, nullptr, &iToolErrors);
}

QString CHVPSPlatformLinux::unitArgument(const QString& file) const {
    // A unit in the user's unit folder is named; one elsewhere is linked by its path.
    const QFileInfo info(file);
    if (info.absoluteFilePath() == QFileInfo(defaultAutostartFile()).absoluteFilePath())
        return info.fileName();
    return info.absoluteFilePath();
}

bool CHVPSPlatformLinux::loadAutostart(const QString& file) {
    executeSystemCtl({QStringLiteral("daemon-reload")});
    if (executeSystemCtl({QStringLiteral("enable"), QStringLiteral("--now"), unitArgument(file)}))
        return true;
    // enable may have linked the unit before it failed (no user bus, start refused): the links
    // go again, also when disable cannot reach the service manager either.
    const QString errors = iToolErrors;
    const QString name = QFileInfo(file).fileName();
    executeSystemCtl({QStringLiteral("disable"), name});
    const QString unitFolder = QFileInfo(defaultAutostartFile()).absolutePath();
    for (const QString& link :
         {unitFolder + QStringLiteral("/default.target.wants/") + name, unitFolder + QLatin1Char('/') + name})
        if (QFileInfo(link).isSymLink()) QFile::remove(link);
    iToolErrors = errors;
    return false;
}

bool CHVPSPlatformLinux::unloadAutostart(const QString& file) {
    const bool done =
        executeSystemCtl({QStringLiteral("disable"), QStringLiteral("--now"), QFileInfo(file).fileName()});
    executeSystemCtl({QStringLiteral("daemon-reload")});
    return done;
}

QString CHVPSPlatformLinux::processName(qint64 pid) {
    return QString::fromLocal8Bit(readProcFile(pid, "comm")).trimmed();
}

bool CHVPSPlatformLinux::hasDefaultFileOpener() const {
    return !QStandardPaths::findExecutable(QStringLiteral("xdg-open")).isEmpty();
}

bool CHVPSPlatformLinux::openFile(const QString& path, bool chooseProgram, QWidget* parent) {
    if (!chooseProgram) return runTool(QStringLiteral("xdg-open"), {path}, 30000);
    const QString program = QFileDialog::getOpenFileName(
        parent, tr("Choose a program to open the file"), QStringLiteral("/usr/bin"), QString(), nullptr,
        QFileDialog::DontResolveSymlinks | QFileDialog::DontUseNativeDialog);
    if (program.isEmpty()) return true;  // cancelled
    return QProcess::startDetached(program, {path});
}

bool CHVPSPlatformLinux::showProcessInfo(const QString& name, qint64 pid, QWidget* parent) {
    const auto rows = readProcessInfo(pid);
    if (rows.isEmpty()) return false;
    CHVPSProcessInfoDialog dialog(
        tr("Halvora Personal Server \n\nPid: %1\nName: %2").arg(QString::number(pid), name), rows, parent);
    dialog.exec();
    return true;
}

QList<QPair<QString, QString>> CHVPSPlatformLinux::readProcessInfo(qint64 pid) {
    QList<QPair<QString, QString>> rows;
    if (pid <= 0 || !QFileInfo(QStringLiteral("/proc/%1").arg(pid)).isDir()) return rows;

    QHash<QString, QString> status;
    for (const QByteArray& line : readProcFile(pid, "status").split('\n')) {
        const int colon = line.indexOf(':');
        if (colon > 0)
            status.insert(QString::fromLatin1(line.left(colon)),
                          QString::fromLocal8Bit(line.mid(colon + 1)).simplified());
    }
    QByteArray commandLine = readProcFile(pid, "cmdline");
    if (commandLine.endsWith('\0')) commandLine.chop(1);
    commandLine.replace('\0', ' ');

    QString user = status.value(QStringLiteral("Uid")).section(QLatin1Char(' '), 0, 0);
    if (const passwd* entry = ::getpwuid(user.toUInt()))
        user = QStringLiteral("%1 (%2)").arg(QString::fromLocal8Bit(entry->pw_name), user);

    // Field 22 of stat is the start time in clock ticks after boot; the command name in field 2
    // may hold blanks, so fields are counted after its closing parenthesis.
    QString started;
    const QByteArray stat = readProcFile(pid, "stat");
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    qint64 bootTime = 0;
    for (const QByteArray& line : readWholeFile(QStringLiteral("/proc/stat")).split('\n'))
        if (line.startsWith("btime ")) bootTime = line.mid(6).trimmed().toLongLong();
    const long ticks = ::sysconf(_SC_CLK_TCK);
    if (fields.size() > 19 && bootTime > 0 && ticks > 0) {
        const qint64 seconds = bootTime + fields[19].toLongLong() / ticks;
        started = QDateTime::fromSecsSinceEpoch(seconds).toString(Qt::ISODate);
    }

    rows.append({tr("Name"), status.value(QStringLiteral("Name"))});
    rows.append({tr("Pid"), QString::number(pid)});
    rows.append({tr("Parent pid"), status.value(QStringLiteral("PPid"))});
    rows.append({tr("User"), user});
    rows.append({tr("State"), status.value(QStringLiteral("State"))});
    rows.append({tr("Started"), started});
    rows.append({tr("Threads"), status.value(QStringLiteral("Threads"))});
    rows.append({tr("Resident memory"), status.value(QStringLiteral("VmRSS"))});
    rows.append({tr("Virtual memory"), status.value(QStringLiteral("VmSize"))});
    rows.append({tr("Working folder"), QFileInfo(QStringLiteral("/proc/%1/cwd").arg(pid)).symLinkTarget()});
    rows.append({tr("Command line"), QString::fromLocal8Bit(commandLine)});
    return rows;
}
