#include "CHVPSPlatform.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QSysInfo>

#include "CHVPSPlatformLinux.h"
#include "CHVPSPlatformMac.h"

// Resources compiled into the static library must be registered by hand.
void hvpsInitResources() {
    static const bool done = [] {
        Q_INIT_RESOURCE(HalvoraPersonalServer);
        Q_INIT_RESOURCE(translations);
        return true;
    }();
    (void)done;
}

CHVPSPlatform::~CHVPSPlatform() = default;

std::unique_ptr<CHVPSPlatform> CHVPSPlatform::create() {
    const QByteArray forced = qgetenv("HVPS_PLATFORM");
    bool mac =
        QSysInfo::productType() == QLatin1String("macos") || QSysInfo::productType() == QLatin1String("osx");
    if (forced == "macos")
        mac = true;
    else if (forced == "linux")
        mac = false;
    if (mac) return std::make_unique<CHVPSPlatformMac>();
    return std::make_unique<CHVPSPlatformLinux>();
}

QString CHVPSPlatform::applicationFolder() const {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/HalvoraPersonalServer/");
}

QString CHVPSPlatform::clientPath() const {
    const QString beside = QFileInfo(daemonPath()).absolutePath() + QStringLiteral("/hvps-client");
    if (QFileInfo(beside).isExecutable()) return beside;
    const QString found = QStandardPaths::findExecutable(QStringLiteral("hvps-client"));
    return found.isEmpty() ? beside : found;
}

bool CHVPSPlatform::runTool(const QString& program, const QStringList& args, int timeoutMs,
                            QByteArray* output, QString* errors) {
    QProcess process;
    if (!output)
        process.setProcessChannelMode(errors ? QProcess::ForwardedOutputChannel
                                             : QProcess::ForwardedChannels);
    if (errors) errors->clear();
    process.start(program, args);
    if (!process.waitForStarted()) {
        qCritical() << "failed to run" << program << process.errorString();
        if (errors) *errors = process.errorString();
        return false;
    }
    if (!process.waitForFinished(timeoutMs)) {
        qCritical() << program << "did not finish in" << timeoutMs << "ms";
        process.kill();
        process.waitForFinished(1000);
        return false;
    }
    if (output) *output = process.readAllStandardOutput();
    if (errors) *errors = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
    qDebug() << program << "exit code:" << process.exitCode();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QString hvpsResourceText(const QString& path) {
    hvpsInitResources();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return QString();
    return QString::fromUtf8(file.readAll());
}
