// One place where the management application shows message boxes, so that a test can record
// them instead of blocking on a modal box. GUI thread only.
#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>

// Receives every box; its result answers a question (true: OK) and is ignored otherwise.
using CHVPSMessageHook =
    std::function<bool(QMessageBox::Icon icon, const QString& title, const QString& text)>;

// Shows a modal box with one OK button, or hands it to the hook when one is set.
void hvpsShowMessage(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text);

// Asks with OK and Cancel (Cancel is the default); true when the user chose OK.
bool hvpsConfirm(QWidget* parent, const QString& title, const QString& text);

// Replaces the boxes by a call of hook; an empty hook restores the boxes.
void hvpsSetMessageHook(CHVPSMessageHook hook);
