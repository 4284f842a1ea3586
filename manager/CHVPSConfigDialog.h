// The form that edits the daemon's configuration file hvps.config. The file on disk is the
// source of truth: every execDialog, hasValidConfigFile and getConfigValue reads it again.
// Saving keeps every line the form does not manage (comments, unknown keys, their order) and
// replaces the file atomically. Owned by the main window for its whole life; GUI thread only.
#pragma once

#include <QDialog>
#include <QHash>
#include <QPair>
#include <QStringList>
#include <QValidator>
#include <functional>
#include <memory>

namespace Ui {
class dlgConfig;
}
class CIntValidator;
class CURLValidator;
class QRegularExpressionValidator;

class CHVPSConfigDialog : public QDialog {
    Q_OBJECT
public:
    static const QStringList s_ReposSizeUnits;  // "MB", "GB", "TB"

    explicit CHVPSConfigDialog(QWidget* parent = nullptr);
    ~CHVPSConfigDialog() override;

    // Resets the form, reads the file and runs the dialog modally; returns the dialog's result.
    int execDialog();
    // The steps of execDialog before the dialog is shown.
    void prepareDialog();

    // Whether the file holds every value the daemon needs, each within the form's limits.
    bool hasValidConfigFile();
    // The file's value of key, or the key's default (empty when it has none).
    QString getConfigValue(const char* key);

    bool readConfigFile(const QString& path);
    // Reads the settings of a configuration file without showing anything; false when it cannot
    // be read.
    static bool readSettings(const QString& path, QHash<QString, QString>& values);
    bool writeConfigFile(const QString& path);

    // "500MB" or "500 MB" gives (500, "MB"); anything else (10, "GB") with ok false.
    static QPair<unsigned, QString> parseRepoSize(const QString& text, bool* ok = nullptr);
    QValidator::State isValidRepoDataPath(const QString& path) const;
    // Elides text to the widget's width; optionally sets the full text as its tool tip.
    static QString clipTextToWidgetWidth(const QString& text, QWidget* widget, bool setToolTip,
                                         Qt::TextElideMode mode);
    // Whether the repository may move to folder: refuses to leave a populated space-db behind
    // for a folder without one.
    bool checkRepoPathChanged(const QString& folder);
    // Whether clients on other devices cannot reach a server published under host: "localhost",
    // a name below ".localhost", or a loopback address.
    static bool isLoopbackHost(const QString& host);

    QString iConfigFilePath = QStringLiteral("hvps.config");
    QString iDefaultRepositoryPath;
    // Whether the server runs now; saving then asks first, because the caller restarts it.
    std::function<bool()> iServerRunning;

    const QHash<QString, QString>& values() const { return iValues; }
    QString repositoryPath() const { return iRepositoryPath; }
    void setRepositoryPath(const QString& path);
    Ui::dlgConfig* form() const { return ui.get(); }

public slots:
    void onSaveClicked();
    void onChangePathClicked();
    void onPasswordEchoChanged(int state);
    void onServerPWChanged(const QString& text);
    void onMaxConnValueChanged(int value);
    void onPollIntervalValueChanged(int value);
    void onConnectionTimeOutValueChanged(int value);
    void onUseHostNameClicked();
    void validateForm();
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // Folder dialog; returns the chosen folder with "/" separators and a trailing "/", or empty.
    virtual QString selectPath(const QString& caption, const QString& dir);

private:
    void initDefaults();
    void resetDialog();
    void setFormData();
    void getFormData();
    bool inputChanged();
    void showRepositoryPath();
    static void setBackground(QWidget* widget, bool valid);

    std::unique_ptr<Ui::dlgConfig> ui;
    QHash<QString, QString> iValues;
    QString iRepositoryPath;
    CURLValidator* iHostValidator = nullptr;
    CIntValidator* iPortValidator = nullptr;
    QRegularExpressionValidator* iRepositoryNameValidator = nullptr;
    QRegularExpressionValidator* iPasswordValidator = nullptr;
};
