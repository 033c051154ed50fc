// The dialog that edits one forwarding row.
#pragma once

#include "filters/forward.h"

#include <QDialog>

#include <functional>
#include <string>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace forward {

// The forwarding dialog: the arguments in and out, true on OK. Local user
// names come from the settings window.
bool EditForward(std::string& user, std::string& forwardTo, bool& copy, bool& isLocal);

}  // namespace forward

class TFrmForward : public QDialog {
    Q_OBJECT
public:
    explicit TFrmForward(QWidget* parent = nullptr);
    ~TFrmForward() override;

    void Fill(const std::string& user, const std::string& forwardTo, bool copy, bool isLocal);
    void ReadBack(std::string& user, std::string& forwardTo, bool& copy, bool& isLocal) const;

    QComboBox* CBXUser;
    QRadioButton* RBTLocal;
    QComboBox* CBXLocal;
    QRadioButton* RBTExternal;
    QLineEdit* EditExternal;
    QCheckBox* CHBCopy;
    QPushButton *BtnOK, *BtnCancel, *BtnHelp;

    // Shows the dialog modally; true on OK (tests script it instead).
    bool Execute();
    static std::function<bool(TFrmForward&)> ExecForTesting;

public slots:
    void CBXUserChange();
    void BtnHelpClick();

    // F1 (key code 112) opens the help topic.
    void FormKeyDown(int key);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

extern TFrmForward* FrmForward;
