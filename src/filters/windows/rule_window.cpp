// The rule dialog, and the add-in parameter help that both add-in windows
// offer.
#include "filters/windows/rule_window.h"

#include "filters/windows/addins_window.h"
#include "platform/dialogs.h"
#include "shell/splash.h"
#include "transport/store.h"
#include "transport/table_owner.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <functional>

TFrmRule* FrmRule = nullptr;
std::function<bool(TFrmRule&)> TFrmRule::ExecForTesting;

namespace AddInRule {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }
std::string S(const QString& s) { return s.toStdString(); }

}  // namespace

void ShowParams(const std::string& libraryPath, QWidget* parent) {
    std::string text;
    switch (QueryText(libraryPath, "TWAddinParams", text)) {
    case TQueryResult::Ok:
        platform::MessageBox(text, platform::MsgKind::Information, platform::MsgButtons::Ok, parent);
        break;
    case TQueryResult::NoExport:
        platform::MessageBox("Addin doesn't have params.", platform::MsgKind::Error, platform::MsgButtons::Ok, parent);
        break;
    default:
        platform::MessageBox("Invalid Addin.", platform::MsgKind::Error, platform::MsgButtons::Ok, parent);
        break;
    }
}

void FillRuleCombos() {
    if (FrmRule == nullptr) return;
    std::vector<std::string> users = tables::UserNames();
    FrmRule->CBXUsers->clear();
    FrmRule->CBXUsers->addItem("All Users");
    for (const auto& u : users) FrmRule->CBXUsers->addItem(Q(u));
    for (const char* s : {"Probable Spam", "Possible Spam", "Any Spam"}) FrmRule->CBXUsers->addItem(s);
    FrmRule->CBXUsers->setCurrentIndex(0);
    FrmRule->CBXUsers2->clear();
    FrmRule->CBXUsers2->addItem("All Users");
    for (const auto& u : users) FrmRule->CBXUsers2->addItem(Q(u));
    FrmRule->CBXUsers2->setCurrentIndex(0);
    for (QComboBox* box : {FrmRule->CBXAddin1, FrmRule->CBXAddin2, FrmRule->CBXAddin3}) {
        box->clear();
        box->addItem("");
        if (FrmAddins != nullptr) {
            for (int i = 0; i < FrmAddins->ListView1->topLevelItemCount(); ++i)
                box->addItem(FrmAddins->ListView1->topLevelItem(i)->text(Addins::colAddinName));
        }
        box->setCurrentIndex(0);
    }
}

bool NewRule() {
    if (FrmRule == nullptr) return false;
    FrmRule->EditName->clear();
    FillRuleCombos();
    for (QCheckBox* box : {FrmRule->CheckBox1, FrmRule->CheckBox2, FrmRule->CheckBox3, FrmRule->CHBIncoming})
        box->setChecked(true);
    FrmRule->CheckBox4->setChecked(false);
    FrmRule->CHBOutgoing->setChecked(false);
    FrmRule->CBXHeader->setCurrentIndex(0);
    FrmRule->EditHeaderText->clear();
    for (QLineEdit* edit : {FrmRule->EditParams1, FrmRule->EditParams2, FrmRule->EditParams3}) edit->clear();
    FrmRule->ChangeStuff();
    FrmRule->BtnOK->setEnabled(false);
    return FrmRule->Execute();
}

bool EditRule(QTreeWidgetItem* item) {
    if (FrmRule == nullptr || item == nullptr) return false;
    FillRuleCombos();
    FrmRule->FromRule(Addins::RowToRule(item));
    if (!FrmRule->Execute()) return false;
    AddInRule::TRule rule = FrmRule->ToRule();
    rule.Active = item->checkState(Addins::colRule) == Qt::Checked;
    Addins::RuleToRow(rule, item);
    return true;
}

}  // namespace AddInRule

// ---------------------------------------------------------------------------
// The rule dialog
// ---------------------------------------------------------------------------

TFrmRule::TFrmRule(QWidget* parent) : QDialog(parent) {
    setWindowTitle("AddIn Rule...");
    auto named = [this](auto* w, const char* name) {
        w->setObjectName(name);
        return w;
    };
    EditName = named(new QLineEdit(this), "EditName");
    CHBIncoming = named(new QCheckBox("Incoming mail to:", this), "CHBIncoming");
    CBXUsers = named(new QComboBox(this), "CBXUsers");
    CheckBox1 = named(new QCheckBox("Check emails from external (POP) source", this), "CheckBox1");
    CheckBox2 = named(new QCheckBox("Check internal emails (from other Tarnwick users)", this), "CheckBox2");
    CheckBox3 = named(new QCheckBox("Check emails marked as spam", this), "CheckBox3");
    CHBOutgoing = named(new QCheckBox("Outgoing mail from::", this), "CHBOutgoing");
    CBXUsers2 = named(new QComboBox(this), "CBXUsers2");
    CheckBox4 = named(new QCheckBox("Check header line:", this), "CheckBox4");
    CBXHeader = named(new QComboBox(this), "CBXHeader");
    CBXHeader->setEditable(true);
    CBXHeader->addItems({"To:", "From:", "Subject:", "CC:"});
    EditHeaderText = named(new QLineEdit(this), "EditHeaderText");
    CBXAddin1 = named(new QComboBox(this), "CBXAddin1");
    CBXAddin2 = named(new QComboBox(this), "CBXAddin2");
    CBXAddin3 = named(new QComboBox(this), "CBXAddin3");
    EditParams1 = named(new QLineEdit(this), "EditParams1");
    EditParams2 = named(new QLineEdit(this), "EditParams2");
    EditParams3 = named(new QLineEdit(this), "EditParams3");
    SpeedButton1 = named(new QToolButton(this), "SpeedButton1");
    SpeedButton2 = named(new QToolButton(this), "SpeedButton2");
    SpeedButton3 = named(new QToolButton(this), "SpeedButton3");
    BtnOK = named(new QPushButton("OK", this), "BtnOK");
    BtnCancel = named(new QPushButton("Cancel", this), "BtnCancel");
    BtnOK->setDefault(true);

    auto* grid = new QGridLayout;
    int row = 0;
    grid->addWidget(new QLabel("Rule Name:", this), row, 0);
    grid->addWidget(EditName, row++, 1, 1, 3);
    grid->addWidget(CHBIncoming, row, 0);
    grid->addWidget(CBXUsers, row++, 1, 1, 3);
    for (QCheckBox* box : {CheckBox1, CheckBox2, CheckBox3}) grid->addWidget(box, row++, 1, 1, 3);
    grid->addWidget(CHBOutgoing, row, 0);
    grid->addWidget(CBXUsers2, row++, 1, 1, 3);
    grid->addWidget(CheckBox4, row, 0);
    grid->addWidget(CBXHeader, row++, 1, 1, 3);
    grid->addWidget(new QLabel("For text:", this), row, 0);
    grid->addWidget(EditHeaderText, row++, 1, 1, 3);
    QComboBox* addins[] = {CBXAddin1, CBXAddin2, CBXAddin3};
    QLineEdit* params[] = {EditParams1, EditParams2, EditParams3};
    QToolButton* helps[] = {SpeedButton1, SpeedButton2, SpeedButton3};
    for (int i = 0; i < 3; ++i) {
        grid->addWidget(new QLabel(QString("Run Addin %1:").arg(i + 1), this), row, 0);
        addins[i]->setMinimumContentsLength(16);
        grid->addWidget(addins[i], row, 1);
        grid->addWidget(new QLabel("Params:", this), row, 2);
        auto* p = new QHBoxLayout;
        p->addWidget(params[i]);
        helps[i]->setText("?");
        p->addWidget(helps[i]);
        grid->addLayout(p, row++, 3);
        connect(helps[i], &QToolButton::clicked, this, &TFrmRule::SpeedButton1Click);
        connect(addins[i], &QComboBox::currentIndexChanged, this, &TFrmRule::ChangeStuff);
    }
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(BtnOK);
    buttons->addWidget(BtnCancel);
    auto* all = new QVBoxLayout(this);
    all->addLayout(grid);
    all->addLayout(buttons);

    connect(EditName, &QLineEdit::textChanged, this, &TFrmRule::ChangeStuff);
    for (QCheckBox* box : {CHBIncoming, CHBOutgoing, CheckBox4})
        connect(box, &QCheckBox::toggled, this, &TFrmRule::ChangeStuff);
    connect(BtnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(BtnCancel, &QPushButton::clicked, this, &QDialog::reject);

    FormCreate();
}

TFrmRule::~TFrmRule() { FormDestroy(); }

void TFrmRule::FormCreate() {
    splash::Progress("Setting up Addin rules...");
    AddInRule::LoadAddinTable(smtp::StoreFolder(smtp::FolderAddins));
}

void TFrmRule::FormDestroy() { AddInRule::FreeAddinTable(); }

bool TFrmRule::Execute() { return ExecForTesting ? ExecForTesting(*this) : exec() == QDialog::Accepted; }

AddInRule::TRule TFrmRule::ToRule() const {
    AddInRule::TRule rule;
    rule.Name = AddInRule::S(EditName->text());
    rule.InTo = CHBIncoming->isChecked() ? AddInRule::S(CBXUsers->currentText()) : "";
    rule.POP = CheckBox1->isChecked() ? "yes" : "no";
    rule.Internal = CheckBox2->isChecked() ? "yes" : "no";
    rule.Spam = CheckBox3->isChecked() ? "yes" : "no";
    rule.OutFrom = CHBOutgoing->isChecked() ? AddInRule::S(CBXUsers2->currentText()) : "";
    if (CheckBox4->isChecked()) {
        rule.Header = AddInRule::S(CBXHeader->currentText());
        rule.HeaderLookFor = AddInRule::S(EditHeaderText->text());
    }
    const QComboBox* addins[] = {CBXAddin1, CBXAddin2, CBXAddin3};
    const QLineEdit* params[] = {EditParams1, EditParams2, EditParams3};
    for (int i = 0; i < 3; ++i) {
        rule.Addin[i] = AddInRule::S(addins[i]->currentText());
        rule.Params[i] = AddInRule::S(params[i]->text());
    }
    return rule;
}

void TFrmRule::FromRule(const AddInRule::TRule& rule) {
    EditName->setText(AddInRule::Q(rule.Name));
    const int in = rule.InTo.empty() ? -1 : CBXUsers->findText(AddInRule::Q(rule.InTo), Qt::MatchFixedString);
    CHBIncoming->setChecked(in >= 0);
    if (in >= 0) CBXUsers->setCurrentIndex(in);
    CheckBox1->setChecked(rule.POP == "yes");
    CheckBox2->setChecked(rule.Internal == "yes");
    CheckBox3->setChecked(rule.Spam == "yes");
    const int out =
        rule.OutFrom.empty() ? -1 : CBXUsers2->findText(AddInRule::Q(rule.OutFrom), Qt::MatchFixedString);
    CHBOutgoing->setChecked(out >= 0);
    if (out >= 0) CBXUsers2->setCurrentIndex(out);
    CheckBox4->setChecked(!rule.Header.empty());
    CBXHeader->setEditText(AddInRule::Q(rule.Header));
    EditHeaderText->setText(AddInRule::Q(rule.HeaderLookFor));
    QComboBox* addins[] = {CBXAddin1, CBXAddin2, CBXAddin3};
    QLineEdit* params[] = {EditParams1, EditParams2, EditParams3};
    for (int i = 0; i < 3; ++i) {
        const int at = addins[i]->findText(AddInRule::Q(rule.Addin[i]), Qt::MatchExactly | Qt::MatchCaseSensitive);
        addins[i]->setCurrentIndex(at < 0 ? 0 : at);
        params[i]->setText(AddInRule::Q(rule.Params[i]));
    }
    ChangeStuff();
}

void TFrmRule::ChangeStuff() {
    BtnOK->setEnabled(!EditName->text().isEmpty() && CBXAddin1->currentIndex() > 0);
    const bool incoming = CHBIncoming->isChecked();
    for (QWidget* w : std::initializer_list<QWidget*>{CBXUsers, CheckBox1, CheckBox2, CheckBox3})
        w->setEnabled(incoming);
    CBXUsers2->setEnabled(CHBOutgoing->isChecked());
    CBXHeader->setEnabled(CheckBox4->isChecked());
    EditHeaderText->setEnabled(CheckBox4->isChecked());
}

void TFrmRule::SpeedButton1Click() {
    QObject* from = sender();
    QComboBox* box = from == SpeedButton2 ? CBXAddin2 : from == SpeedButton3 ? CBXAddin3 : CBXAddin1;
    const QString name = box->currentText();
    std::string path;
    if (FrmAddins != nullptr) {
        for (int i = 0; i < FrmAddins->ListView1->topLevelItemCount(); ++i) {
            const QTreeWidgetItem* item = FrmAddins->ListView1->topLevelItem(i);
            if (item->text(Addins::colAddinName).compare(name, Qt::CaseInsensitive) == 0) {
                path = AddInRule::S(item->text(Addins::colDllFile));
                break;
            }
        }
    }
    if (path.empty()) {
        platform::MessageBox("Cannot find chosen Addin", platform::MsgKind::Error, platform::MsgButtons::Ok, this);
        return;
    }
    AddInRule::ShowParams(path, this);
}
