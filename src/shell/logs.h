// Log viewer: the five log files on five pages, following the lines the log
// routine adds while the window is open, and the two logging switches.
#pragma once

#include <QDialog>

#include <string>

class QCheckBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;
class QTabWidget;

class TFrmLogs : public QDialog {
    Q_OBJECT
public:
    explicit TFrmLogs(QWidget* parent = nullptr);
    ~TFrmLogs() override;

    // Components.
    QTabWidget* PageControl1;
    QPlainTextEdit* MemoPOP;      // pop.log
    QPlainTextEdit* MemoSMTP;     // smtp.log
    QPlainTextEdit* MemoPOPSVR;   // popsvr.log
    QPlainTextEdit* MemoSMTPSVR;  // smtpsvr.log
    QPlainTextEdit* MemoConnect;  // connect.log
    QCheckBox* CHBLog1;           // client-side logs
    QCheckBox* CHBLog2;           // server-side logs
    QPushButton* BtnClose;
    QStatusBar* StatusBar1;
    QLabel* StatusPanel0;         // first panel: the page's file

    // Opens the viewer (not modal) on fresh copies of the files.
    void ShowLogs();
    // Loads one page; fileName is relative to ProgramDir ("pop.log").
    void LoadLogTab(QPlainTextEdit* memo, const std::string& fileName);
    void PageControl1Change();
    // Stores the switches (globals and settings file) and closes.
    void BtnCloseClick();

    // A line the log routine has just written to fileName (a full path).
    // Only the five files in ProgramDir, spelt exactly, have a page.
    void AddLine(const std::string& fileName, const std::string& line);

    // The file name shown on a page; empty for a widget that is not a page.
    static std::string PageFileName(int page);
};

extern TFrmLogs* FrmLogs;
