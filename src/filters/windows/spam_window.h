// The spam filter's setup window: its pages and controls, the load and save
// of the settings and of its own copy of the safe list, the statistics and
// the buttons. Every edit of a control goes through to the running filter
// at once; the safe list it edits reaches spam.dat's owner on Apply or OK,
// merged with what others changed meanwhile.
#pragma once

#include "filters/spam.h"

#include <QDialog>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTableWidget;
class QTabWidget;
class QTimeEdit;
class QWidget;

class TFrmSpam : public QDialog {
    Q_OBJECT
public:
    explicit TFrmSpam(QWidget* parent = nullptr);
    ~TFrmSpam() override;

    // Creation: starts the filter, creates spam.dat when missing and loads
    // the settings.
    void FormCreate();
    // Loads the stored settings into the controls, then shows the window.
    void ShowSpamSettings();

    void LoadSpamSettings();
    void SaveSpamSettings();
    void ShowSpamStats();

    // Spam report into the report user's mailbox; Confirm shows a message
    // box afterwards. Nothing without a report user. True when written.
    bool SendSpamReport(bool Confirm);

    // File import into the window's safe list (saved with the window).
    // Returns the number of addresses taken.
    int ImportAddressesFromFile(const std::string& fileName);

    // The settings as the controls show them.
    spam::Settings ControlsToSettings() const;
    // The safe-list entries the window shows (TblSpam), in index order.
    std::vector<std::string> safeList();

    // Components.
    TvdlMemTable TblSpam;   // the window's copy of the safe list, shown and edited in DBGrid1
    QTabWidget* PageControl1;
    QWidget *TabSheet4, *TabSheet1, *TabSheet2, *TabSheet3, *TabSheet5;
    QCheckBox* CHBCheckSpam;
    QCheckBox* CHBWebLimit;
    QSpinBox* SpinWebCount;
    QCheckBox* CHBWebBookmark;
    QSpinBox* SpinPreview;
    QRadioButton *RbtOneLine, *RbtTwoLines;
    QCheckBox* CHBReport;
    QComboBox* CBXReport;
    QRadioButton *RbtSpamEvery, *RbtSpamDaily;
    QSpinBox* SpinReport;
    QTimeEdit* EditReportTime;
    QPushButton* BtnReport;
    QGroupBox* GPBStats;
    QLineEdit *EditSpamCount, *EditSpamRatio, *EditSpamDeleted, *EditSpamSuccessRatio;
    QPushButton* BtnSpamReset;
    QCheckBox* CHBSpamAddOut;
    QTableWidget* DBGrid1;
    QPushButton *BtnSpamAddEmail, *BtnSpamEditEmail, *BtnSpamDelEmail, *BtnSpamGetAdds,
        *BtnSpamEmailImport;
    QPlainTextEdit *GoodList, *BadList;
    QListWidget* CHBSpamUsers;
    QPushButton *BtnOK, *BtnCancel, *BtnApply, *BtnHelp;

    // Event handlers.
    void ApplyEnable();
    void CHBCheckSpamMouseDown(bool rightButton);
    void BtnSpamAddEmailClick();
    void BtnSpamEditEmailClick();
    void BtnSpamDelEmailClick();
    void BtnSpamGetAddsClick();
    void BtnSpamEmailImportClick();
    void BtnReportClick();
    void BtnSpamResetClick();
    void BtnApplyClick();
    void BtnOKClick();
    void BtnCancelClick();
    void BtnHelpClick();

    bool BadUsersShown() const;
    void SetBadUsersShown(bool shown);

    // Tests stand in for the person while the window is shown modally.
    static std::function<void(TFrmSpam&)> ExecForTesting;
    // Tests stand in for the file picker of the file import; returns the
    // chosen file or empty text.
    static std::function<std::string()> PickFileForTesting;

protected:
    void reject() override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    void TakeSafeList();
    void PublishControls();
    void RefreshGrid();
    void GridRowChanged();
    void UpdateReportControls();
    bool SelectCurrentRow();
    bool loading_ = false;
    std::unique_ptr<spam::TSpamFilter> filter_;
    // The safe list as the window took it: only the window's own edits
    // reach spam.dat when it saves.
    std::string safeListBase_;
};

extern TFrmSpam* FrmSpam;
