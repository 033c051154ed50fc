// Forwarding of delivered mail.
#pragma once

#include <QDialog>


class TFrmForward : public QDialog {
    Q_OBJECT
public:
    explicit TFrmForward(QWidget* parent = nullptr);

};

extern TFrmForward* FrmForward;
