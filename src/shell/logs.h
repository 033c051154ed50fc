// Log viewer.
#pragma once

#include <QDialog>


class TFrmLogs : public QDialog {
    Q_OBJECT
public:
    explicit TFrmLogs(QWidget* parent = nullptr);

};

extern TFrmLogs* FrmLogs;
