// Dialog for a local user, a provider POP account or the relay login.
#pragma once

#include <QDialog>

#include <functional>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

class TFrmMailAccount : public QDialog {
    Q_OBJECT
public:
    explicit TFrmMailAccount(QWidget* parent = nullptr);

    // Each shows the dialog modally and returns true when closed with OK;
    // only then are the arguments written.
    bool EditPopAccount(const std::string& Caption, std::string& Name, std::string& Host,
                        std::string& Login, std::string& Password, bool& Include, bool& Leave,
                        int& LeaveDays, std::string& Default);
    bool EditLocalUser(const std::string& Caption, std::string& UserName, std::string& Password);
    bool EditSmtpAuth(const std::string& Caption, std::string& Login, std::string& Password,
                      std::string& MailFrom);

    QLabel *LblName, *LblHost, *LblLogin, *LblPassword, *LblMailFrom;
    QLineEdit *EditName, *EditHost, *EditLogin, *EditPassword, *EditMailFrom;
    QCheckBox *CheckBox1, *CheckBox2, *CheckBox3;
    QSpinBox* RxSpinEdit1;
    QLabel* Label5;
    QLabel *LBLDefault, *LblDefaultNote;
    QComboBox* CBXUser;
    QPushButton* SpeedButton1;
    QPushButton *BtnOK, *BtnCancel, *BtnHelp;

    // Tests stand in for the person: called instead of showing the dialog,
    // with the controls filled; returns true for OK.
    static std::function<bool(TFrmMailAccount&)> ExecForTesting;

public slots:
    void LeaveChanged();
    void SpeedButton1Click();

private:
    enum class Mode { PopAccount, LocalUser, SmtpAuth };
    void Arrange(Mode mode, const std::string& caption);
    bool Run();
    std::string helpTopic_;
};

extern TFrmMailAccount* FrmMailAccount;
