// Address book requests: the window that picks local users to ask.
#pragma once

#include "filters/spam_add.h"

#include <QDialog>

#include <functional>
#include <string>

class QLabel;
class QListWidget;
class QPushButton;

class TFrmSpamAddresses : public QDialog {
    Q_OBJECT
public:
    explicit TFrmSpamAddresses(QWidget* parent = nullptr);
    ~TFrmSpamAddresses() override;

    QLabel* Label1;
    QListWidget* CheckListBox1;  // local user names, checkable
    QPushButton *BtnOK, *BtnCancel;

    // Tests stand in for the person: called instead of showing the window,
    // with the list filled; returns true for OK.
    static std::function<bool(TFrmSpamAddresses&)> ExecForTesting;
};

extern TFrmSpamAddresses* FrmSpamAddresses;

namespace spam_add {

// Shows the window with every local user ticked; on OK writes the request
// mail into the mailbox of each ticked user. Returns the number written.
int WriteAddressBookRequests();

}  // namespace spam_add
