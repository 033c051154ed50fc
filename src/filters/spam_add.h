// Spam address request window.
#pragma once

#include <QDialog>


class TFrmSpamAddresses : public QDialog {
    Q_OBJECT
public:
    explicit TFrmSpamAddresses(QWidget* parent = nullptr);

};

extern TFrmSpamAddresses* FrmSpamAddresses;
