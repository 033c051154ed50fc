// Address book requests: the window and the request mails.
#include "filters/spam_add.h"

#include "settings/setup.h"
#include "transport/mail_settings.h"
#include "transport/servers.h"
#include "transport/smtp.h"
#include "transport/store.h"
#include "transport/table_owner.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include <memory>
#include <vector>

TFrmSpamAddresses* FrmSpamAddresses = nullptr;
std::function<bool(TFrmSpamAddresses&)> TFrmSpamAddresses::ExecForTesting;

TFrmSpamAddresses::TFrmSpamAddresses(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Address book requests");
    Label1 = new QLabel("An email will be sent to each ticked user with upload instructions.  ");
    Label1->setWordWrap(true);
    CheckListBox1 = new QListWidget;
    BtnOK = new QPushButton("OK");
    BtnOK->setDefault(true);
    BtnCancel = new QPushButton("Cancel");
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(BtnOK);
    buttons->addWidget(BtnCancel);
    auto* lay = new QVBoxLayout(this);
    lay->addWidget(Label1);
    lay->addWidget(CheckListBox1);
    lay->addLayout(buttons);
    connect(BtnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(BtnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

TFrmSpamAddresses::~TFrmSpamAddresses() {
    if (FrmSpamAddresses == this) FrmSpamAddresses = nullptr;
}

namespace spam_add {

std::string AddressBookRequest(const std::string& user, const std::string& browserAddress) {
    smtp::GeneratedMail request;
    request.to = smtp::LocalRecipient(user);
    request.subject = "Tarnwick address book import";
    request.extraHeaders = {"MIME-Version: 1.0", "Content-Type: text/plain;"};
    request.messageId = false;
    request.mailerHeaders = false;
    request.footer = false;
    request.body = {
        "Dear " + user,
        "",
        "Your Tarnwick administrator is setting up an anti-spam filter which will cut out spam and only let "
        "valid emails through.  ",
    };
    if (browserAddress.find("http:") != std::string::npos)
        request.body.push_back("Please visit " + browserAddress +
                               "/safeaddresses to upload your address book and let your contacts' emails through "
                               "safely");
    request.body.insert(request.body.end(), {"", "", ""});
    return smtp::GeneratedMessage(request);
}

int WriteAddressBookRequests() {
    TFrmSpamAddresses* form = FrmSpamAddresses;
    std::unique_ptr<TFrmSpamAddresses> own;
    if (form == nullptr) {
        own = std::make_unique<TFrmSpamAddresses>();
        form = own.get();
    }
    form->CheckListBox1->clear();
    for (const auto& u : tables::UserNames()) {
        auto* item = new QListWidgetItem(QString::fromStdString(u), form->CheckListBox1);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Checked);
    }
    const bool ok = TFrmSpamAddresses::ExecForTesting ? TFrmSpamAddresses::ExecForTesting(*form)
                                                      : form->exec() == QDialog::Accepted;
    if (!ok) return 0;
    const std::string browser = mailsettings::Current()->browserAddress;
    int written = 0;
    for (int i = 0; i < form->CheckListBox1->count(); ++i) {
        const QListWidgetItem* item = form->CheckListBox1->item(i);
        if (item->checkState() != Qt::Checked) continue;
        const std::string user = item->text().toStdString();
        if (!settings::IsSafeUserName(user)) continue;
        if (!smtp::WriteMailboxFile(smtp::FolderIn, user, smtp::TimeStamp(), AddressBookRequest(user, browser))
                 .empty())
            ++written;
    }
    if (FrmServers != nullptr) FrmServers->RefreshMailCounts(false);
    return written;
}

}  // namespace spam_add
