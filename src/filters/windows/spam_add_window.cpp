// The window that picks the local users who are asked for their address
// books.
#include "filters/windows/spam_add_window.h"

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
    std::vector<std::string> users;
    for (int i = 0; i < form->CheckListBox1->count(); ++i) {
        const QListWidgetItem* item = form->CheckListBox1->item(i);
        if (item->checkState() == Qt::Checked) users.push_back(item->text().toStdString());
    }
    return WriteRequests(users);
}

}  // namespace spam_add
