// The Spaces panel of the main window: one row per space (id, title when stored, disk use and a
// bar of its share of the repository size) and the repository's total. A refresh reads the
// repository folder on a worker thread and, while the server runs, asks the server through the
// command-line client (its statistics command, encrypted with the password digest, which goes
// to the client in its environment, not on its command line). Neither blocks the interface.
// GUI thread only; one refresh at a time: a request during a refresh is dropped.
#pragma once

#include <QElapsedTimer>
#include <QPointer>
#include <QWidget>

#include "CHVPSSpaceReport.h"

class QLabel;
class QProcess;
class QProgressBar;
class QTableWidget;
class QThread;

struct CHVPSSpacesQuery {
    QString repositoryFolder;
    qint64 limitBytes = -1;  // from the configuration, used when the server does not tell
    bool serverRunning = false;
    int port = 0;
    QString passwordDigest;  // server-password: 32 hexadecimal digits
    QString clientPath;      // hvps-client
};

class CHVPSSpacesPanel : public QWidget {
    Q_OBJECT
public:
    explicit CHVPSSpacesPanel(QWidget* parent = nullptr);
    ~CHVPSSpacesPanel() override;

    // onlyWhenDue drops the request also when it comes sooner after the last refresh than ten
    // times the time that took, so that a large repository is not walked over and over.
    void refresh(const CHVPSSpacesQuery& query, bool onlyWhenDue = false);
    bool busy() const { return iBusy; }
    const CHVPSSpaceReport& report() const { return iReport; }
    QTableWidget* table() const { return iTable; }
    QProgressBar* totalBar() const { return iTotalBar; }
    QLabel* sourceLabel() const { return iSource; }

signals:
    // A refresh has ended and the panel shows its result.
    void refreshed();

private:
    void askServer(const CHVPSSpacesQuery& query);
    void display(const CHVPSSpaceReport& report);

    QTableWidget* iTable;
    QLabel* iTotal;
    QProgressBar* iTotalBar;
    QLabel* iSource;
    bool iBusy = false;
    QElapsedTimer iStarted;  // of the last refresh
    QElapsedTimer iEnded;    // of the last refresh
    qint64 iLastCostMs = 0;
    QPointer<QThread> iReader;
    QProcess* iClient = nullptr;  // child of the panel while the server is asked
    CHVPSSpaceReport iReport;
};
