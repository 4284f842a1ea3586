#include "CHVPSPlatformMac.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>

namespace {
QString tr(const char* text) { return QCoreApplication::translate("CHVPSController", text); }
}  // namespace

QString CHVPSPlatformMac::bundleFolder() const { return QString::fromLatin1(kBundleFolder); }

QString CHVPSPlatformMac::daemonPath() const { return bundleFolder() + QStringLiteral("hvpsd"); }

QString CHVPSPlatformMac::defaultAutostartFile() const {
    return QStringLiteral("%1/Library/LaunchAgents/HalvoraPersonalServer.plist").arg(QDir::homePath());
}

QString CHVPSPlatformMac::xmlEscaped(const QString& text) { return text.toHtmlEscaped(); }

QString CHVPSPlatformMac::appleScriptEscaped(const QString& text) {
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    escaped.replace(QLatin1Char('"'), QStringLiteral("\\\""));
    return escaped;
}

QString CHVPSPlatformMac::generateAutostartFile(const CHVPSAutostartParams& params) const {
    const QString bundle = QDir::currentPath() + QLatin1Char('/') + bundleFolder();
    // All placeholders are filled in one pass, so a path holding "%2" stays as it is.
    return hvpsResourceText(QStringLiteral(":/templates/templates/plist_template.xml"))
        .arg(QStringLiteral("hvpsd"), xmlEscaped(bundle), xmlEscaped(bundle + "hvpsd"),
             xmlEscaped(params.configFile), xmlEscaped(params.logFile), xmlEscaped(params.pidFile),
             xmlEscaped(bundle + "mime.types"));
}

bool CHVPSPlatformMac::executeLaunchCtl(const QStringList& args) {
    qDebug() << "lauchctl" << args;
    return runTool(QStringLiteral("launchctl"), args, -1, nullptr, &iToolErrors);
}

bool CHVPSPlatformMac::loadAutostart(const QString& file) {
    if (executeLaunchCtl({QStringLiteral("load"), file})) return true;
    // A job that was loaded in part is taken out again; the message of the load is kept.
    const QString errors = iToolErrors;
    executeLaunchCtl({QStringLiteral("unload"), file});
    iToolErrors = errors;
    return false;
}

bool CHVPSPlatformMac::unloadAutostart(const QString& file) {
    return executeLaunchCtl({QStringLiteral("unload"), file});
}

QString CHVPSPlatformMac::processName(qint64 pid) {
    QByteArray output;
    if (!runTool(QStringLiteral("ps"),
                 {QStringLiteral("-o comm="), QStringLiteral("-p %1").arg(pid), QStringLiteral("-c")}, 30000,
                 &output))
        return QString();
    return QString::fromLocal8Bit(output).simplified();
}

bool CHVPSPlatformMac::hasDefaultFileOpener() const {
    return QDir(QStringLiteral("/Applications/TextEdit.app")).exists();
}

bool CHVPSPlatformMac::executeAppleScript(const QString& script) {
    qDebug() << "osascript -e" << script;
    QString errors;
    if (runTool(QStringLiteral("osascript"), {QStringLiteral("-e"), script}, -1, nullptr, &errors))
        return true;
    // Error -128 is the user's Cancel in a chooser: nothing failed.
    return errors.contains(QLatin1String("(-128)"));
}

bool CHVPSPlatformMac::openFile(const QString& path, bool chooseProgram, QWidget*) {
    const QString fp = appleScriptEscaped(QFile::decodeName(QFile::encodeName(path)));
    QString script;
    if (chooseProgram)
        script = hvpsResourceText(QStringLiteral(":/scripts/scripts/openFileWith.scpt.txt"))
                     .arg(appleScriptEscaped(tr("Choose a program to open the file")), fp, fp);
    else
        script = hvpsResourceText(QStringLiteral(":/scripts/scripts/openFile.scpt.txt")).arg(fp);
    return executeAppleScript(script);
}

bool CHVPSPlatformMac::showProcessInfo(const QString& name, qint64 pid, QWidget*) {
    const QString text = tr("Halvora Personal Server \n\nPid: %1\nName: %2").arg(QString::number(pid), name);
    const QString close = appleScriptEscaped(tr("Close"));
    const QString script =
        hvpsResourceText(QStringLiteral(":/scripts/scripts/showHVPSInfoInActivityMonitor.scpt.txt"))
            .arg(appleScriptEscaped(text), appleScriptEscaped(name), close, close);
    return executeAppleScript(script);
}
