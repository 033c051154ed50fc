// Add-in window ("Addin configuration"): the installed add-in libraries and
// the rule list. Every change of the rule list (ListView2) is published to
// the rules engine (AddInRule::SetLiveRules), so it counts at once; it is
// stored in [Rules] only by Apply or OK, and Cancel brings back the stored
// list. Opened from the main window's menu with exec().
#pragma once

#include <QDialog>

#include <string>

#include "filters/addins.h"
#include "filters/windows/rule_window.h"

class QPushButton;
class QTabWidget;
class QTreeWidget;
class QTreeWidgetItem;

class TFrmAddins;

namespace Addins {

// Fills both lists of the add-in window: the libraries of Addins that
// export TWAddinName and TWAddinDesc, and the rules of [Rules].
void LoadAddinsAndRules(TFrmAddins* form);
// Writes [AddIns] and [Rules] from the two lists.
void SaveAddinsAndRules(TFrmAddins* form);
// Rule list columns, in order.
enum RuleColumn {
    colRule = 0, colInTo, colPOP, colInternal, colSpam, colOutFrom, colHeader, colContains,
    colAddin1, colParams1, colAddin2, colParams2, colAddin3, colParams3, RuleColumnCount
};
// Installed add-in list columns.
enum AddinColumn { colFile = 0, colVersion, colAddinName, colDescription, colDllFile, AddinColumnCount };

AddInRule::TRule RowToRule(const QTreeWidgetItem* item);
void RuleToRow(const AddInRule::TRule& rule, QTreeWidgetItem* item);

}  // namespace Addins

class TFrmAddins : public QDialog {
    Q_OBJECT
public:
    explicit TFrmAddins(QWidget* parent = nullptr);
    ~TFrmAddins() override;

    void FormCreate();

    QTabWidget* PageControl1;
    QTreeWidget* ListView1;   // installed add-ins
    QTreeWidget* ListView2;   // rules
    QPushButton *BtnAdd, *BtnParams, *BtnConfigAddin;
    QPushButton *BtnAddRule, *BtnEditRule, *BtnCopyRule, *BtnDelRule, *BtnUp, *BtnDown;
    QPushButton *BtnOK, *BtnCancel, *BtnApply;

    // The page offered by "Add..." for finding add-ins.
    static std::string AddinsPage();

public slots:
    void BtnAddClick();
    void BtnParamsClick();
    void BtnConfigAddinClick();
    void ListView1SelectItem();
    void BtnAddRuleClick();
    void BtnEditRuleClick();
    void BtnCopyRuleClick();
    void BtnDelRuleClick();
    void BtnUpClick();
    void BtnDownClick();
    void ListView2SelectItem();
    void BtnApplyClick();
    void BtnOKClick();
    void BtnCancelClick();

    void reject() override;

private:
    void SwapRows(int a, int b);
    void PublishRules();
    void SelectRow(int row);
    bool loading_ = false;
    friend void Addins::LoadAddinsAndRules(TFrmAddins* form);
};

extern TFrmAddins* FrmAddins;
