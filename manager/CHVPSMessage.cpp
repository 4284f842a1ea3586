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

void hvpsSetMessageHook(CHVPSMessageHook hook) { messageHook() = std::move(hook); }
