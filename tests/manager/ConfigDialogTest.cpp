// The configuration dialog: how it reads and rewrites hvps.config, its validators, the checks
// before a start, and what the form enables and colours.
#include <QCryptographicHash>
#include <QLineEdit>

#include "CHVPSAppleRoman.h"
#include "CHVPSConfigDialog.h"
#include "CHVPSValidators.h"
#include "ManagerTestSupport.h"
#include "ui_dlgConfig.h"

using namespace hvpstest;

namespace {
const QColor kInvalid(255, 130, 130);

// The dialog with a scripted folder chooser.
class TestDialog : public CHVPSConfigDialog {
public:
    QString iNextFolder;

protected:
    QString selectPath(const QString&, const QString&) override { return iNextFolder; }
};

QColor baseColour(QWidget* widget) { return widget->palette().color(QPalette::Base); }
}  // namespace

class ConfigDialogTest : public QObject {
    Q_OBJECT

    QTemporaryDir* iDir = nullptr;
    TestDialog* iDialog = nullptr;
    QString iConfig;
    QString iRepository;

private slots:
    void init() {
        messages().clear();
        iDir = new QTemporaryDir;
        iConfig = iDir->path() + "/hvps.config";
        iRepository = iDir->path() + "/repo/";
        QDir().mkpath(iRepository);
        iDialog = new TestDialog;
        iDialog->iConfigFilePath = iConfig;
        iDialog->iDefaultRepositoryPath = iRepository;
    }

    void cleanup() {
        delete iDialog;
        delete iDir;
    }

    void readingSplitsLinesLikeTheFormExpects_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("present");
        QTest::addColumn<QString>("value");
        QTest::newRow("plain setting") << QByteArray("server-port=8080") << "server-port" << true << "8080";
        QTest::newRow("the key keeps its trailing blank")
            << QByteArray("server-port = 8080") << "server-port " << true << " 8080";
        QTest::newRow("line trimmed at both ends")
            << QByteArray("  \tserver-host=example.org \t ") << "server-host" << true << "example.org";
        QTest::newRow("two equals signs are no setting")
            << QByteArray("server-host=a=b") << "server-host" << false << "";
        QTest::newRow("comment") << QByteArray("  #server-host=x") << "#server-host" << false << "";
        QTest::newRow("empty key") << QByteArray("=x") << "" << false << "";
        QTest::newRow("later line wins")
            << QByteArray("server-port=1\nserver-port=2\n") << "server-port" << true << "2";
        QTest::newRow("CR LF line ends")
            << QByteArray("server-port=3\r\nserver-host=h\r\n") << "server-host" << true << "h";
        QTest::newRow("empty value") << QByteArray("server-host=") << "server-host" << true << "";
        QTest::newRow("Apple Roman bytes")
            << QByteArray("repository-name=caf\x8e") << "repository-name" << true << "caf\u00e9";
        QTest::newRow("UTF-8 text") << QByteArray("repository-name=caf\xc3\xa9") << "repository-name" << true
                                    << "caf\u00e9";
    }

    void readingSplitsLinesLikeTheFormExpects() {
        QFETCH(QByteArray, content);
        QFETCH(QString, key);
        QFETCH(bool, present);
        QFETCH(QString, value);
        writeFile(iConfig, content);
        QVERIFY(iDialog->readConfigFile(iConfig));
        QCOMPARE(iDialog->values().contains(key), present);
        if (present) QCOMPARE(iDialog->values().value(key), value);
    }

    void readingFillsAMissingOrEmptyRepositoryWithTheDefault() {
        for (const QByteArray& content : {QByteArray("repository-data="), QByteArray("server-port=1")}) {
            writeFile(iConfig, content);
            QVERIFY(iDialog->readConfigFile(iConfig));
            QCOMPARE(iDialog->values().value("repository-data"), iRepository);
        }
    }

    void readingAMissingFileReportsItAndKeepsThePreviousValues() {
        writeFile(iConfig, "server-port=4711");
        QVERIFY(iDialog->readConfigFile(iConfig));
        const QString missing = iDir->path() + "/absent.config";
        QVERIFY(!iDialog->readConfigFile(missing));
        QCOMPARE(messages().size(), 1);
        QCOMPARE(messages()[0].icon, QMessageBox::Critical);
        QCOMPARE(messages()[0].title, QString("Error"));
        QCOMPARE(messages()[0].text, "Failed to load: " + missing);
        QCOMPARE(iDialog->values().value("server-port"), QString("4711"));
    }

    void savingKeepsOtherLinesInPlaceAndRewritesOnlyTheFirstOccurrence() {
        writeFile(iConfig,
                  "# Comment line   \n"
                  "  \n"
                  "server-password-source=secret\n"
                  "unknown-key = keep me\n"
                  "server-port=1000\n"
                  "server-host=a=b\n"
                  "server-port=2000\n"
                  "   trace-on=yes   \n");
        iDialog->prepareDialog();
        QLineEdit* port = iDialog->form()->lnEditServerPort;
        port->selectAll();
        QTest::keyClicks(port, "4242");
        iDialog->onSaveClicked();
        QCOMPARE(iDialog->result(), int(QDialog::Accepted));
        const QByteArray expected =
            "# Comment line\n"
            "\n"
            "server-password-source=secret\n"
            "unknown-key = keep me\n"
            "server-port=4242\n"
            "server-host=a=b\n"
            "server-port=2000\n"
            "trace-on=yes\n"
            "server-password=\n"
            "server-host=\n"
            "repository-name=\n"
            "repository-data=" +
            iRepository.toUtf8() +
            "\n"
            "repository-size=10GB\n"
            "store-space-titles=no\n"
            "maximum-connections=10\n"
            "poll-interval=60\n"
            "connection-timeout=10000";
        QCOMPARE(readFile(iConfig), expected);
    }

    void savingAFileWrittenByTheFormChangesNothing() {
        writeFile(iConfig, configText(iRepository));
        iDialog->prepareDialog();
        QVERIFY(!iDialog->form()->pshBtnSave->isEnabled());
        iDialog->onSaveClicked();
        QCOMPARE(readFile(iConfig), configText(iRepository));
    }

    void savingReplacesTheFileByRenameOwnerOnlyAndLeavesNoTemporaryFile() {
        writeFile(iConfig, configText(iRepository));
        QFile::setPermissions(iConfig, QFile::permissions(iConfig) | QFileDevice::ReadOther);
        const ino_t before = inodeOf(iConfig);
        QVERIFY(iDialog->readConfigFile(iConfig));
        QVERIFY(iDialog->writeConfigFile(iConfig));
        QVERIFY(inodeOf(iConfig) != before);
        QCOMPARE(modeOf(iConfig), mode_t(0600));
        QCOMPARE(QDir(iDir->path()).entryList(QDir::Files), QStringList{"hvps.config"});
    }

    void savingWhileTheServerRunsAsksFirstAndCancelKeepsTheEdits() {
        bool running = true;
        iDialog->iServerRunning = [&running] { return running; };
        for (const bool answer : {false, true}) {
            messages().clear();
            confirmAnswer() = answer;
            writeFile(iConfig, configText(iRepository));
            iDialog->prepareDialog();
            iDialog->setResult(QDialog::Rejected);
            iDialog->form()->lnEditServerHost->setText("server.example");
            iDialog->onSaveClicked();
            QCOMPARE(messageTitles(), QStringList{"Restart Server"});
            QCOMPARE(messages()[0].text,
                     QString("Saving restarts the server; connected clients will reconnect."));
            QCOMPARE(readFile(iConfig).contains("server-host=server.example"), answer);
            QCOMPARE(iDialog->result(), answer ? QDialog::Accepted : QDialog::Rejected);
            QCOMPARE(iDialog->form()->lnEditServerHost->text(), QString("server.example"));
        }
        // Stopped: saved without a question.
        running = false;
        messages().clear();
        iDialog->prepareDialog();
        iDialog->form()->lnEditServerPort->setText("8080");
        iDialog->onSaveClicked();
        QCOMPARE(messageTitles(), QStringList());
        QVERIFY(readFile(iConfig).contains("server-port=8080"));
        confirmAnswer() = true;
    }

    void savingWritesAppleRomanAndRefusesTextItCannotHold() {
        const QString cafe = iDir->path() + "/caf\u00e9/";
        QDir().mkpath(cafe);
        writeFile(iConfig, configText(iRepository));
        iDialog->prepareDialog();
        iDialog->setRepositoryPath(cafe);
        iDialog->onSaveClicked();
        QVERIFY(
            readFile(iConfig).contains("repository-data=" + QFile::encodeName(iDir->path()) + "/caf\x8e/"));
        QVERIFY(iDialog->readConfigFile(iConfig));
        QCOMPARE(iDialog->values().value("repository-data"), cafe);

        const QByteArray before = readFile(iConfig);
        const QString cyrillic = iDir->path() + "/\u0416/";
        QDir().mkpath(cyrillic);
        iDialog->setResult(0);
        iDialog->setRepositoryPath(cyrillic);
        iDialog->onSaveClicked();
        QVERIFY(iDialog->result() != QDialog::Accepted);
        QCOMPARE(readFile(iConfig), before);
        QCOMPARE(messageTitles(), QStringList{"Error"});
        QCOMPARE(messages()[0].text, "Failed to save: " + iConfig);
    }

    void appleRomanDecodesAndEncodesEveryByteBackToItself() {
        QByteArray all;
        for (int i = 0; i < 256; ++i) all.append(char(i));
        QByteArray again;
        QVERIFY(hvpsEncodeAppleRoman(hvpsDecodeAppleRoman(all), again));
        QCOMPARE(again, all);
        QCOMPARE(hvpsDecodeAppleRoman("\x8e\x9f\xdb\xa5"), QString("\u00e9\u00fc\u20ac\u2022"));
        QVERIFY(!hvpsEncodeAppleRoman(QString("\u0416"), again));
    }

    void repositorySizeParsesNumberAndUnit_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<uint>("number");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<bool>("ok");
        QTest::newRow("no blank") << "500MB" << 500u << "MB" << true;
        QTest::newRow("blank") << "500 MB" << 500u << "MB" << true;
        QTest::newRow("tab") << "2\tTB" << 2u << "TB" << true;
        QTest::newRow("lower-case unit") << "500mb" << 10u << "GB" << false;
        QTest::newRow("unknown unit") << "500KB" << 10u << "GB" << false;
        QTest::newRow("no number") << "MB" << 10u << "GB" << false;
        QTest::newRow("leading blank") << " 5GB" << 10u << "GB" << false;
        QTest::newRow("number too large") << "99999999999GB" << 0u << "GB" << false;
    }

    void repositorySizeParsesNumberAndUnit() {
        QFETCH(QString, text);
        QFETCH(uint, number);
        QFETCH(QString, unit);
        QFETCH(bool, ok);
        bool parsed = !ok;
        const auto size = CHVPSConfigDialog::parseRepoSize(text, &parsed);
        QCOMPARE(size.first, number);
        QCOMPARE(size.second, unit);
        QCOMPARE(parsed, ok);
    }

    void intValidatorAcceptsOnlyNumbersInRange_data() {
        QTest::addColumn<QString>("input");
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("after");
        QTest::newRow("in range") << "8080" << int(QValidator::Acceptable) << "8080";
        QTest::newRow("upper bound") << "65535" << int(QValidator::Acceptable) << "65535";
        QTest::newRow("above") << "65536" << int(QValidator::Intermediate) << "65536";
        QTest::newRow("zero") << "0" << int(QValidator::Intermediate) << "0";
        QTest::newRow("leading zero made canonical") << "080" << int(QValidator::Acceptable) << "80";
        QTest::newRow("letter refused") << "a" << int(QValidator::Invalid) << "a";
        QTest::newRow("empty while typing") << "" << int(QValidator::Intermediate) << "";
    }

    void intValidatorAcceptsOnlyNumbersInRange() {
        QFETCH(QString, input);
        QFETCH(int, state);
        QFETCH(QString, after);
        CIntValidator validator(1, 65535);
        int pos = input.size();
        QCOMPARE(int(validator.validate(input, pos)), state);
        QCOMPARE(input, after);
        QVERIFY(pos <= input.size());
    }

    void urlValidatorAcceptsABareHostOnly_data() {
        QTest::addColumn<QString>("input");
        QTest::addColumn<int>("state");
        QTest::newRow("host name") << "localhost" << int(QValidator::Acceptable);
        QTest::newRow("IPv4 address") << "192.168.1.10" << int(QValidator::Acceptable);
        QTest::newRow("mixed case") << "Server.Example.ORG" << int(QValidator::Acceptable);
        QTest::newRow("surrounding blanks") << " localhost " << int(QValidator::Acceptable);
        QTest::newRow("with port") << "localhost:8080" << int(QValidator::Intermediate);
        QTest::newRow("with user") << "me@localhost" << int(QValidator::Intermediate);
        QTest::newRow("inner blank") << "my host" << int(QValidator::Intermediate);
        QTest::newRow("empty") << "" << int(QValidator::Intermediate);
    }

    void urlValidatorAcceptsABareHostOnly() {
        QFETCH(QString, input);
        QFETCH(int, state);
        CURLValidator validator;
        int pos = 0;
        QCOMPARE(int(validator.validate(input, pos)), state);
    }

    void validConfigFileNeedsEveryValueWithinTheFormsLimits_data() {
        QTest::addColumn<QString>("line");  // replaces the key's line; a key without "=" removes it
        QTest::addColumn<bool>("valid");
        QTest::newRow("complete file") << "" << true;
        QTest::newRow("no password hash") << "server-password=" << false;
        QTest::newRow("password line missing") << "server-password" << false;
        QTest::newRow("host with port") << "server-host=localhost:80" << false;
        QTest::newRow("port 65536") << "server-port=65536" << false;
        QTest::newRow("name with blank") << "repository-name=my repo" << false;
        QTest::newRow("name of 256 characters") << "repository-name=" + QString(256, 'a') << false;
        QTest::newRow("repository missing") << "repository-data=/nonexistent/repo/" << false;
        QTest::newRow("size 1 GB") << "repository-size=1GB" << false;
        QTest::newRow("size 2 MB") << "repository-size=2MB" << true;
        QTest::newRow("size 1024 GB") << "repository-size=1024GB" << false;
        QTest::newRow("titles true") << "store-space-titles=true" << false;
        QTest::newRow("9 connections") << "maximum-connections=9" << false;
        QTest::newRow("256 connections") << "maximum-connections=256" << false;
        QTest::newRow("timeout 0") << "connection-timeout=0" << false;
        QTest::newRow("timeout with unit") << "connection-timeout=12s" << false;
        QTest::newRow("timeout missing") << "connection-timeout" << false;
        QTest::newRow("poll interval not checked") << "poll-interval=abc" << true;
    }

    void validConfigFileNeedsEveryValueWithinTheFormsLimits() {
        QFETCH(QString, line);
        QFETCH(bool, valid);
        QStringList lines = QString::fromUtf8(configText(iRepository)).split('\n');
        if (!line.isEmpty()) {
            const QString key = line.section('=', 0, 0);
            lines.removeIf([&](const QString& l) { return l.startsWith(key + "="); });
            if (line.contains('=')) lines << line;
        }
        writeFile(iConfig, lines.join('\n').toUtf8());
        QCOMPARE(iDialog->hasValidConfigFile(), valid);
    }

    void theDefaultRepositoryCountsAsValidBeforeItExists() {
        iDialog->iDefaultRepositoryPath = iDir->path() + "/Later/";
        QCOMPARE(iDialog->isValidRepoDataPath(iDir->path() + "/later/"), QValidator::Acceptable);
        QCOMPARE(iDialog->isValidRepoDataPath(iDir->path() + "/other/"), QValidator::Intermediate);
    }

    void formColoursInvalidFieldsAndEnablesSaveOnlyForAChangedValidForm() {
        writeFile(iConfig, configText(iRepository));
        iDialog->prepareDialog();
        Ui::dlgConfig* ui = iDialog->form();
        QVERIFY(!ui->pshBtnSave->isEnabled());

        ui->lnEditServerPort->selectAll();
        QTest::keyClicks(ui->lnEditServerPort, "4242");
        QCOMPARE(ui->lnEditServerPort->text(), QString("4242"));
        QVERIFY(ui->pshBtnSave->isEnabled());

        ui->lnEditServerPort->selectAll();
        QTest::keyClicks(ui->lnEditServerPort, "0x");
        QCOMPARE(ui->lnEditServerPort->text(), QString("0"));
        QVERIFY(!ui->pshBtnSave->isEnabled());
        QCOMPARE(baseColour(ui->lnEditServerPort), kInvalid);

        ui->lnEditServerPort->selectAll();
        QTest::keyClicks(ui->lnEditServerPort, "37655");
        QVERIFY(baseColour(ui->lnEditServerPort) != kInvalid);
        QVERIFY(!ui->pshBtnSave->isEnabled());  // back to the values read

        ui->lnEditServerHost->selectAll();
        QTest::keyClicks(ui->lnEditServerHost, "host:80");
        QCOMPARE(baseColour(ui->lnEditServerHost), kInvalid);
        QVERIFY(!ui->pshBtnSave->isEnabled());
        ui->lnEditServerHost->selectAll();
        QTest::keyClicks(ui->lnEditServerHost, "example.org");
        QVERIFY(ui->pshBtnSave->isEnabled());

        ui->lnEditRepositoryName->selectAll();
        QTest::keyClicks(ui->lnEditRepositoryName, "bad!");
        QCOMPARE(ui->lnEditRepositoryName->text(), QString("bad"));
    }

    void passwordIsHashedAndAStoredHashKeepsTheFormValid() {
        writeFile(iConfig, configText(iRepository));
        iDialog->prepareDialog();
        Ui::dlgConfig* ui = iDialog->form();
        // The field is empty, the stored hash keeps it valid.
        QVERIFY(ui->lnEditServerPW->text().isEmpty());
        QVERIFY(baseColour(ui->lnEditServerPW) != kInvalid);

        QTest::keyClicks(ui->lnEditServerPW, "sec@ret");
        QCOMPARE(ui->lnEditServerPW->text(), QString("secret"));
        QCOMPARE(ui->lblPasswordHashText->text(), QString("5EBE2294ECD0E0F08EAB7690D2A6EE69"));
        QVERIFY(!ui->pshBtnSave->isEnabled());  // same hash as stored

        QTest::keyClick(ui->lnEditServerPW, Qt::Key_Backspace);
        QCOMPARE(ui->lblPasswordHashText->text(),
                 QString::fromLatin1(QCryptographicHash::hash("secre", QCryptographicHash::Md5).toHex())
                     .toUpper());
        QVERIFY(ui->pshBtnSave->isEnabled());

        ui->lnEditServerPW->selectAll();
        QTest::keyClick(ui->lnEditServerPW, Qt::Key_Backspace);
        QVERIFY(ui->lblPasswordHashText->text().isEmpty());
        QCOMPARE(baseColour(ui->lnEditServerPW), kInvalid);
        QVERIFY(!ui->pshBtnSave->isEnabled());

        QCOMPARE(ui->lnEditServerPW->echoMode(), QLineEdit::Password);
        ui->chkBoxShowPassword->setChecked(true);
        QCOMPARE(ui->lnEditServerPW->echoMode(), QLineEdit::Normal);
    }

    void connectionTimeoutIsShownInSecondsAndSavedInWholeSeconds_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("seconds");
        QTest::addColumn<QString>("saved");
        QTest::newRow("whole seconds") << "12000" << 12 << "12000";
        QTest::newRow("rounded down") << "12500" << 12 << "12000";
    }

    void connectionTimeoutIsShownInSecondsAndSavedInWholeSeconds() {
        QFETCH(QString, stored);
        QFETCH(int, seconds);
        QFETCH(QString, saved);
        QByteArray content = configText(iRepository);
        content.replace("connection-timeout=12000", "connection-timeout=" + stored.toUtf8());
        writeFile(iConfig, content);
        iDialog->prepareDialog();
        QCOMPARE(iDialog->form()->hSliderConnectionTimeOut->value(), seconds);
        QVERIFY(iDialog->form()->hSliderConnectionTimeOut->isHidden());
        iDialog->onSaveClicked();
        QVERIFY(readFile(iConfig).endsWith("connection-timeout=" + saved.toUtf8()));
    }

    void changingTheRepositoryRefusesToLeaveItsDataBehind_data() {
        QTest::addColumn<int>("currentSize");  // -1: no space-db
        QTest::addColumn<int>("newSize");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("data, new folder without space-db") << 5 << -1 << false;
        QTest::newRow("data, new folder with empty space-db") << 5 << 0 << false;
        QTest::newRow("data, new folder with data") << 5 << 5 << true;
        QTest::newRow("empty space-db") << 0 << -1 << true;
        QTest::newRow("no space-db") << -1 << -1 << true;
    }

    void changingTheRepositoryRefusesToLeaveItsDataBehind() {
        QFETCH(int, currentSize);
        QFETCH(int, newSize);
        QFETCH(bool, allowed);
        const QString target = iDir->path() + "/moved/";
        QDir().mkpath(target);
        if (currentSize >= 0) writeFile(iRepository + "space-db", QByteArray(currentSize, 'x'));
        if (newSize >= 0) writeFile(target + "space-db", QByteArray(newSize, 'x'));
        writeFile(iConfig, configText(iRepository));
        iDialog->prepareDialog();
        iDialog->iNextFolder = target;
        iDialog->onChangePathClicked();
        QCOMPARE(iDialog->repositoryPath(), allowed ? target : iRepository);
        QCOMPARE(messageTitles(), allowed ? QStringList() : QStringList{"Change Path"});
    }

    void configValueFallsBackToTheDefaults() {
        writeFile(iConfig, "server-port=1234");
        QCOMPARE(iDialog->getConfigValue("server-port"), QString("1234"));
        QCOMPARE(iDialog->getConfigValue("repository-data"), iRepository);
        QFile::remove(iConfig);
        QCOMPARE(iDialog->getConfigValue("server-port"), QString("37655"));
    }
};

HVPS_MANAGER_TEST_MAIN(ConfigDialogTest)
#include "ConfigDialogTest.moc"
