// Dialog for a local user, a provider POP account or the relay login.
#include "settings/mail_act.h"

#include "settings/setup.h"
#include "transport/globals.h"
#include "shell/main.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <cmath>

TFrmMailAccount* FrmMailAccount = nullptr;
std::function<bool(TFrmMailAccount&)> TFrmMailAccount::ExecForTesting;

namespace {
QString Q(const std::string& s) { return QString::fromStdString(s); }
std::string S(const QString& s) { return s.toStdString(); }
}  // namespace

TFrmMailAccount::TFrmMailAccount(QWidget* parent) : QDialog(parent) {
    auto* top = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    LblName = new QLabel("Account name: (eg: John's account)");
    LblHost = new QLabel("Host address: (eg: mail.myserver.com)");
    LblLogin = new QLabel("Logon username:");
    LblPassword = new QLabel("Logon password:");
    LblMailFrom = new QLabel("Always use MAIL FROM: (leave blank unless req'd)");
    EditName = new QLineEdit;
    EditHost = new QLineEdit;
    EditLogin = new QLineEdit;
    EditPassword = new QLineEdit;
    EditMailFrom = new QLineEdit;
    EditPassword->setEchoMode(QLineEdit::Password);
    for (auto* e : {EditName, EditHost, EditLogin, EditPassword}) e->setMaxLength(64);
    form->addRow(LblName, EditName);
    form->addRow(LblHost, EditHost);
    form->addRow(LblLogin, EditLogin);
    form->addRow(LblPassword, EditPassword);
    form->addRow(LblMailFrom, EditMailFrom);
    top->addLayout(form);

    CheckBox1 = new QCheckBox("Include this account when receiving mail");
    CheckBox2 = new QCheckBox("Leave messages on server");
    CheckBox3 = new QCheckBox("Delete after");
    RxSpinEdit1 = new QSpinBox;
    RxSpinEdit1->setRange(1, 999);
    Label5 = new QLabel("day");
    top->addWidget(CheckBox1);
    top->addWidget(CheckBox2);
    auto* leaveRow = new QHBoxLayout;
    leaveRow->addWidget(CheckBox3);
    leaveRow->addWidget(RxSpinEdit1);
    leaveRow->addWidget(Label5);
    leaveRow->addStretch();
    top->addLayout(leaveRow);
    LBLDefault = new QLabel("Unrecognised mail goes to:");
    LblDefaultNote = new QLabel("Used for emails not recognised in local distribution list");
    CBXUser = new QComboBox;
    top->addWidget(LBLDefault);
    top->addWidget(CBXUser);
    top->addWidget(LblDefaultNote);
    SpeedButton1 = new QPushButton("Re-download all");
    top->addWidget(SpeedButton1);

    BtnOK = new QPushButton("OK");
    BtnCancel = new QPushButton("Cancel");
    BtnHelp = new QPushButton("Help");
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(BtnOK);
    row->addWidget(BtnCancel);
    row->addWidget(BtnHelp);
    top->addLayout(row);

    connect(BtnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(BtnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(BtnHelp, &QPushButton::clicked, this, [this] {
        // Help topics may live beside the program rather than in its home.
        if (!helpTopic_.empty()) TFrmMain::ShowHelpTopic(helpTopic_);
    });
    connect(CheckBox2, &QCheckBox::toggled, this, &TFrmMailAccount::LeaveChanged);
    connect(RxSpinEdit1, qOverload<int>(&QSpinBox::valueChanged), this,
            [this](int v) { Label5->setText(v == 1 ? "day" : "days"); });
    connect(SpeedButton1, &QPushButton::clicked, this, &TFrmMailAccount::SpeedButton1Click);
}

void TFrmMailAccount::LeaveChanged() {
    const bool on = CheckBox2->isChecked();
    CheckBox3->setEnabled(on);
    RxSpinEdit1->setEnabled(on);
    Label5->setEnabled(on);
}

void TFrmMailAccount::SpeedButton1Click() {
    if (setup::hooks.forgetDownloaded) setup::hooks.forgetDownloaded(S(EditName->text()));
    SpeedButton1->setEnabled(false);
}

void TFrmMailAccount::Arrange(Mode mode, const std::string& caption) {
    setWindowTitle(Q(caption));
    const bool pop = mode == Mode::PopAccount;
    for (QWidget* w : std::initializer_list<QWidget*>{LblName, EditName, LblHost, EditHost, CheckBox1, CheckBox2,
                                                      CheckBox3, RxSpinEdit1, Label5, LBLDefault, LblDefaultNote,
                                                      CBXUser, SpeedButton1})
        w->setVisible(pop);
    LblMailFrom->setVisible(mode == Mode::SmtpAuth);
    EditMailFrom->setVisible(mode == Mode::SmtpAuth);
    BtnHelp->setVisible(mode != Mode::SmtpAuth);
    switch (mode) {
    case Mode::PopAccount:
        LblLogin->setText("Logon username:");
        LblPassword->setText("Logon password:");
        helpTopic_ = "addpop.htm";
        break;
    case Mode::LocalUser:
        LblLogin->setText("Username:");
        LblPassword->setText("Password:");
        helpTopic_ = "users.htm";
        break;
    case Mode::SmtpAuth:
        LblLogin->setText("AUTH Username:");
        LblPassword->setText("AUTH Password:");
        helpTopic_.clear();
        break;
    }
}

bool TFrmMailAccount::Run() {
    if (ExecForTesting) return ExecForTesting(*this);
    return exec() == QDialog::Accepted;
}

bool TFrmMailAccount::EditPopAccount(const std::string& Caption, std::string& Name, std::string& Host,
                                     std::string& Login, std::string& Password, bool& Include, bool& Leave,
                                     int& LeaveDays, std::string& Default) {
    Arrange(Mode::PopAccount, Caption);
    EditName->setText(Q(Name));
    EditHost->setText(Q(Host));
    EditLogin->setText(Q(Login));
    EditPassword->setText(Q(Password));
    CheckBox1->setChecked(Include);
    CheckBox2->setChecked(Leave);
    CheckBox3->setChecked(Leave && LeaveDays != 0);
    RxSpinEdit1->setValue(LeaveDays == 0 ? 1 : LeaveDays);
    Label5->setText(RxSpinEdit1->value() == 1 ? "day" : "days");
    LeaveChanged();
    CBXUser->clear();
    if (FrmSettings)
        for (const auto& n : FrmSettings->userNames()) CBXUser->addItem(Q(n));
    CBXUser->setCurrentIndex(CBXUser->findText(Q(Default), Qt::MatchExactly));
    SpeedButton1->setVisible(!Name.empty());
    SpeedButton1->setEnabled(!Name.empty() && setup::hooks.hasDownloaded && setup::hooks.hasDownloaded(Name));
    if (!Run()) return false;
    Name = S(EditName->text());
    Host = S(EditHost->text());
    Login = S(EditLogin->text());
    Password = S(EditPassword->text());
    Include = CheckBox1->isChecked();
    Leave = CheckBox2->isChecked();
    LeaveDays = CheckBox3->isChecked() ? static_cast<int>(std::lround(RxSpinEdit1->value())) : 0;
    Default = S(CBXUser->currentText());
    return true;
}

bool TFrmMailAccount::EditLocalUser(const std::string& Caption, std::string& UserName, std::string& Password) {
    Arrange(Mode::LocalUser, Caption);
    EditLogin->setText(Q(UserName));
    EditPassword->setText(Q(Password));
    if (!Run()) return false;
    UserName = S(EditLogin->text());
    Password = S(EditPassword->text());
    return true;
}

bool TFrmMailAccount::EditSmtpAuth(const std::string& Caption, std::string& Login, std::string& Password,
                                   std::string& MailFrom) {
    Arrange(Mode::SmtpAuth, Caption);
    EditLogin->setText(Q(Login));
    EditPassword->setText(Q(Password));
    EditMailFrom->setText(Q(MailFrom));
    if (!Run()) return false;
    Login = S(EditLogin->text());
    Password = S(EditPassword->text());
    MailFrom = S(EditMailFrom->text());
    return true;
}
