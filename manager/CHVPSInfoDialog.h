// The about dialog: the application's image and version.
#pragma once

#include <QDialog>
#include <memory>

#include "hvps_version.h"

namespace Ui {
class dlgInfo;
}

class CHVPSInfoDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr const char* kVersion = HVPS_VERSION_TEXT;

    explicit CHVPSInfoDialog(QWidget* parent = nullptr);
    ~CHVPSInfoDialog() override;

private:
    std::unique_ptr<Ui::dlgInfo> ui;
};
