// A window on the server's log file: the tail of the file, then every line appended to it,
// with error and warning lines marked and counted. It reads the file again from its start when
// the file shrinks (rotated or cut). "Open in System Viewer" hands the file to the desktop.
// GUI thread only; the file is polled while the window is visible.
#pragma once

#include <QTimer>
#include <QWidget>

class QCheckBox;
class QLabel;
class QPlainTextEdit;

class CHVPSLogViewer : public QWidget {
    Q_OBJECT
public:
    static constexpr qint64 kTailBytes = 256 * 1024;
    // Block states the marking gives to lines.
    enum LineKind { Plain = -1, Error = 1, Warning = 2 };

    explicit CHVPSLogViewer(QWidget* parent = nullptr);

    // Shows the tail of path and follows it from there.
    void setFile(const QString& path);
    QString file() const { return iPath; }
    QPlainTextEdit* text() const { return iText; }
    QLabel* summary() const { return iSummary; }

public slots:
    // Reads what was appended since the last read.
    void poll();

signals:
    void openExternally(const QString& path);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void append(const QByteArray& bytes);
    void showSummary();

    QString iPath;
    qint64 iOffset = 0;   // bytes of the file read so far
    QByteArray iPartial;  // a last line without its line end yet
    int iErrors = 0;
    int iWarnings = 0;
    QPlainTextEdit* iText;
    QLabel* iPathLabel;
    QLabel* iSummary;
    QCheckBox* iFollow;
    QTimer iPollTimer;
};
