// The main window: shows whether the local daemon runs, starts and stops it, registers it for
// autostart, prepares the per-user folder with default files and opens the configuration
// dialog. The daemon's state is detected afresh (pid file, signal 0, process name) before every
// action; the window keeps no state machine of its own. Owns its dialogs and its platform
// layer. GUI thread only; the status poll processes pending events while it waits.
#pragma once

#include <QMainWindow>
#include <QPixmap>
#include <QPointer>
#include <QSettings>
#include <QTimer>
#include <memory>

#include "CHVPSPlatform.h"

namespace Ui {
class CHVPS;
}
class CHVPSConfigDialog;
class CHVPSInfoDialog;
class CHVPSLogViewer;
class CHVPSSpacesPanel;
class QTextBrowser;

class CHVPSController : public QMainWindow {
    Q_OBJECT
public:
    // Without a platform the one for the running system is used.
    explicit CHVPSController(std::unique_ptr<CHVPSPlatform> platform = nullptr, QWidget* parent = nullptr);
    ~CHVPSController() override;

    // Settings store; every write is synced at once. Defaults are not stored.
    void setSettingsValue(const QString& key, const QString& value);
    void setSettingsValue(const QString& key, bool value);
    QString getSettingsValue(const QString& key, const QString& defaultValue);
    bool getSettingsValue(const QString& key, bool defaultValue);
    // A string literal must not fall to the bool overloads.
    void setSettingsValue(const QString& key, const char* value) {
        setSettingsValue(key, QString::fromUtf8(value));
    }
    QString getSettingsValue(const QString& key, const char* defaultValue) {
        return getSettingsValue(key, QString::fromUtf8(defaultValue));
    }

    static QString getResourceAsText(const QString& path);
    // Button, pixmap, the status line and the address clients need.
    void setServerStatus(bool running);
    // Detects the daemon, shows its state and refreshes the Spaces panel (in the background);
    // runs every few seconds while the window is visible, then with onlyWhenDue.
    void refreshStatus(bool onlyWhenDue = false);
    // Opens the log viewer on the log file; false when there is no log file.
    bool showLogViewer();

    // Default paths derived from the application folder and the platform.
    QString applicationFolder() const;
    QString configFilePath();
    QString logFilePath();
    QString pidFilePath();
    QString dataPath();
    QString mimeTypesFilePath();
    QString autostartFilePath();

    bool checkSettingPaths();
    bool checkDataPath();
    bool isProcessRunning(qint64 pid, const QString& name);
    bool isServerRunning(qint64& pid);
    // Polls every 100 ms until the state equals expected or timeoutMs has passed (at least once).
    bool isServerRunning(qint64& pid, bool expected, unsigned int timeoutMs);
    bool openFile(const QString& path, bool chooseProgram);
    bool startServer(bool quiet);
    bool stopServer(qint64 pid, bool quiet);
    bool reStartServer(bool quiet);
    bool showProcessInfo(const QString& name, qint64 pid);
    void setGuiFromSettings();

    // Autostart registration.
    QString generateAutoStartPListFile();
    bool checkAutostartPListFile();
    bool writeAutostartPListFile();
    void setAutoStartMode(bool on);
    bool registerServerAsDeamon(bool quiet);
    bool deRegisterServerAsDeamon(bool quiet);
    bool reRegisterServerAsDeamon(bool quiet);

    CHVPSConfigDialog* configDialog() const { return iConfigDialog; }
    CHVPSSpacesPanel* spacesPanel() const { return iSpacesPanel; }
    CHVPSLogViewer* logViewer() const;
    CHVPSPlatform& platform() const { return *iPlatform; }
    Ui::CHVPS* form() const { return ui.get(); }
    QSettings& settings() { return iSettings; }

public slots:
    void onStartStopServer();
    void onChooseConfig();
    void onConfigServer();
    void onOpenLogFileWith();
    void onShowProcessInfo();
    void onAutostartChanged(bool state);
    void onShowManual();
    void onCopyAddress();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    // Modal file chooser; the result has "/" separators, empty when cancelled.
    virtual QString selectFilePath(const QString& caption, const QString& dir, const QString& filter,
                                   bool filesOnly);
    // Runs the configuration dialog; returns its result.
    virtual int execConfigDialog();

private:
    void showConfigPath();
    void warn(const QString& title, const QString& text);
    // The configuration file's settings, read without any message box.
    QHash<QString, QString> configValues();
    // host:port as clients must be given it.
    QString clientAddress(const QHash<QString, QString>& config) const;
    static QString configPort(const QHash<QString, QString>& config);
    // The first error line the daemon logged after offset of the log file, empty when none.
    QString firstLoggedError(qint64 offset);

    std::unique_ptr<CHVPSPlatform> iPlatform;
    QSettings iSettings;
    QPixmap iOfflinePixmap;
    QPixmap iOnlinePixmap;
    std::unique_ptr<Ui::CHVPS> ui;
    CHVPSConfigDialog* iConfigDialog;     // child of the window
    CHVPSInfoDialog* iInfoDialog;         // child of the window
    CHVPSSpacesPanel* iSpacesPanel;       // child of the window
    QPointer<CHVPSLogViewer> iLogViewer;  // child window, made on first use
    QPointer<QTextBrowser> iManual;       // child window, made on first use
    QTimer iRefreshTimer;
    QString iStartError;  // the first error line of the last failed start, until a start succeeds
};
