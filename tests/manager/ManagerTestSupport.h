// Helpers shared by the management application's tests: an isolated home, recorded message
// boxes, files, and fake system tools placed first in PATH that record their calls.
#pragma once

#include <sys/stat.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <memory>

#include "CHVPSMessage.h"
#include "HvpsdProcess.h"

namespace hvpstest {

// The digest of the password "secret".
constexpr const char* kSecretDigest = hvps_test::HvpsdProcess::kPasswordDigest;

struct Message {
    QMessageBox::Icon icon;
    QString title;
    QString text;
};

inline QList<Message>& messages() {
    static QList<Message> list;
    return list;
}

// The answer recorded questions get: true for OK.
inline bool& confirmAnswer() {
    static bool answer = true;
    return answer;
}

inline QStringList messageTitles() {
    QStringList titles;
    for (const Message& m : messages()) titles << m.title;
    return titles;
}

inline void writeFile(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) qFatal("cannot write %s", qPrintable(path));
    file.write(content);
}

inline QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A complete configuration as the form writes it (password "secret").
inline QByteArray configText(const QString& repository, int port = 37655,
                             const QByteArray& host = "localhost") {
    return "server-password=" + QByteArray(kSecretDigest) + "\nserver-host=" + host +
           "\nserver-port=" + QByteArray::number(port) +
           "\nrepository-name=repo1\nrepository-data=" + repository.toUtf8() +
           "\nrepository-size=10GB\nstore-space-titles=yes\nmaximum-connections=10\npoll-interval=60\n"
           "connection-timeout=12000";
}

inline void writeScript(const QString& path, const QByteArray& body) {
    writeFile(path, "#!/bin/bash\n" + body);
    QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner | QFileDevice::ExeGroup |
                                    QFileDevice::ExeOther);
}

// A folder of fake tools put first in PATH. Every call of a tool appends one line to
// calls.log: the tool's name and its arguments, separated by " | ". A tool runs the file
// <name>.hook (sourced, with the arguments in "$@"; it may exit with a code) when present, else
// exits with 0.
class FakeTools {
public:
    explicit FakeTools(const QString& folder) : iFolder(folder) {
        QDir().mkpath(folder);
        iOldPath = qgetenv("PATH");
        qputenv("PATH", folder.toLocal8Bit() + ":" + iOldPath);
    }
    ~FakeTools() { qputenv("PATH", iOldPath); }

    void add(const QString& name) {
        writeScript(
            iFolder + "/" + name,
            "dir=$(dirname \"$0\")\n"
            "line=$(basename \"$0\"); for a in \"$@\"; do line=\"$line | $a\"; done\n"
            "printf '%s\\n' \"$line\" >> \"$dir/calls.log\"\n"
            "if [ -f \"$dir/$(basename \"$0\").hook\" ]; then . \"$dir/$(basename \"$0\").hook\"; fi\n"
            "exit 0\n");
    }
    void setHook(const QString& name, const QByteArray& body) {
        writeFile(iFolder + "/" + name + ".hook", body);
    }
    QStringList calls() const {
        QStringList lines = QString::fromUtf8(readFile(iFolder + "/calls.log")).split('\n');
        lines.removeAll(QString());
        return lines;
    }
    QString folder() const { return iFolder; }

private:
    QString iFolder;
    QByteArray iOldPath;
};

// A stand-in daemon script named hvpsd: writes its pid to the file given as $1 (and adds it to
// started.pids beside the script), removes it and leaves on SIGTERM (unless $2 is "ignore-term"),
// and gives up by itself after about a minute.
inline QString makeFakeDaemon(const QString& folder) {
    const QString path = folder + "/hvpsd";
    writeScript(path,
                "if [ \"$2\" = ignore-term ]; then trap '' TERM; else trap 'rm -f \"$1\"; exit 0' TERM; fi\n"
                "echo $$ >> \"$(dirname \"$0\")/started.pids\"\necho $$ > \"$1\"\n"
                "for i in $(seq 1 600); do sleep 0.1; done\n"
                "rm -f \"$1\"\n");
    return path;
}

// Runs the fake daemon in the background and waits (bounded) until its pid file names it.
inline qint64 startFakeDaemon(const QString& daemon, const QString& pidFile, bool ignoreTerm = false) {
    qint64 pid = 0;
    if (!QProcess::startDetached(daemon, {pidFile, ignoreTerm ? "ignore-term" : ""}, QString(), &pid))
        return 0;
    const bool named = QTest::qWaitFor([&] { return readFile(pidFile).trimmed().toLongLong() == pid; }, 5000);
    return named ? pid : 0;
}

// Waits until the process no longer exists (reaped or not), at most timeoutMs.
inline bool waitForExit(qint64 pid, int timeoutMs) {
    return QTest::qWaitFor(
        [pid] {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
            if (!stat.open(QIODevice::ReadOnly)) return true;
            const QByteArray content = stat.readAll();
            return content.mid(content.lastIndexOf(')') + 2, 1) == "Z";
        },
        timeoutMs);
}

inline void killHard(qint64 pid) {
    if (pid > 0) ::kill(static_cast<pid_t>(pid), SIGKILL);
}

inline ino_t inodeOf(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

inline mode_t modeOf(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Isolates the settings, data and home folders in a temporary directory and records message
// boxes; call before the QApplication is created.
inline QTemporaryDir& isolateEnvironment() {
    static QTemporaryDir root;
    qputenv("HOME", root.path().toLocal8Bit() + "/home");
    qputenv("XDG_CONFIG_HOME", root.path().toLocal8Bit() + "/config");
    qputenv("XDG_DATA_HOME", root.path().toLocal8Bit() + "/data");
    qputenv("XDG_RUNTIME_DIR", root.path().toLocal8Bit() + "/runtime");
    QDir().mkpath(root.path() + "/runtime");
    QFile::setPermissions(root.path() + "/runtime",
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    hvpsSetMessageHook([](QMessageBox::Icon icon, const QString& title, const QString& text) {
        messages().append({icon, title, text});
        return confirmAnswer();
    });
    return root;
}

inline void clearSettings() {
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, "HVPS", "HVPS");
    settings.clear();
    settings.sync();
}

inline void setSetting(const QString& key, const QVariant& value) {
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, "HVPS", "HVPS");
    settings.setValue(key, value);
    settings.sync();
}

// The set-up every suite shares: per test function a temporary folder that holds the data,
// configuration and home folders, the fake tools (first in PATH) and the stand-in daemon; no
// settings, no recorded messages, and questions answered with OK.
class ManagerTestCase : public QObject {
protected:
    std::unique_ptr<QTemporaryDir> iDir;
    std::unique_ptr<FakeTools> iTools;
    QString iFakeDaemon;

    QString path(const QString& name) const { return iDir->path() + "/" + name; }
    // Where the application keeps its configuration, log, pid file and default repository.
    QString appFolder() const { return path("data/HalvoraPersonalServer/"); }

    void setUpHome(const QStringList& tools = {}) {
        messages().clear();
        confirmAnswer() = true;
        clearSettings();
        iDir = std::make_unique<QTemporaryDir>();
        qputenv("XDG_DATA_HOME", path("data").toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", path("config").toLocal8Bit());
        qputenv("HOME", path("home").toLocal8Bit());
        iTools = std::make_unique<FakeTools>(path("bin"));
        for (const QString& tool : tools) iTools->add(tool);
        iFakeDaemon = makeFakeDaemon(path("daemons"));
    }
    // Ends every stand-in daemon the test started, also through a fake tool.
    void tearDownHome() {
        for (const QByteArray& pid : readFile(path("daemons/started.pids")).split('\n'))
            killHard(pid.toLongLong());
        iTools.reset();
        iDir.reset();
    }
};

}  // namespace hvpstest

// main() of a QtTest suite that runs in the isolated environment.
#define HVPS_MANAGER_TEST_MAIN(TestClass)       \
    int main(int argc, char** argv) {           \
        hvpstest::isolateEnvironment();         \
        QApplication app(argc, argv);           \
        TestClass test;                         \
        return QTest::qExec(&test, argc, argv); \
    }
