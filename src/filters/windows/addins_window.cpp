// Add-in window: installed add-ins, the live rule list and its storage in
// the settings file.
#include "filters/windows/addins_window.h"

#include "filters/addins.h"

#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "platform/shell.h"
#include "transport/globals.h"
#include "shell/main.h"
#include "shell/splash.h"
#include "transport/settings_file.h"
#include "transport/store.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

TFrmAddins* FrmAddins = nullptr;

namespace Addins {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }
std::string S(const QString& s) { return s.toStdString(); }

const char* const RuleKeys[RuleColumnCount] = {"Name",    "User",          "POP",     "Internal", "Spam",
                                               "Out",     "Header",        "HeaderLookFor",       "Addin1",
                                               "Params1", "Addin2",        "Params2", "Addin3",   "Params3"};

}  // namespace

AddInRule::TRule RowToRule(const QTreeWidgetItem* item) {
    AddInRule::TRule r;
    r.Name = S(item->text(colRule));
    r.Active = item->checkState(colRule) == Qt::Checked;
    r.InTo = S(item->text(colInTo));
    r.POP = S(item->text(colPOP));
    r.Internal = S(item->text(colInternal));
    r.Spam = S(item->text(colSpam));
    r.OutFrom = S(item->text(colOutFrom));
    r.Header = S(item->text(colHeader));
    r.HeaderLookFor = S(item->text(colContains));
    for (int i = 0; i < 3; ++i) {
        r.Addin[i] = S(item->text(colAddin1 + 2 * i));
        r.Params[i] = S(item->text(colParams1 + 2 * i));
    }
    return r;
}

void RuleToRow(const AddInRule::TRule& r, QTreeWidgetItem* item) {
    item->setText(colRule, Q(r.Name));
    item->setCheckState(colRule, r.Active ? Qt::Checked : Qt::Unchecked);
    item->setText(colInTo, Q(r.InTo));
    item->setText(colPOP, Q(r.POP));
    item->setText(colInternal, Q(r.Internal));
    item->setText(colSpam, Q(r.Spam));
    item->setText(colOutFrom, Q(r.OutFrom));
    item->setText(colHeader, Q(r.Header));
    item->setText(colContains, Q(r.HeaderLookFor));
    for (int i = 0; i < 3; ++i) {
        item->setText(colAddin1 + 2 * i, Q(r.Addin[i]));
        item->setText(colParams1 + 2 * i, Q(r.Params[i]));
    }
}

void LoadAddinsAndRules(TFrmAddins* form) {
    if (form == nullptr) return;
    form->loading_ = true;
    form->ListView1->clear();
    const std::string folder = smtp::StoreFolder(smtp::FolderAddins);
    for (const auto& file : platform::ListFiles(folder, AddInRule::AddinMask)) {
        const std::string path = folder + file;
        std::string name, desc;
        // A library is listed only when it can say both who it is and what
        // it does.
        if (AddInRule::QueryText(path, "TWAddinName", name) != AddInRule::TQueryResult::Ok) continue;
        if (AddInRule::QueryText(path, "TWAddinDesc", desc) != AddInRule::TQueryResult::Ok) continue;
        auto* item = new QTreeWidgetItem(form->ListView1);
        item->setText(colFile, Q(file));
        item->setText(colVersion, Q(GetFileVersion(path)));
        item->setText(colAddinName, Q(name));
        item->setText(colDescription, Q(desc));
        item->setText(colDllFile, Q(path));
    }

    form->ListView2->clear();
    platform::IniFile ini(settings::IniPath());
    for (int n = 1;; ++n) {
        const std::string num = std::to_string(n);
        AddInRule::TRule rule;
        rule.Name = ini.ReadString("Rules", "Name" + num, "");
        if (rule.Name.empty()) break;
        rule.Active = ini.ReadBool("Rules", "Active" + num, true);
        std::string* fields[RuleColumnCount] = {nullptr,          &rule.InTo,      &rule.POP,       &rule.Internal,
                                                &rule.Spam,       &rule.OutFrom,   &rule.Header,    &rule.HeaderLookFor,
                                                &rule.Addin[0],   &rule.Params[0], &rule.Addin[1],  &rule.Params[1],
                                                &rule.Addin[2],   &rule.Params[2]};
        for (int c = 1; c < RuleColumnCount; ++c) *fields[c] = ini.ReadString("Rules", RuleKeys[c] + num, "");
        RuleToRow(rule, new QTreeWidgetItem(form->ListView2));
    }
    form->loading_ = false;
    form->BtnApply->setEnabled(false);
    form->ListView1SelectItem();
    form->ListView2SelectItem();
}

void SaveAddinsAndRules(TFrmAddins* form) {
    if (form == nullptr) return;
    platform::IniFile ini(settings::IniPath());
    ini.EraseSection("AddIns");
    for (int i = 0; i < form->ListView1->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = form->ListView1->topLevelItem(i);
        const std::string num = std::to_string(i + 1);
        ini.WriteString("AddIns", "Name" + num, S(item->text(colAddinName)));
        ini.WriteString("AddIns", "Desc" + num, S(item->text(colDescription)));
        ini.WriteString("AddIns", "DLL" + num, S(item->text(colDllFile)));
    }
    ini.EraseSection("Rules");
    for (int i = 0; i < form->ListView2->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = form->ListView2->topLevelItem(i);
        const std::string num = std::to_string(i + 1);
        ini.WriteString("Rules", "Name" + num, S(item->text(colRule)));
        ini.WriteBool("Rules", "Active" + num, item->checkState(colRule) == Qt::Checked);
        for (int c = 1; c < RuleColumnCount; ++c)
            ini.WriteString("Rules", RuleKeys[c] + num, S(item->text(c)));
    }
}

}  // namespace Addins

TFrmAddins::TFrmAddins(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Addin configuration");
    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName("PageControl1");

    auto* page1 = new QWidget;
    ListView1 = new QTreeWidget(page1);
    ListView1->setObjectName("ListView1");
    ListView1->setHeaderLabels({"File", "Version", "AddIn Name", "Description", "DLL File"});
    ListView1->setRootIsDecorated(false);
    ListView1->setColumnHidden(Addins::colDllFile, true);
    BtnAdd = new QPushButton("Add...", page1);
    BtnAdd->setObjectName("BtnAdd");
    BtnParams = new QPushButton("Param list...", page1);
    BtnParams->setObjectName("BtnParams");
    BtnConfigAddin = new QPushButton("Configure addin...", page1);
    BtnConfigAddin->setObjectName("BtnConfigAddin");
    auto* lay1 = new QVBoxLayout(page1);
    lay1->addWidget(ListView1);
    auto* row1 = new QHBoxLayout;
    row1->addWidget(BtnAdd);
    row1->addWidget(BtnParams);
    row1->addWidget(BtnConfigAddin);
    row1->addStretch();
    lay1->addLayout(row1);
    PageControl1->addTab(page1, "Installed Addins");

    auto* page2 = new QWidget;
    ListView2 = new QTreeWidget(page2);
    ListView2->setObjectName("ListView2");
    ListView2->setHeaderLabels({"Rule", "In - To", "POP", "Internal", "Spam", "Out - From", "Header", "Contains",
                                "Addin 1", "Params 1", "Addin 2", "Params 2", "Addin 3", "Params 3"});
    ListView2->setRootIsDecorated(false);
    BtnAddRule = new QPushButton("Add...", page2);
    BtnAddRule->setObjectName("BtnAddRule");
    BtnEditRule = new QPushButton("Edit...", page2);
    BtnEditRule->setObjectName("BtnEditRule");
    BtnCopyRule = new QPushButton("Copy...", page2);
    BtnCopyRule->setObjectName("BtnCopyRule");
    BtnDelRule = new QPushButton("Delete", page2);
    BtnDelRule->setObjectName("BtnDelRule");
    BtnUp = new QPushButton("Up", page2);
    BtnUp->setObjectName("BtnUp");
    BtnDown = new QPushButton("Down", page2);
    BtnDown->setObjectName("BtnDown");
    auto* lay2 = new QVBoxLayout(page2);
    lay2->addWidget(ListView2);
    auto* row2 = new QHBoxLayout;
    for (QPushButton* b : {BtnAddRule, BtnEditRule, BtnCopyRule, BtnDelRule, BtnUp, BtnDown}) row2->addWidget(b);
    row2->addStretch();
    lay2->addLayout(row2);
    PageControl1->addTab(page2, "Addin rules");

    BtnOK = new QPushButton("OK", this);
    BtnOK->setObjectName("BtnOK");
    BtnCancel = new QPushButton("Cancel", this);
    BtnCancel->setObjectName("BtnCancel");
    BtnApply = new QPushButton("Apply", this);
    BtnApply->setObjectName("BtnApply");
    auto* all = new QVBoxLayout(this);
    all->addWidget(PageControl1);
    auto* bottom = new QHBoxLayout;
    bottom->addStretch();
    for (QPushButton* b : {BtnOK, BtnCancel, BtnApply}) bottom->addWidget(b);
    all->addLayout(bottom);

    connect(BtnAdd, &QPushButton::clicked, this, &TFrmAddins::BtnAddClick);
    connect(BtnParams, &QPushButton::clicked, this, &TFrmAddins::BtnParamsClick);
    connect(BtnConfigAddin, &QPushButton::clicked, this, &TFrmAddins::BtnConfigAddinClick);
    connect(ListView1, &QTreeWidget::itemSelectionChanged, this, &TFrmAddins::ListView1SelectItem);
    connect(BtnAddRule, &QPushButton::clicked, this, &TFrmAddins::BtnAddRuleClick);
    connect(BtnEditRule, &QPushButton::clicked, this, &TFrmAddins::BtnEditRuleClick);
    connect(BtnCopyRule, &QPushButton::clicked, this, &TFrmAddins::BtnCopyRuleClick);
    connect(BtnDelRule, &QPushButton::clicked, this, &TFrmAddins::BtnDelRuleClick);
    connect(BtnUp, &QPushButton::clicked, this, &TFrmAddins::BtnUpClick);
    connect(BtnDown, &QPushButton::clicked, this, &TFrmAddins::BtnDownClick);
    connect(ListView2, &QTreeWidget::itemSelectionChanged, this, &TFrmAddins::ListView2SelectItem);
    // A tick or untick of a rule counts at once and waits for Apply.
    connect(ListView2, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem*, int column) {
        if (!loading_ && column == Addins::colRule) BtnApply->setEnabled(true);
    });
    connect(BtnApply, &QPushButton::clicked, this, &TFrmAddins::BtnApplyClick);
    connect(BtnOK, &QPushButton::clicked, this, &TFrmAddins::BtnOKClick);
    connect(BtnCancel, &QPushButton::clicked, this, &TFrmAddins::BtnCancelClick);
    // Whatever changes the list (load, buttons, ticks, edits) reaches the
    // rules engine at once.
    QAbstractItemModel* rules = ListView2->model();
    const auto publish = [this] { PublishRules(); };
    connect(rules, &QAbstractItemModel::dataChanged, this, publish);
    connect(rules, &QAbstractItemModel::rowsInserted, this, publish);
    connect(rules, &QAbstractItemModel::rowsRemoved, this, publish);
    connect(rules, &QAbstractItemModel::rowsMoved, this, publish);
    connect(rules, &QAbstractItemModel::modelReset, this, publish);
    connect(rules, &QAbstractItemModel::layoutChanged, this, publish);

    FormCreate();
}

TFrmAddins::~TFrmAddins() {
    ListView2->model()->disconnect(this);
    AddInRule::SetLiveRules({});
}

void TFrmAddins::PublishRules() {
    std::vector<AddInRule::TRule> rules;
    for (int i = 0; i < ListView2->topLevelItemCount(); ++i)
        rules.push_back(Addins::RowToRule(ListView2->topLevelItem(i)));
    AddInRule::SetLiveRules(std::move(rules));
}

void TFrmAddins::FormCreate() {
    splash::Progress("Setting up Addins...");
    Addins::LoadAddinsAndRules(this);
    if (ListView1->topLevelItemCount() > 0) ListView1->setCurrentItem(ListView1->topLevelItem(0));
    SelectRow(0);
}

std::string TFrmAddins::AddinsPage() {
    // The help topic on add-ins says where they come from and how one is
    // written.
    return QUrl::fromLocalFile(QString::fromStdString(TFrmMain::HelpDir() + "addins.html")).toString().toStdString();
}

void TFrmAddins::BtnAddClick() {
    const std::string text = "Addins come in the form of DLLs and must be put in the " + ProgramDir +
                             "Addins folder. " + "Most of them are free.  You can download them from " +
                             AddinsPage() + " - would you like to visit the addins page now?";
    if (platform::MessageBox(text, platform::MsgKind::Confirmation, platform::MsgButtons::YesNo, this) ==
        platform::MsgResult::Yes)
        platform::OpenUrl(AddinsPage());
}

namespace {

std::string SelectedLibrary(QTreeWidget* list) {
    QTreeWidgetItem* item = list->currentItem();
    return item == nullptr ? std::string() : item->text(Addins::colDllFile).toStdString();
}

}  // namespace

void TFrmAddins::BtnParamsClick() {
    const std::string path = SelectedLibrary(ListView1);
    if (path.empty()) return;
    AddInRule::ShowParams(path, this);
}

void TFrmAddins::BtnConfigAddinClick() {
    const std::string path = SelectedLibrary(ListView1);
    if (path.empty()) return;
    switch (AddInRule::RunConfigure(path)) {
    case AddInRule::TQueryResult::Ok:
        break;
    case AddInRule::TQueryResult::NoExport:
        platform::MessageBox("Addin doesn't require configuring.", platform::MsgKind::Information,
                             platform::MsgButtons::Ok, this);
        break;
    default:
        platform::MessageBox("Invalid Addin.", platform::MsgKind::Error, platform::MsgButtons::Ok, this);
        break;
    }
}

void TFrmAddins::ListView1SelectItem() {
    QTreeWidgetItem* item = ListView1->currentItem();
    const bool selected = item != nullptr && item->isSelected();
    BtnParams->setEnabled(selected);
    bool configurable = false;
    if (selected) {
        platform::IniFile ini(settings::IniPath());
        configurable = ini.ReadBool(item->text(Addins::colAddinName).toStdString(), "Configure", false);
    }
    BtnConfigAddin->setEnabled(configurable);
}

void TFrmAddins::SelectRow(int row) {
    const int count = ListView2->topLevelItemCount();
    if (count == 0) {
        ListView2->setCurrentItem(nullptr);
        ListView2->clearSelection();
    } else {
        ListView2->setCurrentItem(ListView2->topLevelItem(std::clamp(row, 0, count - 1)));
    }
    ListView2SelectItem();
}

void TFrmAddins::ListView2SelectItem() {
    QTreeWidgetItem* item = ListView2->currentItem();
    const bool selected = item != nullptr && item->isSelected();
    const int row = selected ? ListView2->indexOfTopLevelItem(item) : -1;
    BtnEditRule->setEnabled(selected);
    BtnCopyRule->setEnabled(selected);
    BtnDelRule->setEnabled(selected);
    BtnUp->setEnabled(selected && row > 0);
    BtnDown->setEnabled(selected && row < ListView2->topLevelItemCount() - 1);
}

void TFrmAddins::BtnAddRuleClick() {
    if (!AddInRule::NewRule() || FrmRule == nullptr) return;
    AddInRule::TRule rule = FrmRule->ToRule();
    rule.Active = true;
    loading_ = true;
    Addins::RuleToRow(rule, new QTreeWidgetItem(ListView2));
    loading_ = false;
    SelectRow(ListView2->topLevelItemCount() - 1);
    BtnApply->setEnabled(true);
}

void TFrmAddins::BtnEditRuleClick() {
    QTreeWidgetItem* item = ListView2->currentItem();
    if (item == nullptr) return;
    loading_ = true;
    const bool ok = AddInRule::EditRule(item);
    loading_ = false;
    if (!ok) return;
    SelectRow(ListView2->indexOfTopLevelItem(item));
    BtnApply->setEnabled(true);
}

void TFrmAddins::BtnCopyRuleClick() {
    QTreeWidgetItem* source = ListView2->currentItem();
    if (source == nullptr) return;
    const int sourceRow = ListView2->indexOfTopLevelItem(source);
    AddInRule::TRule rule = Addins::RowToRule(source);
    rule.Name = "Copy of " + rule.Name;
    rule.Active = true;
    loading_ = true;
    auto* copy = new QTreeWidgetItem(ListView2);
    Addins::RuleToRow(rule, copy);
    loading_ = false;
    SelectRow(ListView2->indexOfTopLevelItem(copy));
    loading_ = true;
    const bool ok = AddInRule::EditRule(copy);
    loading_ = false;
    if (!ok) {
        delete copy;
        SelectRow(sourceRow);
        return;
    }
    SelectRow(ListView2->indexOfTopLevelItem(copy));
    BtnApply->setEnabled(true);
}

void TFrmAddins::BtnDelRuleClick() {
    QTreeWidgetItem* item = ListView2->currentItem();
    if (item == nullptr) return;
    const int row = ListView2->indexOfTopLevelItem(item);
    delete item;
    SelectRow(row);
    BtnApply->setEnabled(true);
}

void TFrmAddins::SwapRows(int a, int b) {
    QTreeWidgetItem* first = ListView2->topLevelItem(a);
    QTreeWidgetItem* second = ListView2->topLevelItem(b);
    if (first == nullptr || second == nullptr) return;
    const AddInRule::TRule ruleA = Addins::RowToRule(first);
    const AddInRule::TRule ruleB = Addins::RowToRule(second);
    loading_ = true;
    Addins::RuleToRow(ruleB, first);
    Addins::RuleToRow(ruleA, second);
    loading_ = false;
    BtnApply->setEnabled(true);
}

void TFrmAddins::BtnUpClick() {
    QTreeWidgetItem* item = ListView2->currentItem();
    const int row = item == nullptr ? -1 : ListView2->indexOfTopLevelItem(item);
    if (row <= 0) return;
    SwapRows(row, row - 1);
    SelectRow(row - 1);
}

void TFrmAddins::BtnDownClick() {
    QTreeWidgetItem* item = ListView2->currentItem();
    const int row = item == nullptr ? -1 : ListView2->indexOfTopLevelItem(item);
    if (row < 0 || row >= ListView2->topLevelItemCount() - 1) return;
    SwapRows(row, row + 1);
    SelectRow(row + 1);
}

void TFrmAddins::BtnApplyClick() {
    Addins::SaveAddinsAndRules(this);
    BtnApply->setEnabled(false);
}

void TFrmAddins::BtnOKClick() {
    BtnApplyClick();
    accept();
}

void TFrmAddins::BtnCancelClick() { reject(); }

void TFrmAddins::reject() {
    // Escape and the window's close box cancel too: the live list must not
    // keep changes that were never stored.
    Addins::LoadAddinsAndRules(this);
    SelectRow(0);
    QDialog::reject();
}
