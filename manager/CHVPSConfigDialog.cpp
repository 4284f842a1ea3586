#include "CHVPSConfigDialog.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QSaveFile>
#include <QSysInfo>

#include "CHVPSAppleRoman.h"
#include "CHVPSMessage.h"
#include "CHVPSValidators.h"
#include "ui_dlgConfig.h"

const QStringList CHVPSConfigDialog::s_ReposSizeUnits = {QStringLiteral("MB"), QStringLiteral("GB"),
                                                         QStringLiteral("TB")};

namespace {
const QString kRepositoryNamePattern = QStringLiteral("^[a-zA-Z0-9_-]([a-zA-Z0-9_-]{0,254})$");
const QString kPasswordPattern = QStringLiteral("^([^@])+$");

// The keys the form manages, in the order in which missing ones are appended to the file.
const QStringList kManagedKeys = {
    QStringLiteral("server-password"),       QStringLiteral("server-host"),
    QStringLiteral("server-port"),           QStringLiteral("repository-name"),
    QStringLiteral("repository-data"),       QStringLiteral("repository-size"),
    QStringLiteral("store-space-titles"),    QStringLiteral("maximum-connections"),
    QStringLiteral("poll-interval"),         QStringLiteral("connection-timeout"),
    QStringLiteral("server-password-source")};

// The file's lines as the daemon sees them: "\n", "\r\n" or "\r" end a line; a final line end
// does not start another line.
QStringList splitLines(const QString& text) {
    QString normalised = text;
    normalised.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    normalised.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QStringList lines = normalised.split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines;
}

// A trimmed line is a setting when splitting it at every "=" gives exactly two parts and the
// first is not empty. Neither part is trimmed further.
bool parseSetting(const QString& line, QString& key, QString& value) {
    if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) return false;
    const QStringList parts = line.split(QLatin1Char('='));
    if (parts.size() != 2 || parts[0].isEmpty()) return false;
    key = parts[0];
    value = parts[1];
    return true;
}

bool readLines(const QString& path, QStringList& lines) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    lines = splitLines(hvpsDecodeConfigText(file.readAll()));
    return file.error() == QFileDevice::NoError;
}

QValidator::State validateText(const QValidator& validator, QString text) {
    int pos = 0;
    return validator.validate(text, pos);
}
}  // namespace

CHVPSConfigDialog::CHVPSConfigDialog(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::dlgConfig>()) {
    ui->setupUi(this);
    QFont small = font();
    small.setPixelSize(11);
    setFont(small);

    // Validators first: the wiring below may already run validateForm.
    iHostValidator = new CURLValidator(this);
    iPortValidator = new CIntValidator(1, 65535, this);
    iRepositoryNameValidator =
        new QRegularExpressionValidator(QRegularExpression(kRepositoryNamePattern), this);
    iPasswordValidator = new QRegularExpressionValidator(QRegularExpression(kPasswordPattern), this);
    ui->lnEditServerHost->setValidator(iHostValidator);
    ui->lnEditServerPort->setValidator(iPortValidator);
    ui->lnEditRepositoryName->setValidator(iRepositoryNameValidator);
    ui->lnEditServerPW->setValidator(iPasswordValidator);

    connect(ui->pshBtnSave, &QPushButton::clicked, this, &CHVPSConfigDialog::onSaveClicked);
    connect(ui->pshBtnCancel, &QPushButton::clicked, this, &CHVPSConfigDialog::reject);
    connect(ui->tBtnChangePath, &QToolButton::clicked, this, &CHVPSConfigDialog::onChangePathClicked);
    connect(ui->hSliderMaxConnections, &QSlider::valueChanged, this,
            &CHVPSConfigDialog::onMaxConnValueChanged);
    connect(ui->hSliderPollInterval, &QSlider::valueChanged, this,
            &CHVPSConfigDialog::onPollIntervalValueChanged);
    connect(ui->lnEditServerHost, &QLineEdit::textEdited, this, &CHVPSConfigDialog::validateForm);
    connect(ui->lnEditServerPort, &QLineEdit::textEdited, this, &CHVPSConfigDialog::validateForm);
    connect(ui->lnEditRepositoryName, &QLineEdit::textEdited, this, &CHVPSConfigDialog::validateForm);
    connect(ui->lnEditServerPW, &QLineEdit::textEdited, this, &CHVPSConfigDialog::onServerPWChanged);
    connect(ui->spinBxRepositorySize, &QSpinBox::valueChanged, this, &CHVPSConfigDialog::validateForm);
    connect(ui->chkBoxShowPassword, &QCheckBox::toggled, this,
            [this](bool on) { onPasswordEchoChanged(on ? Qt::Checked : Qt::Unchecked); });
    connect(ui->chkBoxStoreSpaceName, &QCheckBox::toggled, this, &CHVPSConfigDialog::validateForm);
    connect(ui->cmbBoxReposSize, &QComboBox::currentIndexChanged, this, &CHVPSConfigDialog::validateForm);
    connect(ui->pshBtnUseHostName, &QPushButton::clicked, this, &CHVPSConfigDialog::onUseHostNameClicked);
    const QString hostName = QSysInfo::machineHostName();
    ui->pshBtnUseHostName->setText(tr("Use \"%1\"").arg(hostName));
    ui->pshBtnUseHostName->setVisible(!hostName.isEmpty() && !isLoopbackHost(hostName));

    ui->cmbBoxReposSize->addItems(s_ReposSizeUnits);
    ui->lblConnectionTimeOut->hide();
    ui->hSliderConnectionTimeOut->hide();
    ui->lblConnectionTimeOutText->hide();

    initDefaults();
}

CHVPSConfigDialog::~CHVPSConfigDialog() = default;

void CHVPSConfigDialog::initDefaults() {
    iValues.clear();
    iValues.insert(QStringLiteral("server-password-source"), QString());
    iValues.insert(QStringLiteral("server-password"), QString());
    iValues.insert(QStringLiteral("server-host"), tr("localhost"));
    iValues.insert(QStringLiteral("server-port"), tr("37655"));
    iValues.insert(QStringLiteral("repository-name"), tr("repo1"));
    iValues.insert(QStringLiteral("repository-data"), iDefaultRepositoryPath);
    iValues.insert(QStringLiteral("repository-size"), QStringLiteral("10") + s_ReposSizeUnits[1]);
    iValues.insert(QStringLiteral("store-space-titles"), QStringLiteral("yes"));
    iValues.insert(QStringLiteral("maximum-connections"), QStringLiteral("10"));
    iValues.insert(QStringLiteral("poll-interval"), QStringLiteral("60"));
    iValues.insert(QStringLiteral("connection-timeout"), QStringLiteral("12000"));
}

int CHVPSConfigDialog::execDialog() {
    prepareDialog();
    return exec();
}

void CHVPSConfigDialog::prepareDialog() {
    resetDialog();
    if (!iConfigFilePath.isEmpty() && readConfigFile(iConfigFilePath)) setFormData();
    validateForm();
}

void CHVPSConfigDialog::resetDialog() {
    initDefaults();
    setFormData();
    ui->chkBoxShowPassword->setChecked(false);
    ui->lnEditServerPW->setEchoMode(QLineEdit::Password);
    ui->toolBox->setCurrentIndex(0);
}

bool CHVPSConfigDialog::readSettings(const QString& path, QHash<QString, QString>& values) {
    QStringList lines;
    if (!readLines(path, lines)) return false;
    values.clear();
    for (const QString& raw : lines) {
        QString key, value;
        if (parseSetting(raw.trimmed(), key, value)) values.insert(key, value);
    }
    return true;
}

bool CHVPSConfigDialog::readConfigFile(const QString& path) {
    if (!readSettings(path, iValues)) {
        qCritical() << "failed to open:" << path;
        hvpsShowMessage(this, QMessageBox::Critical, tr("Error"), tr("Failed to load: %1").arg(path));
        return false;
    }
    if (iValues.value(QStringLiteral("repository-data")).isEmpty())
        iValues.insert(QStringLiteral("repository-data"), iDefaultRepositoryPath);
    return true;
}

bool CHVPSConfigDialog::writeConfigFile(const QString& path) {
    auto fail = [&](const char* what) {
        qCritical() << what << path;
        hvpsShowMessage(this, QMessageBox::Critical, tr("Error"), tr("Failed to save: %1").arg(path));
        return false;
    };

    QDir().mkpath(QFileInfo(path).absolutePath());

    QHash<QString, QString> pending = iValues;
    pending.remove(QStringLiteral("server-password-source"));

    // An existing file that cannot be read would lose its other lines: refuse instead.
    QStringList lines;
    if (QFileInfo::exists(path) && !readLines(path, lines)) return fail("failed to read before saving:");
    for (QString& line : lines) {
        line = line.trimmed();
        QString key, value;
        if (parseSetting(line, key, value) && pending.contains(key))
            line = QStringLiteral("%1=%2").arg(key, pending.take(key));
    }
    for (const QString& key : kManagedKeys)
        if (pending.contains(key)) lines.append(QStringLiteral("%1=%2").arg(key, pending.take(key)));
    QStringList rest = pending.keys();
    rest.sort();
    for (const QString& key : rest) lines.append(QStringLiteral("%1=%2").arg(key, pending.value(key)));

    QByteArray bytes;
    if (!hvpsEncodeAppleRoman(lines.join(QLatin1Char('\n')), bytes))
        return fail("a value has characters that Apple Roman cannot hold:");

    // Written beside the old file and renamed over it, so a crash never leaves it half written.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return fail("failed to open/create:");
    // The password digest lets anyone who reads it create spaces: the file is the user's alone.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(bytes) != bytes.size() || !file.commit()) return fail("failed to write:");
    return true;
}

void CHVPSConfigDialog::setFormData() {
    ui->lnEditServerPW->setText(iValues.value(QStringLiteral("server-password-source")));
    ui->lblPasswordHashText->setText(iValues.value(QStringLiteral("server-password")));
    ui->lnEditServerHost->setText(iValues.value(QStringLiteral("server-host")));
    ui->lnEditServerPort->setText(iValues.value(QStringLiteral("server-port")));
    ui->lnEditRepositoryName->setText(iValues.value(QStringLiteral("repository-name")));

    const QString data = iValues.value(QStringLiteral("repository-data"));
    setRepositoryPath(isValidRepoDataPath(data) == QValidator::Acceptable ? data : iDefaultRepositoryPath);

    const auto size = parseRepoSize(iValues.value(QStringLiteral("repository-size")));
    ui->spinBxRepositorySize->setValue(static_cast<int>(std::min<unsigned>(size.first, 1u << 30)));
    int unit = s_ReposSizeUnits.indexOf(size.second);
    ui->cmbBoxReposSize->setCurrentIndex(unit < 0 ? 1 : unit);

    ui->chkBoxStoreSpaceName->setChecked(iValues.value(QStringLiteral("store-space-titles")) ==
                                         QLatin1String("yes"));

    auto toSlider = [](const QString& text) {
        return static_cast<int>(std::min<unsigned>(text.toUInt(), 1u << 30));
    };
    const QString maxConn = iValues.value(QStringLiteral("maximum-connections"));
    ui->hSliderMaxConnections->setValue(toSlider(maxConn));
    ui->lblMaxConnectionsText->setText(maxConn);
    const QString poll = iValues.value(QStringLiteral("poll-interval"));
    ui->hSliderPollInterval->setValue(toSlider(poll));
    ui->lblPollIntervalText->setText(poll);
    const int timeout = toSlider(iValues.value(QStringLiteral("connection-timeout"))) / 1000;
    ui->hSliderConnectionTimeOut->setValue(timeout);
    ui->lblConnectionTimeOutText->setNum(timeout);
}

void CHVPSConfigDialog::getFormData() {
    iValues.insert(QStringLiteral("server-password"), ui->lblPasswordHashText->text());
    iValues.insert(QStringLiteral("server-host"), ui->lnEditServerHost->text());
    iValues.insert(QStringLiteral("server-port"), ui->lnEditServerPort->text());
    iValues.insert(QStringLiteral("repository-name"), ui->lnEditRepositoryName->text());
    iValues.insert(QStringLiteral("repository-data"), iRepositoryPath);
    iValues.insert(
        QStringLiteral("repository-size"),
        QStringLiteral("%1%2").arg(ui->spinBxRepositorySize->text(), ui->cmbBoxReposSize->currentText()));
    iValues.insert(QStringLiteral("store-space-titles"),
                   ui->chkBoxStoreSpaceName->isChecked() ? QStringLiteral("yes") : QStringLiteral("no"));
    iValues.insert(QStringLiteral("maximum-connections"),
                   QString::number(ui->hSliderMaxConnections->value()));
    iValues.insert(QStringLiteral("poll-interval"), QString::number(ui->hSliderPollInterval->value()));
    iValues.insert(QStringLiteral("connection-timeout"),
                   QString::number(ui->hSliderConnectionTimeOut->value() * 1000));
}

bool CHVPSConfigDialog::inputChanged() {
    const QHash<QString, QString> saved = iValues;
    getFormData();
    const bool changed = iValues != saved;
    iValues = saved;
    return changed;
}

QPair<unsigned, QString> CHVPSConfigDialog::parseRepoSize(const QString& text, bool* ok) {
    QPair<unsigned, QString> result(10, s_ReposSizeUnits[1]);
    static const QRegularExpression pattern(QStringLiteral("^(\\d+)\\s*(MB|GB|TB)$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch()) {
        if (ok) *ok = false;
        return result;
    }
    bool parsed = false;
    result.first = match.captured(1).toUInt(&parsed, 10);
    result.second = match.captured(2).toUpper();
    if (ok) *ok = parsed && s_ReposSizeUnits.contains(result.second);
    return result;
}

QValidator::State CHVPSConfigDialog::isValidRepoDataPath(const QString& path) const {
    if (!path.isEmpty() && QFileInfo(path).isDir()) return QValidator::Acceptable;
    if (path.compare(iDefaultRepositoryPath, Qt::CaseInsensitive) == 0) return QValidator::Acceptable;
    return QValidator::Intermediate;
}

QString CHVPSConfigDialog::clipTextToWidgetWidth(const QString& text, QWidget* widget, bool setToolTip,
                                                 Qt::TextElideMode mode) {
    if (!widget) return text;
    if (setToolTip) widget->setToolTip(text);
    const QFontMetrics metrics = widget->fontMetrics();
    const int width = widget->width();
    if (metrics.horizontalAdvance(text) >= width) return metrics.elidedText(text, mode, width);
    return text;
}

void CHVPSConfigDialog::setRepositoryPath(const QString& path) {
    iRepositoryPath = path;
    showRepositoryPath();
}

void CHVPSConfigDialog::showRepositoryPath() {
    ui->lblRepositoryDataText->setText(
        clipTextToWidgetWidth(iRepositoryPath, ui->lblRepositoryDataText, true, Qt::ElideMiddle));
}

bool CHVPSConfigDialog::checkRepoPathChanged(const QString& folder) {
    const QFileInfo current(QDir(iRepositoryPath).filePath(QStringLiteral("space-db")));
    const QFileInfo proposed(QDir(folder).filePath(QStringLiteral("space-db")));
    if (current.exists() && current.size() != 0 && (!proposed.exists() || proposed.size() == 0)) {
        hvpsShowMessage(this, QMessageBox::Warning, tr("Change Path"),
                        tr("To change the repository path, you have to stop the server and move the "
                           "repository data first."));
        return false;
    }
    return true;
}

bool CHVPSConfigDialog::hasValidConfigFile() {
    if (!readConfigFile(iConfigFilePath)) return false;
    auto value = [this](const char* key) { return iValues.value(QLatin1String(key)); };
    if (value("server-password").isEmpty()) return false;
    if (validateText(CURLValidator(), value("server-host")) != QValidator::Acceptable) return false;
    if (validateText(CIntValidator(1, 65535), value("server-port")) != QValidator::Acceptable) return false;
    if (!QRegularExpression(kRepositoryNamePattern).match(value("repository-name")).hasMatch()) return false;
    if (isValidRepoDataPath(value("repository-data")) != QValidator::Acceptable) return false;
    bool ok = false;
    const auto size = parseRepoSize(value("repository-size"), &ok);
    if (!ok || size.first < 2 || size.first > 1023 || !s_ReposSizeUnits.contains(size.second)) return false;
    const QString titles = value("store-space-titles");
    if (titles != QLatin1String("yes") && titles != QLatin1String("no")) return false;
    if (validateText(CIntValidator(10, 255), value("maximum-connections")) != QValidator::Acceptable)
        return false;
    const long timeout = value("connection-timeout").toLong(&ok, 10);
    return ok && timeout > 0;
}

QString CHVPSConfigDialog::getConfigValue(const char* key) {
    const QString name = QLatin1String(key);
    if (readConfigFile(iConfigFilePath) && iValues.contains(name)) return iValues.value(name);
    initDefaults();
    return iValues.value(name);
}

bool CHVPSConfigDialog::isLoopbackHost(const QString& host) {
    const QString name = host.trimmed().toLower();
    if (name == QLatin1String("localhost") || name.endsWith(QLatin1String(".localhost"))) return true;
    if (name == QLatin1String("::1") || name == QLatin1String("[::1]")) return true;
    static const QRegularExpression loopback4(QStringLiteral("^127(\\.\\d{1,3}){3}$"));
    return loopback4.match(name).hasMatch();
}

void CHVPSConfigDialog::onUseHostNameClicked() {
    ui->lnEditServerHost->setText(QSysInfo::machineHostName());
    validateForm();
}

void CHVPSConfigDialog::onSaveClicked() {
    // Cancel keeps the dialog open with the edits.
    if (iServerRunning && inputChanged() && iServerRunning() &&
        !hvpsConfirm(this, tr("Restart Server"),
                     tr("Saving restarts the server; connected clients will reconnect.")))
        return;
    getFormData();
    if (writeConfigFile(iConfigFilePath)) accept();
}

void CHVPSConfigDialog::onChangePathClicked() {
    const QString start = iRepositoryPath.isEmpty() ? iDefaultRepositoryPath : iRepositoryPath;
    const QString folder = selectPath(tr("Select Path"), start);
    if (!folder.isEmpty() && checkRepoPathChanged(folder)) setRepositoryPath(folder);
    validateForm();
}

QString CHVPSConfigDialog::selectPath(const QString& caption, const QString& dir) {
    QString folder = QFileDialog::getExistingDirectory(
        this, caption, dir,
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks | QFileDialog::DontUseNativeDialog);
    if (folder.isEmpty()) return folder;
    folder = QDir::fromNativeSeparators(folder);
    if (!folder.endsWith(QLatin1Char('/'))) folder += QLatin1Char('/');
    return folder;
}

void CHVPSConfigDialog::onPasswordEchoChanged(int state) {
    ui->lnEditServerPW->setEchoMode(state == Qt::Checked ? QLineEdit::Normal : QLineEdit::Password);
    validateForm();
}

void CHVPSConfigDialog::onServerPWChanged(const QString&) {
    const QString password = ui->lnEditServerPW->text();
    if (password.isEmpty())
        ui->lblPasswordHashText->clear();
    else
        ui->lblPasswordHashText->setText(
            QString::fromLatin1(
                QCryptographicHash::hash(password.toLatin1(), QCryptographicHash::Md5).toHex())
                .toUpper());
    validateForm();
}

void CHVPSConfigDialog::onMaxConnValueChanged(int value) {
    ui->lblMaxConnectionsText->setNum(value);
    validateForm();
}

void CHVPSConfigDialog::onPollIntervalValueChanged(int value) {
    ui->lblPollIntervalText->setNum(value);
    validateForm();
}

void CHVPSConfigDialog::onConnectionTimeOutValueChanged(int value) {
    ui->lblConnectionTimeOutText->setNum(value);
    validateForm();
}

void CHVPSConfigDialog::setBackground(QWidget* widget, bool valid) {
    const QColor color = valid ? QApplication::palette().color(QPalette::Base) : QColor(255, 130, 130);
    QPalette palette = widget->palette();
    palette.setColor(QPalette::All, QPalette::Base, color);
    if (qobject_cast<QLabel*>(widget)) {
        // A label shows no base; it is filled with the colour while invalid.
        palette.setColor(QPalette::All, QPalette::Window, color);
        widget->setAutoFillBackground(!valid);
    }
    widget->setPalette(palette);
}

void CHVPSConfigDialog::validateForm() {
    const bool hostOk = validateText(*iHostValidator, ui->lnEditServerHost->text()) == QValidator::Acceptable;
    const bool portOk = validateText(*iPortValidator, ui->lnEditServerPort->text()) == QValidator::Acceptable;
    const bool nameOk =
        validateText(*iRepositoryNameValidator, ui->lnEditRepositoryName->text()) == QValidator::Acceptable;
    const bool sizeOk = ui->spinBxRepositorySize->hasAcceptableInput();
    const bool pathOk = isValidRepoDataPath(iRepositoryPath) == QValidator::Acceptable;
    const bool passwordOk =
        validateText(*iPasswordValidator, ui->lnEditServerPW->text()) == QValidator::Acceptable ||
        !ui->lblPasswordHashText->text().isEmpty();

    setBackground(ui->lnEditServerHost, hostOk);
    setBackground(ui->lnEditServerPort, portOk);
    setBackground(ui->lnEditRepositoryName, nameOk);
    setBackground(ui->spinBxRepositorySize, sizeOk);
    setBackground(ui->lblRepositoryDataText, pathOk);
    setBackground(ui->lnEditServerPW, passwordOk);
    ui->frmHostWarning->setVisible(isLoopbackHost(ui->lnEditServerHost->text()));

    const bool allOk = hostOk && portOk && nameOk && sizeOk && pathOk && passwordOk;
    ui->pshBtnSave->setEnabled(allOk && inputChanged());
}

void CHVPSConfigDialog::reject() { QDialog::reject(); }

void CHVPSConfigDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    activateWindow();
    ui->lnEditServerPW->setFocus();
    showRepositoryPath();
}

void CHVPSConfigDialog::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    showRepositoryPath();
}
