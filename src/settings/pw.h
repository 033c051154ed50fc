// The settings-password dialog.
#pragma once

#include <QDialog>

class TFrmPW : public QDialog {
    Q_OBJECT
public:
    explicit TFrmPW(QWidget* parent = nullptr);
};

extern TFrmPW* FrmPW;
