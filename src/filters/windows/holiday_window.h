// The dialog that edits one out-of-office entry.
#pragma once

#include "filters/holiday.h"

#include <QDialog>

#include <functional>
#include <string>

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class TRadioGroup;

namespace holiday {

// The dialog on one entry; the arguments are in and out, true on OK. The
// user list is the settings window's. endDate 0 means no end date, in and
// out.
bool EditEntry(std::string& user, std::string& subject, std::string& message, TDateTime& endDate, int& who);

}  // namespace holiday

class TFrmHoliday : public QDialog {
    Q_OBJECT
public:
    explicit TFrmHoliday(QWidget* parent = nullptr);
    ~TFrmHoliday() override;

    // Start-up: checks for entries that have run out.
    void FormCreate();

    // Loads the controls from the arguments (the user list from the settings
    // window); ReadBack stores them after OK.
    void Fill(const std::string& user, const std::string& subject, const std::string& message, TDateTime endDate,
              int who);
    void ReadBack(std::string& user, std::string& subject, std::string& message, TDateTime& endDate,
                  int& who) const;

    QComboBox* CBXUser;
    QLineEdit* EditSubject;
    QPlainTextEdit* MemoMessage;
    QCheckBox* CHBUntil;
    QDateEdit* EditUntil;
    TRadioGroup* RGBWho;
    QPushButton *BtnOK, *BtnCancel, *BtnHelp;

    // Shows the dialog modally; true on OK (tests script it instead).
    bool Execute();
    static std::function<bool(TFrmHoliday&)> ExecForTesting;

public slots:
    void CheckChange();
    void BtnHelpClick();

    // F1 (key code 112) opens the help topic.
    void FormKeyDown(int key);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

extern TFrmHoliday* FrmHoliday;
