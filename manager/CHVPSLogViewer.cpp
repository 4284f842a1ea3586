#include "CHVPSLogViewer.h"

#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSyntaxHighlighter>
#include <QVBoxLayout>

namespace {
constexpr int kPollMs = 500;
constexpr int kMaxLines = 20000;

CHVPSLogViewer::LineKind kindOf(const QString& line) {
    if (line.contains(QLatin1String(" [Error] "))) return CHVPSLogViewer::Error;
    if (line.contains(QLatin1String(" [Warning] "))) return CHVPSLogViewer::Warning;
    return CHVPSLogViewer::Plain;
}

class LogHighlighter : public QSyntaxHighlighter {
public:
    using QSyntaxHighlighter::QSyntaxHighlighter;

protected:
    void highlightBlock(const QString& line) override {
        const CHVPSLogViewer::LineKind kind = kindOf(line);
        setCurrentBlockState(kind);
        if (kind == CHVPSLogViewer::Plain) return;
        QTextCharFormat format;
        format.setBackground(kind == CHVPSLogViewer::Error ? QColor(255, 214, 214) : QColor(255, 240, 190));
        format.setForeground(kind == CHVPSLogViewer::Error ? QColor(150, 0, 0) : QColor(110, 70, 0));
        setFormat(0, line.size(), format);
    }
};
}  // namespace

CHVPSLogViewer::CHVPSLogViewer(QWidget* parent) : QWidget(parent, Qt::Window) {
    setWindowTitle(tr("Server Log"));
    auto* layout = new QVBoxLayout(this);
    iPathLabel = new QLabel(this);
    iPathLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(iPathLabel);
    iText = new QPlainTextEdit(this);
    iText->setReadOnly(true);
    iText->setLineWrapMode(QPlainTextEdit::NoWrap);
    iText->setMaximumBlockCount(kMaxLines);
    iText->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    new LogHighlighter(iText->document());
    layout->addWidget(iText);

    auto* buttons = new QHBoxLayout;
    iSummary = new QLabel(this);
    iFollow = new QCheckBox(tr("Follow new lines"), this);
    iFollow->setChecked(true);
    auto* external = new QPushButton(tr("Open in System Viewer"), this);
    auto* close = new QPushButton(tr("Close"), this);
    buttons->addWidget(iSummary, 1);
    buttons->addWidget(iFollow);
    buttons->addWidget(external);
    buttons->addWidget(close);
    layout->addLayout(buttons);
    connect(external, &QPushButton::clicked, this, [this] { emit openExternally(iPath); });
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    connect(iFollow, &QCheckBox::toggled, this, [this](bool on) {
        if (on) iText->verticalScrollBar()->setValue(iText->verticalScrollBar()->maximum());
    });
    connect(&iPollTimer, &QTimer::timeout, this, &CHVPSLogViewer::poll);
    iPollTimer.setInterval(kPollMs);
    resize(760, 480);
}

void CHVPSLogViewer::setFile(const QString& path) {
    iPath = path;
    iPathLabel->setText(path);
    iOffset = 0;
    iPartial.clear();
    iErrors = iWarnings = 0;
    iText->clear();
    showSummary();
    QFile file(path);
    if (file.open(QIODevice::ReadOnly) && file.size() > kTailBytes) {
        // Starts at the first whole line of the tail.
        file.seek(file.size() - kTailBytes);
        const QByteArray tail = file.readAll();
        const qsizetype firstLine = tail.indexOf('\n') + 1;
        iOffset = file.size() - kTailBytes + firstLine;
    }
    poll();
}

void CHVPSLogViewer::poll() {
    QFile file(iPath);
    if (!file.open(QIODevice::ReadOnly)) return;
    if (file.size() < iOffset) {
        setFile(iPath);  // the file was cut or replaced
        return;
    }
    if (file.size() == iOffset || !file.seek(iOffset)) return;
    const QByteArray bytes = file.readAll();
    iOffset += bytes.size();
    append(bytes);
}

void CHVPSLogViewer::append(const QByteArray& bytes) {
    iPartial += bytes;
    const qsizetype end = iPartial.lastIndexOf('\n');
    if (end < 0) return;
    const QString lines = QString::fromUtf8(iPartial.left(end));
    iPartial.remove(0, end + 1);
    for (const QStringView line : QStringTokenizer(lines, QLatin1Char('\n'))) {
        const LineKind kind = kindOf(line.toString());
        iErrors += kind == Error;
        iWarnings += kind == Warning;
    }
    QScrollBar* scroll = iText->verticalScrollBar();
    const int kept = scroll->value();
    iText->appendPlainText(lines);
    scroll->setValue(iFollow->isChecked() ? scroll->maximum() : kept);
    showSummary();
}

void CHVPSLogViewer::showSummary() {
    const QString errors = iErrors == 1 ? tr("1 error") : tr("%1 errors").arg(iErrors);
    const QString warnings = iWarnings == 1 ? tr("1 warning") : tr("%1 warnings").arg(iWarnings);
    iSummary->setText(errors + QStringLiteral(", ") + warnings);
}

void CHVPSLogViewer::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    poll();
    iPollTimer.start();
}

void CHVPSLogViewer::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    iPollTimer.stop();
}
