// The dialog that edits one out-of-office entry; while it exists the
// settings window reaches the responder through its hooks.
#include "filters/windows/holiday_window.h"

#include "settings/setup.h"
#include "shell/main.h"
#include "shell/splash.h"
#include "transport/table_owner.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>
#include <functional>

TFrmHoliday* FrmHoliday = nullptr;
std::function<bool(TFrmHoliday&)> TFrmHoliday::ExecForTesting;

namespace holiday {

namespace {

QDate ToQDate(TDateTime date) { return QDate(1899, 12, 30).addDays(static_cast<qint64>(std::floor(date))); }
TDateTime FromQDate(const QDate& date) { return memtable::EncodeDate(date.year(), date.month(), date.day()); }

std::string S(const QString& s) { return s.toStdString(); }
QString Q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

bool EditEntry(std::string& user, std::string& subject, std::string& message, TDateTime& endDate, int& who) {
    if (FrmHoliday == nullptr) return false;
    FrmHoliday->Fill(user, subject, message, endDate, who);
    if (!FrmHoliday->Execute()) return false;
    FrmHoliday->ReadBack(user, subject, message, endDate, who);
    return true;
}

}  // namespace holiday

TFrmHoliday::TFrmHoliday(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Auto-respond");
    CBXUser = new QComboBox(this);
    CBXUser->setObjectName("CBXUser");
    EditSubject = new QLineEdit(this);
    EditSubject->setObjectName("EditSubject");
    MemoMessage = new QPlainTextEdit(this);
    MemoMessage->setObjectName("MemoMessage");
    CHBUntil = new QCheckBox("Only use until:", this);
    CHBUntil->setObjectName("CHBUntil");
    EditUntil = new QDateEdit(this);
    EditUntil->setObjectName("EditUntil");
    EditUntil->setCalendarPopup(true);
    RGBWho = new TRadioGroup("Auto-respond to", {"All email", "Internal only", "External only"}, this);
    RGBWho->setObjectName("RGBWho");
    BtnOK = new QPushButton("OK", this);
    BtnOK->setObjectName("BtnOK");
    BtnOK->setDefault(true);
    BtnCancel = new QPushButton("Cancel", this);
    BtnCancel->setObjectName("BtnCancel");
    BtnHelp = new QPushButton("Help", this);
    BtnHelp->setObjectName("BtnHelp");

    auto* form = new QFormLayout;
    form->addRow("User:", CBXUser);
    form->addRow("Subject:", EditSubject);
    form->addRow("Message:", MemoMessage);
    auto* until = new QHBoxLayout;
    until->addWidget(CHBUntil);
    until->addWidget(EditUntil);
    until->addStretch();
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(BtnOK);
    buttons->addWidget(BtnCancel);
    buttons->addWidget(BtnHelp);
    auto* all = new QVBoxLayout(this);
    all->addLayout(form);
    all->addLayout(until);
    all->addWidget(RGBWho);
    all->addLayout(buttons);

    connect(CBXUser, &QComboBox::currentIndexChanged, this, &TFrmHoliday::CheckChange);
    connect(MemoMessage, &QPlainTextEdit::textChanged, this, &TFrmHoliday::CheckChange);
    connect(CHBUntil, &QCheckBox::toggled, this, &TFrmHoliday::CheckChange);
    connect(BtnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(BtnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(BtnHelp, &QPushButton::clicked, this, &TFrmHoliday::BtnHelpClick);

    // The settings window reaches this unit through its hooks.
    setup::hooks.defineHolidayFields = holiday::DefineHolidayFields;
    setup::hooks.upgradeHolidayTable = holiday::UpgradeHolidayTable;
    setup::hooks.editHoliday = holiday::EditEntry;
    setup::hooks.notifyHoliday = holiday::NotifyUser;

    FormCreate();
}

TFrmHoliday::~TFrmHoliday() {
    setup::hooks.defineHolidayFields = nullptr;
    setup::hooks.upgradeHolidayTable = nullptr;
    setup::hooks.editHoliday = nullptr;
    setup::hooks.notifyHoliday = nullptr;
}

bool TFrmHoliday::Execute() { return ExecForTesting ? ExecForTesting(*this) : exec() == QDialog::Accepted; }

void TFrmHoliday::FormCreate() {
    splash::Progress("Checking auto-responder...");
    holiday::CheckExpiry();
}

void TFrmHoliday::Fill(const std::string& user, const std::string& subject, const std::string& message,
                       TDateTime endDate, int who) {
    CBXUser->clear();
    for (const auto& name : tables::UserNames()) CBXUser->addItem(holiday::Q(name));
    CBXUser->setCurrentIndex(CBXUser->findText(holiday::Q(user)));
    const TDateTime today = holiday::Today();
    const bool running = endDate >= 1.0 && today < std::floor(endDate);
    CHBUntil->setChecked(running);
    EditUntil->setDate(running ? holiday::ToQDate(endDate) : holiday::ToQDate(today));
    EditSubject->setText(holiday::Q(subject));
    MemoMessage->setPlainText(holiday::Q(message));
    RGBWho->SetItemIndex(who);
    CheckChange();
}

void TFrmHoliday::ReadBack(std::string& user, std::string& subject, std::string& message, TDateTime& endDate,
                           int& who) const {
    user = holiday::S(CBXUser->currentText());
    const TDateTime chosen = holiday::FromQDate(EditUntil->date());
    endDate = CHBUntil->isChecked() && chosen > holiday::Today() ? chosen : 0;
    subject = holiday::S(EditSubject->text());
    message = holiday::S(MemoMessage->toPlainText());
    who = RGBWho->ItemIndex() < 0 ? 0 : RGBWho->ItemIndex();
}

void TFrmHoliday::CheckChange() {
    BtnOK->setEnabled(CBXUser->currentIndex() >= 0 && !MemoMessage->toPlainText().isEmpty());
    EditUntil->setEnabled(CHBUntil->isChecked());
}

void TFrmHoliday::BtnHelpClick() { TFrmMain::ShowHelpTopic("holiday.htm"); }

void TFrmHoliday::FormKeyDown(int key) {
    if (key == 112) BtnHelpClick();
}

void TFrmHoliday::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F1) {
        FormKeyDown(112);
        return;
    }
    QDialog::keyPressEvent(event);
}
