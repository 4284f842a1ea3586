#include "CHVPSMessage.h"

namespace {
CHVPSMessageHook& messageHook() {
    static CHVPSMessageHook hook;
    return hook;
}
}  // namespace

void hvpsShowMessage(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text) {
    if (messageHook()) {
        messageHook()(icon, title, text);
        return;
    }
    QMessageBox box(icon, title, text, QMessageBox::Ok, parent);
    box.exec();
}

bool hvpsConfirm(QWidget* parent, const QString& title, const QString& text) {
    if (messageHook()) return messageHook()(QMessageBox::Question, title, text);
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Ok | QMessageBox::Cancel, parent);
    box.setDefaultButton(QMessageBox::Cancel);
    return box.exec() == QMessageBox::Ok;
}

void hvpsSetMessageHook(CHVPSMessageHook hook) { messageHook() = std::move(hook); }
