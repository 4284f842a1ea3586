#include "CHVPSInfoDialog.h"

#include "ui_dlgInfo.h"

CHVPSInfoDialog::CHVPSInfoDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      ui(std::make_unique<Ui::dlgInfo>()) {
    ui->setupUi(this);
    ui->lblImage->setPixmap(QPixmap(QStringLiteral(":/images/icons/images/server_hvps.png")));
    ui->lblVersion->setText(ui->lblVersion->text().arg(QLatin1String(kVersion)));
}

CHVPSInfoDialog::~CHVPSInfoDialog() = default;
