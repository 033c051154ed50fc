// The dialog that edits one rule of the add-in window's list.
#pragma once

#include "filters/addinrule.h"

#include <QDialog>

#include <functional>
#include <string>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QToolButton;
class QTreeWidgetItem;
class QWidget;

namespace AddInRule {

// Shows an add-in's parameter text over parent, or why it has none; the
// add-in list and the rule dialog both offer it.
void ShowParams(const std::string& libraryPath, QWidget* parent);

// The rule dialog on a new rule / on the rule of a row of the add-in
// window's rule list; true on OK. FillRuleCombos fills its lists.
bool NewRule();
bool EditRule(QTreeWidgetItem* item);
void FillRuleCombos();

}  // namespace AddInRule

class TFrmRule : public QDialog {
    Q_OBJECT
public:
    explicit TFrmRule(QWidget* parent = nullptr);
    ~TFrmRule() override;

    // Start-up: loads the add-in table; the destructor frees it.
    void FormCreate();
    void FormDestroy();

    // The dialog's controls as a rule, and a rule into the controls.
    AddInRule::TRule ToRule() const;
    void FromRule(const AddInRule::TRule& rule);

    QLineEdit* EditName;
    QCheckBox* CHBIncoming;
    QComboBox* CBXUsers;
    QCheckBox *CheckBox1, *CheckBox2, *CheckBox3;
    QCheckBox* CHBOutgoing;
    QComboBox* CBXUsers2;
    QCheckBox* CheckBox4;
    QComboBox* CBXHeader;
    QLineEdit* EditHeaderText;
    QComboBox *CBXAddin1, *CBXAddin2, *CBXAddin3;
    QLineEdit *EditParams1, *EditParams2, *EditParams3;
    QToolButton *SpeedButton1, *SpeedButton2, *SpeedButton3;
    QPushButton *BtnOK, *BtnCancel;

    // Shows the dialog modally; true on OK. Tests replace the showing with
    // a script that fills the controls and answers.
    bool Execute();
    static std::function<bool(TFrmRule&)> ExecForTesting;

public slots:
    void ChangeStuff();
    void SpeedButton1Click();
};

extern TFrmRule* FrmRule;
