// Shows facts about one process (read from /proc by the Linux platform) with a Close button.
#pragma once

#include <QDialog>
#include <QList>
#include <QPair>

class CHVPSProcessInfoDialog : public QDialog {
    Q_OBJECT
public:
    CHVPSProcessInfoDialog(const QString& heading, const QList<QPair<QString, QString>>& rows,
                           QWidget* parent = nullptr);
};
