#include "CHVPSProcessInfoDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

CHVPSProcessInfoDialog::CHVPSProcessInfoDialog(const QString& heading,
                                               const QList<QPair<QString, QString>>& rows, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(tr("Process Information"));
    auto* layout = new QVBoxLayout(this);
    auto* title = new QLabel(heading, this);
    layout->addWidget(title);
    auto* form = new QFormLayout;
    for (const auto& row : rows) {
        auto* value = new QLabel(row.second, this);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        value->setWordWrap(true);
        form->addRow(row.first + QLatin1Char(':'), value);
    }
    layout->addLayout(form);
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* close = buttons->addButton(tr("Close"), QDialogButtonBox::AcceptRole);
    close->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
    setMinimumWidth(420);
}
