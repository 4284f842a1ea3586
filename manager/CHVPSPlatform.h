// The operating-system side of the management application: where the daemon and its bundled
// files live, how autostart is registered, how a process is named, how files are opened.
// Two implementations (macOS and Linux) are always compiled; create() picks one at run time.
// Used from the GUI thread only; every call that runs a tool waits for it synchronously.
#pragma once

#include <QString>
#include <QStringList>
#include <memory>

class QWidget;

// The values that go into an autostart file besides the platform's own paths.
struct CHVPSAutostartParams {
    QString configFile;
    QString logFile;
    QString pidFile;
};

class CHVPSPlatform {
public:
    virtual ~CHVPSPlatform();

    // The implementation for the running system; the environment variable HVPS_PLATFORM
    // ("macos" or "linux") overrides the choice.
    static std::unique_ptr<CHVPSPlatform> create();

    virtual QString name() const = 0;

    // Per-user folder of the configuration, log, pid file and default repository; ends with "/".
    virtual QString applicationFolder() const;
    // Folder that holds the default hvps.config, mime.types and data/ templates; ends with "/".
    virtual QString bundleFolder() const = 0;
    virtual QString daemonPath() const = 0;
    // The command-line client shipped with the daemon: beside it, else found in PATH.
    virtual QString clientPath() const;

    // Autostart: the file, its content, and loading it into or out of the service manager.
    virtual QString defaultAutostartFile() const = 0;
    virtual QString generateAutostartFile(const CHVPSAutostartParams& params) const = 0;
    // A load that fails leaves nothing registered (the file itself is the caller's).
    virtual bool loadAutostart(const QString& file) = 0;
    virtual bool unloadAutostart(const QString& file) = 0;
    // What the service manager wrote to standard error in the last load or unload.
    QString lastToolErrors() const { return iToolErrors; }

    // Command name of a live process, or an empty string when it cannot be found out.
    virtual QString processName(qint64 pid) = 0;

    // Whether a file can be opened without asking the user for a program.
    virtual bool hasDefaultFileOpener() const = 0;
    // True also when the user cancels the choice of a program: nothing failed.
    virtual bool openFile(const QString& path, bool chooseProgram, QWidget* parent) = 0;
    virtual bool showProcessInfo(const QString& name, qint64 pid, QWidget* parent) = 0;

    // Runs a program with arguments, waits at most timeoutMs (-1: no limit); true on exit code 0.
    // Standard output goes to *output and standard error to *errors when they are given.
    static bool runTool(const QString& program, const QStringList& args, int timeoutMs = -1,
                        QByteArray* output = nullptr, QString* errors = nullptr);

protected:
    QString iToolErrors;
};

// Reads a text resource compiled into the application; empty when it is missing.
QString hvpsResourceText(const QString& path);
