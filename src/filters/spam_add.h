// Address book requests: a window that picks local users, and the mail
// that asks each of them to upload an address book through the web server
// so that their contacts become safe senders.
#pragma once

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

// The request mail for one user, as stored in the mailbox.
std::string AddressBookRequest(const std::string& user, const std::string& browserAddress);

}  // namespace spam_add
