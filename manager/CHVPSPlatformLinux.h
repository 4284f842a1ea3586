// Linux: the daemon is the installed hvpsd next to this program, its default files lie in the
// install prefix's share folder (or the build tree's), autostart is a systemd user unit, files
// open with the desktop's opener, and process information comes from /proc.
#pragma once

#include <QList>
#include <QPair>

#include "CHVPSPlatform.h"

class CHVPSPlatformLinux : public CHVPSPlatform {
public:
    static constexpr const char* kUnitName = "hvpsd.service";

    // Empty arguments are discovered: hvpsd beside this program or in PATH, and the bundle folder
    // share/HalvoraPersonalServer/ above or beside hvpsd's folder.
    explicit CHVPSPlatformLinux(QString daemonPath = QString(), QString bundleFolder = QString());

    QString name() const override { return QStringLiteral("linux"); }
    QString bundleFolder() const override { return iBundleFolder; }
    QString daemonPath() const override { return iDaemonPath; }
    QString defaultAutostartFile() const override;
    QString generateAutostartFile(const CHVPSAutostartParams& params) const override;
    bool loadAutostart(const QString& file) override;
    bool unloadAutostart(const QString& file) override;
    QString processName(qint64 pid) override;
    bool hasDefaultFileOpener() const override;
    bool openFile(const QString& path, bool chooseProgram, QWidget* parent) override;
    bool showProcessInfo(const QString& name, qint64 pid, QWidget* parent) override;

    bool executeSystemCtl(const QStringList& args);
    // One command-line word of a unit file, quoted so that blanks, quotes, "%" and "$" survive.
    static QString unitQuoted(const QString& word);
    // A path setting of a unit file: taken literally except for "%" specifiers.
    static QString unitPath(const QString& path);
    // Label and value rows about a process, read from /proc; empty when it does not exist.
    static QList<QPair<QString, QString>> readProcessInfo(qint64 pid);

private:
    QString unitArgument(const QString& file) const;

    QString iDaemonPath;
    QString iBundleFolder;
};
