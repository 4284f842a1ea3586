// The about dialog: the application's image and version.
#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class dlgInfo;
}

class CHVPSInfoDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr const char* kVersion = "1.0.044";

    explicit CHVPSInfoDialog(QWidget* parent = nullptr);
    ~CHVPSInfoDialog() override;

private:
    std::unique_ptr<Ui::dlgInfo> ui;
};
