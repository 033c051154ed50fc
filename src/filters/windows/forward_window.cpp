// The dialog that edits one forwarding row of the settings window.
#include "filters/windows/forward_window.h"

#include "settings/setup.h"
#include "shell/main.h"
#include "transport/table_owner.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <functional>

TFrmForward* FrmForward = nullptr;
std::function<bool(TFrmForward&)> TFrmForward::ExecForTesting;

namespace forward {

bool EditForward(std::string& user, std::string& forwardTo, bool& copy, bool& isLocal) {
    if (FrmForward == nullptr) return false;
    FrmForward->Fill(user, forwardTo, copy, isLocal);
    if (!FrmForward->Execute()) return false;
    FrmForward->ReadBack(user, forwardTo, copy, isLocal);
    return true;
}

}  // namespace forward

TFrmForward::TFrmForward(QWidget* parent) : QDialog(parent) {
    setWindowTitle("New Forward...");
    CBXUser = new QComboBox(this);
    CBXUser->setObjectName("CBXUser");
    RBTLocal = new QRadioButton("Local user:", this);
    RBTLocal->setObjectName("RBTLocal");
    CBXLocal = new QComboBox(this);
    CBXLocal->setObjectName("CBXLocal");
    RBTExternal = new QRadioButton("External address:", this);
    RBTExternal->setObjectName("RBTExternal");
    EditExternal = new QLineEdit(this);
    EditExternal->setObjectName("EditExternal");
    CHBCopy = new QCheckBox("Keep a copy of message in user's inbox", this);
    CHBCopy->setObjectName("CHBCopy");
    BtnOK = new QPushButton("OK", this);
    BtnOK->setObjectName("BtnOK");
    BtnOK->setDefault(true);
    BtnCancel = new QPushButton("Cancel", this);
    BtnCancel->setObjectName("BtnCancel");
    BtnHelp = new QPushButton("Help", this);
    BtnHelp->setObjectName("BtnHelp");

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel("Incoming mail to:", this), 0, 0);
    grid->addWidget(CBXUser, 0, 1);
    grid->addWidget(RBTLocal, 1, 0);
    grid->addWidget(CBXLocal, 1, 1);
    grid->addWidget(RBTExternal, 2, 0);
    grid->addWidget(EditExternal, 2, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(BtnOK);
    buttons->addWidget(BtnCancel);
    buttons->addWidget(BtnHelp);
    auto* all = new QVBoxLayout(this);
    all->addLayout(grid);
    all->addWidget(CHBCopy);
    all->addLayout(buttons);

    connect(CBXUser, &QComboBox::currentIndexChanged, this, &TFrmForward::CBXUserChange);
    connect(CBXLocal, &QComboBox::currentIndexChanged, this, &TFrmForward::CBXUserChange);
    connect(EditExternal, &QLineEdit::textChanged, this, &TFrmForward::CBXUserChange);
    connect(RBTLocal, &QRadioButton::toggled, this, &TFrmForward::CBXUserChange);
    connect(BtnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(BtnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(BtnHelp, &QPushButton::clicked, this, &TFrmForward::BtnHelpClick);

    setup::hooks.editForward = forward::EditForward;
}

TFrmForward::~TFrmForward() { setup::hooks.editForward = nullptr; }

bool TFrmForward::Execute() { return ExecForTesting ? ExecForTesting(*this) : exec() == QDialog::Accepted; }

void TFrmForward::Fill(const std::string& user, const std::string& forwardTo, bool copy, bool isLocal) {
    CBXUser->clear();
    CBXLocal->clear();
    for (const auto& name : tables::UserNames()) {
        CBXUser->addItem(QString::fromStdString(name));
        CBXLocal->addItem(QString::fromStdString(name));
    }
    CBXUser->setCurrentIndex(CBXUser->findText(QString::fromStdString(user)));
    RBTLocal->setChecked(isLocal);
    RBTExternal->setChecked(!isLocal);
    EditExternal->clear();
    CBXLocal->setCurrentIndex(-1);
    if (isLocal) CBXLocal->setCurrentIndex(CBXLocal->findText(QString::fromStdString(forwardTo)));
    else EditExternal->setText(QString::fromStdString(forwardTo));
    CHBCopy->setChecked(copy);
    CBXUserChange();
}

void TFrmForward::ReadBack(std::string& user, std::string& forwardTo, bool& copy, bool& isLocal) const {
    user = CBXUser->currentText().toStdString();
    isLocal = RBTLocal->isChecked();
    forwardTo = isLocal ? CBXLocal->currentText().toStdString() : EditExternal->text().toStdString();
    copy = CHBCopy->isChecked();
}

void TFrmForward::CBXUserChange() {
    const bool userChosen = CBXUser->currentIndex() >= 0;
    const bool targetChosen =
        RBTExternal->isChecked() ? !EditExternal->text().isEmpty() : CBXLocal->currentIndex() >= 0;
    BtnOK->setEnabled(userChosen && targetChosen);
    CHBCopy->setText(userChosen ? "Keep a copy of message in " + CBXUser->currentText() + "'s inbox"
                                : QString("Keep a copy of message in user's inbox"));
}

void TFrmForward::BtnHelpClick() { TFrmMain::ShowHelpTopic("forward.htm"); }

void TFrmForward::FormKeyDown(int key) {
    if (key == 112) BtnHelpClick();
}

void TFrmForward::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F1) {
        FormKeyDown(112);
        return;
    }
    QDialog::keyPressEvent(event);
}
