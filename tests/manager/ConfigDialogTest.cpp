// The configuration dialog: how it reads and rewrites hvps.config, its validators, the checks
// before a start, and what the form enables and colours.
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

class ConfigDialogTest : public ManagerTestCase {
    Q_OBJECT

    std::unique_ptr<TestDialog> iDialog;
    QString iConfig;
    QString iRepository;

    // The form filled from a configuration file of this content.
    Ui::dlgConfig* prepared(const QByteArray& content) {
        writeFile(iConfig, content);
        iDialog->prepareDialog();
        return iDialog->form();
    }

private slots:
    void init() {
        setUpHome();
        iConfig = path("hvps.config");
        iRepository = path("repo/");
        QDir().mkpath(iRepository);
        iDialog = std::make_unique<TestDialog>();
        iDialog->iConfigFilePath = iConfig;
        iDialog->iDefaultRepositoryPath = iRepository;
    }

    void cleanup() {
        iDialog.reset();
        tearDownHome();
    }

    void readingSplitsLinesLikeTheFormExpects_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("setting");  // "key=value" as read; a key alone: no such setting
        QTest::newRow("trimmed at both ends")
            << QByteArray("  \tserver-host=a.org \t ") << "server-host=a.org";
        QTest::newRow("two equals signs are no setting") << QByteArray("server-host=a=b") << "server-host";
        QTest::newRow("comment") << QByteArray("  #server-host=x") << "#server-host";
        QTest::newRow("later line wins") << QByteArray("server-port=1\nserver-port=2\n") << "server-port=2";
        QTest::newRow("CR LF line ends")
            << QByteArray("server-port=3\r\nserver-host=h\r\n") << "server-host=h";
        QTest::newRow("empty value") << QByteArray("server-host=") << "server-host=";
        QTest::newRow("Apple Roman") << QByteArray("repository-name=caf\x8e") << "repository-name=caf\u00e9";
        QTest::newRow("UTF-8") << QByteArray("repository-name=caf\xc3\xa9") << "repository-name=caf\u00e9";
    }

    void readingSplitsLinesLikeTheFormExpects() {
        QFETCH(QByteArray, content);
        QFETCH(QString, setting);
        writeFile(iConfig, content);
        QVERIFY(iDialog->readConfigFile(iConfig));
        const QString key = setting.section('=', 0, 0);
        QCOMPARE(iDialog->values().value(key, "<none>"),
                 setting.contains('=') ? setting.section('=', 1) : "<none>");
    }

    void missingValuesAndFilesFallBack() {
        // An empty or missing repository is the default one.
        for (const QByteArray& content : {QByteArray("repository-data="), QByteArray("server-port=4711")}) {
            writeFile(iConfig, content);
            QVERIFY(iDialog->readConfigFile(iConfig));
            QCOMPARE(iDialog->values().value("repository-data"), iRepository);
        }
        QCOMPARE(iDialog->getConfigValue("server-port"), QString("4711"));
        // A file that cannot be read is reported and leaves the values read before.
        const QString missing = path("absent.config");
        QVERIFY(!iDialog->readConfigFile(missing));
        QCOMPARE(messages().size(), 1);
        QCOMPARE(messages()[0].icon, QMessageBox::Critical);
        QCOMPARE(messages()[0].text, "Failed to load: " + missing);
        QCOMPARE(iDialog->values().value("server-port"), QString("4711"));
        QFile::remove(iConfig);
        QCOMPARE(iDialog->getConfigValue("server-port"), QString("37655"));
    }

    void savingKeepsOtherLinesInPlaceAndRewritesOnlyTheFirstOccurrence() {
        prepared(
            "# Comment line   \n"
            "  \n"
            "server-password-source=secret\n"
            "unknown-key = keep me\n"
            "server-port=1000\n"
            "server-host=a=b\n"
            "server-port=2000\n"
            "   trace-on=yes   \n")
            ->lnEditServerPort->setText("4242");
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

    void savingAFileOfTheFormKeepsItsBytesTheTimeoutInWholeSecondsAndReplacesItOwnerOnly() {
        QByteArray content = configText(iRepository);
        writeFile(iConfig, content.replace("connection-timeout=12000", "connection-timeout=12500"));
        QFile::setPermissions(iConfig, QFile::permissions(iConfig) | QFileDevice::ReadOther);
        const ino_t before = inodeOf(iConfig);
        iDialog->prepareDialog();
        QCOMPARE(iDialog->form()->hSliderConnectionTimeOut->value(), 12);  // shown in seconds
        QVERIFY(iDialog->form()->hSliderConnectionTimeOut->isHidden());
        iDialog->onSaveClicked();
        QCOMPARE(readFile(iConfig), configText(iRepository));
        QVERIFY(inodeOf(iConfig) != before);
        QCOMPARE(modeOf(iConfig), mode_t(0600));
        QCOMPARE(QDir(iDir->path()).entryList(QDir::Files), QStringList{"hvps.config"});
    }

    void savingWhileTheServerRunsAsksFirstAndCancelKeepsTheEdits() {
        bool running = true;
        iDialog->iServerRunning = [&running] { return running; };
        for (const auto& [serverRuns, answer] : {std::pair{true, false}, {true, true}, {false, false}}) {
            running = serverRuns;
            messages().clear();
            confirmAnswer() = answer;
            prepared(configText(iRepository))->lnEditServerHost->setText("server.example");
            iDialog->setResult(QDialog::Rejected);
            iDialog->onSaveClicked();
            QCOMPARE(messageTitles(), running ? QStringList{"Restart Server"} : QStringList());
            if (running)
                QCOMPARE(messages()[0].text,
                         QString("Saving restarts the server; connected clients will reconnect."));
            const bool saved = !running || answer;
            QCOMPARE(readFile(iConfig).contains("server-host=server.example"), saved);
            QCOMPARE(iDialog->result(), saved ? QDialog::Accepted : QDialog::Rejected);
            QCOMPARE(iDialog->form()->lnEditServerHost->text(), QString("server.example"));
        }
    }

    void appleRomanRoundTripsEveryByteAndSavingRefusesTextItCannotHold() {
        QByteArray all, again;
        for (int i = 0; i < 256; ++i) all.append(char(i));
        QVERIFY(hvpsEncodeAppleRoman(hvpsDecodeAppleRoman(all), again));
        QCOMPARE(again, all);
        QCOMPARE(hvpsDecodeAppleRoman("\x8e\x9f\xdb\xa5"), QString("\u00e9\u00fc\u20ac\u2022"));

        const QString cafe = path("caf\u00e9/");
        QDir().mkpath(cafe);
        prepared(configText(iRepository));
        iDialog->setRepositoryPath(cafe);
        iDialog->onSaveClicked();
        const QByteArray before = readFile(iConfig);
        QVERIFY(before.contains("repository-data=" + QFile::encodeName(iDir->path()) + "/caf\x8e/"));

        const QString cyrillic = path("\u0416/");
        QDir().mkpath(cyrillic);
        iDialog->setResult(0);
        iDialog->setRepositoryPath(cyrillic);
        iDialog->onSaveClicked();
        QVERIFY(iDialog->result() != QDialog::Accepted);
        QCOMPARE(readFile(iConfig), before);
        QCOMPARE(messageTitles(), QStringList{"Error"});
        QCOMPARE(messages()[0].text, "Failed to save: " + iConfig);
    }

    void validConfigFileNeedsEveryValueWithinTheFormsLimits_data() {
        QTest::addColumn<QString>("line");  // replaces the key's line; a key without "=" removes it
        QTest::addColumn<bool>("valid");
        QTest::newRow("complete file") << "" << true;
        QTest::newRow("no password hash") << "server-password=" << false;
        QTest::newRow("no host") << "server-host=" << false;
        QTest::newRow("host with port") << "server-host=localhost:80" << false;
        QTest::newRow("host with user") << "server-host=me@localhost" << false;
        QTest::newRow("host with inner blank") << "server-host=my host" << false;
        QTest::newRow("host, blank before, mixed case") << "server-host= Server.Example.ORG" << true;
        QTest::newRow("IPv4 address") << "server-host=192.168.1.10" << true;
        QTest::newRow("port 65535") << "server-port=65535" << true;
        QTest::newRow("port 65536") << "server-port=65536" << false;
        QTest::newRow("port 0") << "server-port=0" << false;
        QTest::newRow("port with letter") << "server-port=80a" << false;
        QTest::newRow("name with blank") << "repository-name=my repo" << false;
        QTest::newRow("name of 256 characters") << "repository-name=" + QString(256, 'a') << false;
        QTest::newRow("repository missing") << "repository-data=/nonexistent/repo/" << false;
        QTest::newRow("size 1 GB") << "repository-size=1GB" << false;
        QTest::newRow("size 2 MB") << "repository-size=2MB" << true;
        QTest::newRow("size 1024 GB") << "repository-size=1024GB" << false;
        QTest::newRow("size, blank, unit") << "repository-size=500 MB" << true;
        QTest::newRow("size, tab, unit") << "repository-size=2\tTB" << true;
        QTest::newRow("size, lower-case unit") << "repository-size=500mb" << false;
        QTest::newRow("size, unknown unit") << "repository-size=500KB" << false;
        QTest::newRow("size without number") << "repository-size=MB" << false;
        QTest::newRow("size, blank before") << "repository-size= 5GB" << false;
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

    void aSizeThatDoesNotParseReadsAsTenGB() {
        bool ok = true;
        QCOMPARE(CHVPSConfigDialog::parseRepoSize("500mb", &ok), qMakePair(10u, QString("GB")));
        QVERIFY(!ok);
    }

    void theDefaultRepositoryCountsAsValidBeforeItExists() {
        iDialog->iDefaultRepositoryPath = path("Later/");
        QCOMPARE(iDialog->isValidRepoDataPath(path("later/")), QValidator::Acceptable);
        QCOMPARE(iDialog->isValidRepoDataPath(path("other/")), QValidator::Intermediate);
    }

    void formHashesThePasswordColoursInvalidFieldsAndEnablesSaveOnlyForAChangedValidForm() {
        Ui::dlgConfig* ui = prepared(configText(iRepository));
        // The password field is empty, the stored hash keeps it valid.
        QVERIFY(ui->lnEditServerPW->text().isEmpty());
        QVERIFY(baseColour(ui->lnEditServerPW) != kInvalid);
        QVERIFY(!ui->pshBtnSave->isEnabled());
        const struct {
            QLineEdit* field;
            const char* keys;  // typed over the whole text; "\b" deletes it
            const char* shown;
            bool invalid;
            bool save;
            const char* hash = nullptr;  // of the password field
        } steps[] = {
            {ui->lnEditServerPort, "4242", "4242", false, true},
            {ui->lnEditServerPort, "\b", "", true, false},  // empty while typing
            {ui->lnEditServerPort, "0x", "0", true, false},
            {ui->lnEditServerPort, "37655", "37655", false, false},  // back to the values read
            {ui->lnEditServerPW, "sec@ret", "secret", false, false, kSecretDigest},  // the hash stored
            {ui->lnEditServerPW, "secre", "secre", false, true, "C27FCCCB5A5AD952F378481C86A84C3A"},
            {ui->lnEditServerPW, "\b", "", true, false, ""},
            {ui->lnEditServerPW, "secret", "secret", false, false, kSecretDigest},
            {ui->lnEditServerHost, "host:80", "host:80", true, false},
            {ui->lnEditServerHost, "example.org", "example.org", false, true},
            {ui->lnEditRepositoryName, "bad!", "bad", false, true},
        };
        for (const auto& step : steps) {
            step.field->selectAll();
            QTest::keyClicks(step.field, step.keys);
            QCOMPARE(step.field->text(), QString(step.shown));
            QCOMPARE(baseColour(step.field) == kInvalid, step.invalid);
            QCOMPARE(ui->pshBtnSave->isEnabled(), step.save);
            if (step.hash) QCOMPARE(ui->lblPasswordHashText->text(), QString(step.hash));
        }

        QCOMPARE(ui->lnEditServerPW->echoMode(), QLineEdit::Password);
        ui->chkBoxShowPassword->setChecked(true);
        QCOMPARE(ui->lnEditServerPW->echoMode(), QLineEdit::Normal);
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
        const QString target = path("moved/");
        QDir().mkpath(target);
        if (currentSize >= 0) writeFile(iRepository + "space-db", QByteArray(currentSize, 'x'));
        if (newSize >= 0) writeFile(target + "space-db", QByteArray(newSize, 'x'));
        prepared(configText(iRepository));
        iDialog->iNextFolder = target;
        iDialog->onChangePathClicked();
        QCOMPARE(iDialog->repositoryPath(), allowed ? target : iRepository);
        QCOMPARE(messageTitles(), allowed ? QStringList() : QStringList{"Change Path"});
    }
};

HVPS_MANAGER_TEST_MAIN(ConfigDialogTest)
#include "ConfigDialogTest.moc"
