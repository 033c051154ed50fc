// Invisible window that owns the POP3 side of mail transport.
#pragma once

#include <QDialog>


class TFrmServers : public QDialog {
    Q_OBJECT
public:
    explicit TFrmServers(QWidget* parent = nullptr);

};

extern TFrmServers* FrmServers;
