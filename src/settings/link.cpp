// Dialog for an alias of a local user, and the alias and domain tables.
#include "settings/link.h"

#include "settings/setup.h"
#include "transport/account_tables.h"
#include "transport/table_files.h"
#include "transport/globals.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

TFrmLink* FrmLink = nullptr;
std::function<bool(TFrmLink&)> TFrmLink::ExecForTesting;

TFrmLink::TFrmLink(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Alias setup");
    auto* top = new QVBoxLayout(this);
    Label1 = new QLabel("Any mail to the following email address will go to user...");
    Label2 = new QLabel("Email:");
    Label3 = new QLabel("Goes to:");
    Label4 = new QLabel("Note that this is case insensitive so it will appear in lowercase");
    EditEmail = new QLineEdit;
    EditEmail->setMaxLength(64);
    CBXUser = new QComboBox;
    top->addWidget(Label1);
    auto* form = new QFormLayout;
    form->addRow(Label2, EditEmail);
    form->addRow(Label3, CBXUser);
    top->addLayout(form);
    top->addWidget(Label4);
    BtnOK = new QPushButton("OK");
    BtnCancel = new QPushButton("Cancel");
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(BtnOK);
    row->addWidget(BtnCancel);
    top->addLayout(row);
    connect(BtnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(BtnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(EditEmail, &QLineEdit::textChanged, this, &TFrmLink::CheckOK);
    connect(CBXUser, qOverload<int>(&QComboBox::currentIndexChanged), this, &TFrmLink::CheckOK);
}

void TFrmLink::CheckOK() { BtnOK->setEnabled(!EditEmail->text().isEmpty() && CBXUser->currentIndex() >= 0); }

bool TFrmLink::Execute(std::string& Email, std::string& User) {
    CBXUser->clear();
    if (FrmSettings)
        for (const auto& n : FrmSettings->userNames()) CBXUser->addItem(QString::fromStdString(n));
    EditEmail->setText(QString::fromStdString(Email));
    CBXUser->setCurrentIndex(CBXUser->findText(QString::fromStdString(User), Qt::MatchExactly));
    CheckOK();
    const bool ok = ExecForTesting ? ExecForTesting(*this) : exec() == QDialog::Accepted;
    // OK is only reachable with both values; a scripted OK is held to that too.
    if (!ok || EditEmail->text().isEmpty() || CBXUser->currentIndex() < 0) return false;
    Email = EditEmail->text().toStdString();
    User = CBXUser->currentText().toStdString();
    return true;
}

bool TFrmLink::AddLinkTo(TvdlMemTable& table, const std::string& Email, const std::string& User) {
    return settings::AddAlias(table, Email, User);
}

bool TFrmLink::AddLink(const std::string& Email, const std::string& User) {
    if (!FrmSettings) return false;
    return AddLinkTo(*FrmSettings->tbleLink, Email, User);
}

namespace links {

void DefineELinkTable(TvdlMemTable& t) { settings::DefineAliasTable(t); }

void DefineDomainTable(TvdlMemTable& t) { settings::DefineDomainTable(t); }

}  // namespace links
