// The main window: counters, status line, tray icon, menus, the scheduler
// and the control flow of the Send/Recv cycle. It is the mail engine's
// events sink (transport/events.h), installed while it exists.
//
// Other windows reach it through FrmMain:
// - the labels LBLPOPLast, LBLSmtp, LblConnectLast, LblNextConn,
//   LblsmtpCount, LblSpam1, LblSpam2 and the list PopList; the label styles
//   through SetLabelBold / SetLabelRed / SetParentFont and IsLabelBold /
//   IsLabelRed;
// - the tray image through SetTrayImage (0 no mail, 1 active, 2 mail,
//   3 failed) and the tray hint through procs::SetStatus;
// - a cycle ends through EndCycle (the end of the delivery run calls it
//   after its own share), and one that failed through FailCycle.
// The Send/Recv drop-down (PopupMenu2) holds actions whose property "Tag"
// is TagSendOnly (898) or TagAccount (899, caption = account name); each
// runs BtnSendRecClick with the action as Sender.
#pragma once

#include <QElapsedTimer>
#include <QLabel>
#include <QMainWindow>
#include <QPoint>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "shell/schedule.h"
#include "transport/events.h"

class QAction;
class QMenu;
class QPlainTextEdit;
class QSystemTrayIcon;
class QToolButton;
class QTreeWidget;
class QPushButton;
class TDialUp;
class TWebGet;

// A label that reports clicks and double-clicks, as the main window's
// counters and status line need.
class TClickLabel : public QLabel {
    Q_OBJECT
public:
    explicit TClickLabel(const QString& text, QWidget* parent = nullptr);
signals:
    void clicked();
    void doubleClicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
};

class TFrmMain : public QMainWindow, public events::TEngineEvents {
    Q_OBJECT
public:
    static constexpr int TagSendOnly = 898;
    static constexpr int TagAccount = 899;
    static constexpr int TagUpgradeClose = 999;

    explicit TFrmMain(QWidget* parent = nullptr);
    ~TFrmMain() override;

    // Components.
    QToolButton* BtnSendRec;
    QToolButton* BtnSendRec2;
    QMenu* PopupMenu2;           // Send/Recv drop-down, built from the engine's account names
    QTreeWidget* PopList;        // user name, message count
    QLabel* LBLPOPLast;
    QLabel* LBLSmtp;
    QLabel* LblConnectLast;
    QLabel* LblNextConn;
    TClickLabel* LblsmtpCount;
    TClickLabel* LblSpam1;
    TClickLabel* LblSpam2;
    QPushButton* BtnSpam;
    TClickLabel* StatusBar1;
    QPlainTextEdit* Memo1;       // hidden: names of the active dial-up connections
    TAlarmClock* AlarmClock1;
    TDialUp* DialUp1;
    TWebGet* WebGet1;            // the installer's download
    QSystemTrayIcon* TrayIcon1;
    std::vector<QIcon> ImageList1;
    QMenu* PopupMenu1;           // tray menu
    QAction* MnuRestore;
    QAction* MnuSendRecvNow;
    QAction* MnuTrayExit;
    struct {
        bool Active = true;      // menu drawing style, [General] XPMenu
    } XPMenu1;

    // Main menu.
    QMenu* MnuFile;
    QAction* MnuExit;
    QMenu* MnuTools;
    QAction* MnuSettings;
    QAction* MnuSpamSetup;
    QAction* MnuAddins;
    QAction* MnuAudit;           // hidden
    QAction* MnuUpgrade;         // hidden
    QMenu* MnuHelpMenu;
    QAction* MnuHelp;
    QAction* MnuViewLogs;
    QMenu* MnuInternet;
    QAction* MnuWebHome;
    QAction* MnuWebProduct;
    QAction* MnuWebForum;
    QAction* MnuWebGuide;
    QAction* MnuAbout;

    bool InTray = false;
    int Tag = 0;                 // 999: closing to install an upgrade

    // Creation, closing, menus.
    void FormCreate();
    void Menu(QObject* Sender);
    void WebClick(QObject* Sender);
    void MinApp();
    void BtnSetupClick();
    // The settings window's "Empty postboxes" group: one entry per mailbox
    // of PopList, the outbox button only with mail in the outbox.
    void FillEmptyPostboxes();
    void BtnHelpClick();
    void FormKeyDown(int key);
    void LblsmtpCountMouseMove(QObject* over);
    void SetLabelHighlight(QLabel* label, bool on);
    // The splash's "/m" handling: back to the designed position, then
    // minimised at once.
    void StartMinimised();
    // Where the window sits as designed.
    static QPoint DesignedPosition() { return QPoint(120, 100); }
    // Closes the window without asking (SIGTERM, SIGINT).
    void CloseWithoutAsking();

    // Upgrade check ("Check for &upgrade...") and the installer's download.
    void CheckForUpgrade();
    void WebGet1Progress(TWebGet* Sender, std::int64_t total, std::int64_t soFar);
    void WebGet1Error(TWebGet* Sender);
    void WebGet1DoneFile(TWebGet* Sender, const std::string& fileName, std::int64_t fileSize);

    // Scheduler and cycle.
    void CheckRegularConnection(bool Startup);
    void BtnSendRecClick(QObject* Sender);
    void AppException(const std::string& text);
    void DialUp1Dialing(TDialUp* Sender);
    void DialUp1Connect(TDialUp* Sender);
    void DialUp1AsyncEvent(TDialUp* Sender, int State, const std::string& Text, int Error);
    void DialUp1NotConnected(TDialUp* Sender, int ErrorCode, const std::string& ErrorText);
    void DialUp1ActiveConnection(const std::string& EntryName);

    // True while a Send/Recv cycle runs.
    bool CycleRunning() const override;
    // Gives back the Send/Recv buttons, the Tools menu, the tray's
    // "&Send/Recv Now" and its double-click: every path that ends a cycle
    // goes through here.
    void RestoreCycleControls();
    // The shell's share of the end of a cycle: controls back, the line hung
    // up unless KeepLineUp, status "Idle", next alarm armed.
    void EndCycle();
    // A step of the cycle failed by an exception: logged to connect.log and
    // the cycle ended.
    void FailCycle(const std::string& text);

    // Status line, tray.
    void SetStatusLine(const std::string& text, bool bold);
    std::string StatusText() const;
    void SetTrayHint(const std::string& hint);
    const std::string& TrayHint() const { return trayHint_; }
    void SetTrayImage(int index);
    int TrayImage() const { return trayImage_; }
    // The tray hint while no step runs: next alarm or "Tarnwick: Idle",
    // followed by one line per mailbox.
    std::string IdleTrayHint() const;
    // "\r" + user + ": " + count for each row of PopList.
    std::string MailboxLines() const;
    bool TrayDoubleClickEnabled() const { return trayDoubleClick_; }

    // Label styles that other windows set and test.
    // Window and text colours as TColor values ([General] FormColor, TextColor).
    void ApplyColors(int formColor, int textColor);
    static void SetLabelBold(QLabel* label, bool bold);
    static void SetLabelRed(QLabel* label);
    static void SetParentFont(QLabel* label);
    static bool IsLabelBold(const QLabel* label);
    static bool IsLabelRed(const QLabel* label);

    // The engine's events.
    void Status(const std::string& text, bool active) override;
    void StatusLine(const std::string& text, bool bold) override;
    void LogLine(const std::string& fileName, const std::string& line) override;
    void LabelText(events::Label label, const std::string& text) override;
    void LabelLook(events::Label label, events::Look look) override;
    void TrayImage(int image) override;
    void SendReceiveEnabled(bool enabled) override;
    void CountsChanged(const events::MailCounts& counts) override;
    void AccountsChanged(const std::vector<std::string>& names) override;
    void CycleEnded() override;
    void SendReceiveRequested(events::Cycle cycle) override;
    void StartupProgress(const std::string& text) override;
    events::WindowView View() const override;
    // Fills menu with "Send Only", a separator and one item per account.
    void BuildAccountMenu(QMenu* menu, const std::vector<std::string>& accounts);

    // Called by start-up when every window exists: the scheduler starts.
    void StartupComplete();
    bool Ready() const { return ready_; }
    // True once the window has accepted its close: the program is ending.
    bool Closed() const { return closed_; }

    // Help topics live in this folder (with a trailing "/").
    static std::string HelpDir();
    // Opens a help topic ("overview.htm", "users.htm", ...) with the
    // desktop's browser; headless the request is only logged.
    static void ShowHelpTopic(const std::string& topic);
    // Opens a page or file with the desktop's default program; when the
    // desktop cannot, a message box gives what to open by hand (shown: the
    // address or path as a person would type it).
    static void OpenDocument(const std::string& url, const std::string& shown);
    // Tests replace the desktop's opener here.
    static inline bool (*OpenForTesting)(const std::string& url) = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildComponents();
    QLabel* LabelOf(events::Label label) const;
    void CreateFolders();
    void TightenModes();
    bool FormClose();
    void ConnectLog(const std::string& line);
    void StartMailSteps();

    // The status line: what it says, and when the label last showed it.
    // A burst of texts (a line per message sent) is shown at most every
    // kStatusShowMs, the latest one; a change of weight is shown at once.
    static constexpr int kStatusShowMs = 100;
    void ShowStatusLine();
    std::string statusText_ = "Idle...";
    bool statusBold_ = false;
    bool statusPending_ = false;
    QElapsedTimer statusShown_;

    std::string trayHint_;
    int trayImage_ = 0;
    bool trayDoubleClick_ = true;
    bool closeWithoutAsking_ = false;
    bool closed_ = false;
    bool ready_ = false;
    bool cycleActive_ = false;  // between a cycle's start and its end
    bool dialing_ = false;      // this cycle's dial has not come up or failed yet
};

extern TFrmMain* FrmMain;
