// Invisible window that owns the SMTP server and the relay client.
#pragma once

#include <QDialog>

#include <string>
#include <vector>

class TFrmSMTP : public QDialog {
    Q_OBJECT
public:
    explicit TFrmSMTP(QWidget* parent = nullptr);

    // Fills users with the local user names the address resolves to (each
    // once, in the order found); true when the address is local.
    bool IsLocalAddress(const std::string& address, std::vector<std::string>& users);
};

extern TFrmSMTP* FrmSMTP;
