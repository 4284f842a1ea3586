// macOS: the daemon and its default files live in the application bundle (relative to the
// current directory), autostart is a per-user launchd agent loaded with launchctl, and files
// and process information are shown through osascript.
#pragma once

#include "CHVPSPlatform.h"

class CHVPSPlatformMac : public CHVPSPlatform {
public:
    static constexpr const char* kBundleFolder = "HalvoraPersonalServer.app/Contents/HalvoraPersonalServer/";

    QString name() const override { return QStringLiteral("macos"); }
    QString bundleFolder() const override;
    QString daemonPath() const override;
    QString defaultAutostartFile() const override;
    QString generateAutostartFile(const CHVPSAutostartParams& params) const override;
    bool loadAutostart(const QString& file) override;
    bool unloadAutostart(const QString& file) override;
    QString processName(qint64 pid) override;
    bool hasDefaultFileOpener() const override;
    bool openFile(const QString& path, bool chooseProgram, QWidget* parent) override;
    bool showProcessInfo(const QString& name, qint64 pid, QWidget* parent) override;

    bool executeAppleScript(const QString& script);
    bool executeLaunchCtl(const QStringList& args);

    // Text made safe inside an XML element and inside an AppleScript string literal.
    static QString xmlEscaped(const QString& text);
    static QString appleScriptEscaped(const QString& text);
};
