// Dialog for a local user, a provider POP account or the relay login.
#pragma once

#include <QDialog>


class TFrmMailAccount : public QDialog {
    Q_OBJECT
public:
    explicit TFrmMailAccount(QWidget* parent = nullptr);

};

extern TFrmMailAccount* FrmMailAccount;
