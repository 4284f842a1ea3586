#include "CHVPSSpacesPanel.h"

#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QProcess>
#include <QProgressBar>
#include <QTableWidget>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <memory>

namespace {
constexpr int kClientTimeoutMs = 5000;
constexpr int kClientKillMs = 20000;  // the client has not ended long after its own time-out
constexpr int kCostFactor = 10;

QString bytesText(qint64 bytes) {
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeTraditionalFormat);
}

// A bar of bytes against limit in tenths of a percent; empty without a limit.
void setShare(QProgressBar* bar, qint64 bytes, qint64 limit) {
    bar->setRange(0, 1000);
    if (limit <= 0) {
        bar->setValue(0);
        bar->setFormat(QStringLiteral("-"));
        return;
    }
    bar->setValue(static_cast<int>(std::min<qint64>(1000, bytes * 1000 / limit)));
    bar->setFormat(QStringLiteral("%1 %").arg(
        QLocale().toString(100.0 * bytes / limit, 'f', bytes * 100 >= limit ? 0 : 1)));
}
}  // namespace

CHVPSSpacesPanel::CHVPSSpacesPanel(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    iTable = new QTableWidget(0, 4, this);
    iTable->setHorizontalHeaderLabels({tr("Space"), tr("Title"), tr("Disk Use"), tr("Of Repository Size")});
    iTable->verticalHeader()->hide();
    iTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    iTable->setSelectionMode(QAbstractItemView::NoSelection);
    iTable->setFocusPolicy(Qt::NoFocus);
    iTable->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    iTable->horizontalHeader()->setSectionResizeMode(3, QHeaderView::Stretch);
    iTable->setMinimumHeight(90);
    layout->addWidget(iTable);

    auto* totalRow = new QHBoxLayout;
    iTotal = new QLabel(this);
    iTotalBar = new QProgressBar(this);
    iTotalBar->setRange(0, 1000);
    totalRow->addWidget(iTotal, 1);
    totalRow->addWidget(iTotalBar, 1);
    layout->addLayout(totalRow);
    iSource = new QLabel(this);
    iSource->setWordWrap(true);
    layout->addWidget(iSource);
    display(iReport);
}

CHVPSSpacesPanel::~CHVPSSpacesPanel() {
    // The reader only reads files; the panel waits for it so that it never outlives its target.
    if (iReader) {
        iReader->wait();
        delete iReader;
    }
}

void CHVPSSpacesPanel::refresh(const CHVPSSpacesQuery& query, bool onlyWhenDue) {
    if (iBusy || (onlyWhenDue && iEnded.isValid() && iEnded.elapsed() < kCostFactor * iLastCostMs)) return;
    iBusy = true;
    iStarted.start();
    auto result = std::make_shared<CHVPSSpaceReport>();
    iReader = QThread::create(
        [result, folder = query.repositoryFolder] { *result = CHVPSSpaceReport::readRepository(folder); });
    connect(iReader, &QThread::finished, this, [this, result, query] {
        iReader->deleteLater();
        iReport = *result;
        if (iReport.limitBytes < 0) iReport.limitBytes = query.limitBytes;
        if (query.serverRunning && !iReport.spaces.isEmpty())
            askServer(query);
        else
            display(iReport);
    });
    iReader->start();
}

void CHVPSSpacesPanel::askServer(const CHVPSSpacesQuery& query) {
    iClient = new QProcess(this);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HVPS_PASSWORD_MD5"), query.passwordDigest);
    iClient->setProcessEnvironment(environment);
    auto done = [this] {
        const QString output = QString::fromLocal8Bit(iClient->readAllStandardOutput());
        const QString errors = QString::fromLocal8Bit(iClient->readAllStandardError()).trimmed();
        const bool ok = iClient->exitStatus() == QProcess::NormalExit && iClient->exitCode() == 0 &&
                        iReport.applyStatistics(output);
        if (!ok)
            iReport.error =
                errors.isEmpty() ? tr("The server did not answer: %1").arg(iClient->errorString()) : errors;
        iClient->deleteLater();
        iClient = nullptr;
        display(iReport);
    };
    connect(iClient, &QProcess::finished, this, done);
    QTimer::singleShot(kClientKillMs, iClient, &QProcess::kill);
    connect(iClient, &QProcess::errorOccurred, this, [this, done](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) done();
    });
    iClient->start(
        query.clientPath,
        {QStringLiteral("-H"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(query.port),
         QStringLiteral("-t"), QString::number(kClientTimeoutMs), QStringLiteral("stats"), iReport.idList()});
}

void CHVPSSpacesPanel::display(const CHVPSSpaceReport& report) {
    bool titles = false;
    iTable->setRowCount(report.spaces.size());
    for (int row = 0; row < report.spaces.size(); ++row) {
        const CHVPSSpace& space = report.spaces[row];
        titles = titles || !space.title.isEmpty();
        const QString id = space.gone ? tr("%1 (deleted)").arg(space.id) : QString::number(space.id);
        iTable->setItem(row, 0, new QTableWidgetItem(id));
        iTable->setItem(row, 1, new QTableWidgetItem(space.title));
        auto* used = new QTableWidgetItem(bytesText(space.bytes));
        used->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        iTable->setItem(row, 2, used);
        auto* bar = qobject_cast<QProgressBar*>(iTable->cellWidget(row, 3));
        if (!bar) {
            bar = new QProgressBar;
            iTable->setCellWidget(row, 3, bar);
        }
        setShare(bar, space.bytes, report.limitBytes);
    }
    iTable->setColumnHidden(1, !titles);

    const QString limit = report.limitBytes > 0 ? bytesText(report.limitBytes) : tr("no limit");
    iTotal->setText(tr("Total: %1 of %2").arg(bytesText(report.totalBytes), limit));
    setShare(iTotalBar, report.totalBytes, report.limitBytes);

    QString source = report.fromServer ? tr("Figures from the running server.")
                                       : tr("Figures from the repository folder.");
    if (report.spaces.isEmpty() && report.error.isEmpty())
        source = tr("No spaces yet.") + QLatin1Char(' ') + source;
    if (!report.error.isEmpty()) source += QLatin1Char(' ') + report.error;
    iSource->setText(source);
    iBusy = false;
    if (iStarted.isValid()) {
        iLastCostMs = iStarted.elapsed();
        iEnded.start();
    }
    emit refreshed();
}
