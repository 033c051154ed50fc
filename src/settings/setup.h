// The settings window. It exists for the program's life: its controls are
// the live values of many switches, and it owns the tables of local users,
// provider accounts, aliases, domains, forwards and auto-responses.
// LoadSettings / SaveSettings move tarnwick.ini, footer.dat and the tables
// in and out of the controls (the file's catalogue is in settings_file.h).
#pragma once

#include <QColor>
#include <QDialog>
#include <QLabel>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tables/memtable.h"
#include "transport/account_tables.h"
#include "transport/setup_hooks.h"

struct MailSettings;

namespace tables {
class TableOwner;
}

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTabWidget;
class QTableWidget;
class QTimeEdit;

// A radio group whose value is the index of the checked item (-1 none).
class TRadioGroup : public QWidget {
    Q_OBJECT
public:
    TRadioGroup(const QString& caption, const QStringList& items, QWidget* parent = nullptr);
    int ItemIndex() const;
    void SetItemIndex(int index);
    int Count() const { return static_cast<int>(buttons_.size()); }
signals:
    void Clicked();
private:
    QButtonGroup* group_;
    std::vector<QRadioButton*> buttons_;
};

// A colour chosen for the main window, kept as a TColor value.
class TColorBox : public QLabel {
    Q_OBJECT
public:
    // A swatch of the colour, with the caption beside it; fontColor: the
    // caption is also written in the colour (LblColor).
    TColorBox(const QString& text, bool fontColor, QWidget* parent = nullptr);
    int Color() const { return color_; }
    void SetColor(int tcolor);
    QSize sizeHint() const override;
signals:
    void Clicked();
protected:
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
private:
    static constexpr int kSwatchWidth = 40;
    bool fontColor_;
    int color_ = 0;
};

namespace setup {

inline constexpr char kWelcomeSubject[] = "Welcome to Tarnwick!";

// The welcome message of a new local user, as stored (end marker included).
std::string WelcomeMessage(const std::string& UserName);
// Writes it into the user's mailbox as in/<user>_<hhmmsszzz>.dat (another
// name when that one is taken); the path written, empty on failure.
std::string WriteWelcomeMail(const std::string& UserName);

// The support request with queue id `id`: header, the question's lines
// (dot-stuffed), the end marker. Name and address lose what could break
// out of their header fields.
std::string SupportMessage(const std::string& id, const std::string& name, const std::string& address,
                           const std::vector<std::string>& question, const std::string& subject);
// Queues a support request: out/<id>.txt and its queue record for the
// support address. Returns the queue id; throws std::runtime_error when the
// file or the record cannot be written (nothing is left queued then).
std::string QueueSupportRequest(const std::string& name, const std::string& address,
                                const std::vector<std::string>& question, const std::string& subject);

// Deletes every queue file in out/ that has no sender in its queue record;
// returns how many were deleted. A message still arriving on an SMTP
// connection has no record yet and is left alone.
int RepairPostboxes();
// The hidden "Empty postboxes" actions: every queue file (but messages still
// arriving), or every mailbox file of one user. Return how many went.
int EmptyOutbox();
int EmptyMailbox(const std::string& user);

// Deletes a folder with everything in it; symbolic links are removed, never
// followed. Errors are ignored. Nothing happens when Path is not a folder.
void DeleteFolderTree(const std::string& Path);

// True when another copy of the program holds the program directory's
// lock; otherwise this process takes the lock and keeps it.
bool IsAlreadyRunning();

}  // namespace setup


class TFrmSettings : public QDialog {
    Q_OBJECT
public:
    explicit TFrmSettings(QWidget* parent = nullptr);
    ~TFrmSettings() override;

    // Creation: reads the settings and the tables (also run by the constructor).
    void FormCreate();
    void LoadSettings();
    // False (and told) when a table could not be saved; nothing else is then written.
    bool SaveSettings();
    // Hands the mail engine the switches as the controls hold them now
    // (LoadSettings and SaveSettings do it; so may a test that set controls).
    void PublishSettings();
    // The window's settings as one value (what a save writes).
    MailSettings SettingsValue() const;

    // --- Typed readers of the live switches ------------------------------
    bool footerForAll() const;
    int smtpWaitCode() const;              // [SMTP] Wait code of RGPWhen
    bool smtpIPFilter() const;
    std::string smtpIPFilterAddress() const;
    bool smtpServerAuth() const;
    bool relayAuth() const;
    std::string relayHost() const;
    int relayPort() const;                 // 25 when not a port
    bool relayStandard() const;
    int popLocalPort() const;              // 110 when not a port
    int smtpLocalPort() const;             // 25 when not a port
    bool alerterOn() const;
    int alerterPort() const;               // 2601 when not a port
    bool virusCheckIn() const;
    bool virusToSpam() const;
    bool virusCheckOut() const;
    std::vector<std::string> virusPatterns() const;
    std::string virusWarnUser() const;
    bool copyOut() const;
    std::string copyOutTo() const;
    bool forwardUseMailFrom() const;
    std::string forwardMailFrom() const;
    bool viewPostboxes() const;
    bool viewMessages() const;
    bool browserEnabled() const;
    int webPort() const;                   // 2600 when not a port
    int deletedDays() const;
    int sentDays() const;
    std::string webLogin() const;
    std::string webPassword() const;
    bool allowSendRec() const;
    std::string browserAddress() const;    // LblBrowserAddress's caption
    std::vector<std::string> footerLines() const;
    std::vector<std::string> userNames() const;  // CBXLink's items
    std::string settingsPassword() const;  // EditPassword
    int formColor() const;
    int textColor() const;

    // --- Tables ------------------------------------------------------------
    // The window's working copies: edits stay here until OK or Apply, which
    // hand them to the tables' owners (transport/table_owner.h).
    std::unique_ptr<TvdlMemTable> TblUsers, TblLink, tbleLink, TblDomain, TblHoliday, TblPop,
        TblForward, vdlMemTable1;

    // --- Controls ----------------------------------------------------------
    QTabWidget* PageControl1;
    // Users
    QTableWidget* GridUsers;
    QPushButton *BtnAddUser, *BtnEditUser, *BtnDelUser;
    QGroupBox* GPBInstruct;
    QLineEdit *EditUserPanel, *EditPasswordPanel, *EditPOPServer, *EditSMTPServer;
    QCheckBox* CHBAlerter;
    QLineEdit* EditAlerterPort;
    QComboBox* CBXLink;  // hidden: the list of user names
    // POP collection
    QTableWidget* GridPop;
    QPushButton *BtnAddPop, *BtnEditPop, *BtnDelPop;
    // Local distribution
    QTableWidget* GridLink;
    QPushButton *BtnLinkAdd, *BtnLinkEdit, *BtnLinkDel;
    // SMTP delivery
    QLineEdit *EditSMTPHost, *EditSMTPPort;
    QCheckBox *CHBSMTPAuth, *CHBSMTPStandard;
    QPushButton* BtnSMTPAuth;
    TRadioGroup* RGPWhen;
    QPlainTextEdit* MemFooter;
    QRadioButton *RBTFooterAll, *RBTFooterExternal;
    // Connection
    QRadioButton *RBTConnectLAN, *RBTConnectDUN;
    QComboBox* CBXDUN;
    QPushButton* BtnServiceDUN;
    QCheckBox* CHBPiggyBack;
    QCheckBox *CBXConnRegular, *CBXConnBetween, *CBXConnStartUp, *CHBManDisconnect;
    QSpinBox* SpinRegular;
    QTimeEdit *TimeEdit1, *TimeEdit2;
    // General
    QCheckBox *CHBStartup, *CHBMin, *CHBService, *CHBBugMail;
    QLineEdit* EditPassword;
    QCheckBox* CHBSMTPIP;
    QLineEdit *EditSMTPIP, *EditPOPLANPort, *EdiTSMTPLANPort;
    QCheckBox* CHBSMTPServerAuth;
    QCheckBox *CHBViewPostboxes, *CHBViewMessages;
    TColorBox *PanelColor, *LblColor;
    // Anti-virus
    QCheckBox *CHBInVirus, *CHBVirusSpam, *CHBOutVirus;
    QPlainTextEdit* MemoViruses;
    QComboBox* CBXOutWarn;
    // Forwarding
    QTableWidget* GridForward;
    QPushButton *BtnAddForward, *BtnEditForward, *BtnDelForward;
    QCheckBox* CHBOutCopy;
    QComboBox* CBXOutCopy;
    QCheckBox* CHBForwardMailFrom;
    QLineEdit* EditForwardFrom;
    // Auto-responding
    QTableWidget* GridHoliday;
    QPushButton *BtnAddHoliday, *BtnEditHoliday, *BtnDelHoliday;
    // Remote
    QCheckBox* CHBBrowser;
    QLineEdit* EditBPort;
    QLabel *LblBrowserAddress, *LblIPAdds;
    QLineEdit *EditWebSetsLogin, *EditWebSetsPW;
    QCheckBox* CHBAllowSendRec;
    QSpinBox *SpinDeletedDays, *SpinSentDays;
    QLabel *Label40, *LblIPExplain;  // shown while CHBBrowser is checked
    // General: postboxes (the "Empty postboxes" group is hidden; nothing shows it)
    QPushButton *BtnRepair, *BtnViewDel;
    QGroupBox* GPBEmpty;
    QComboBox* CBXEmpty;
    QPushButton *BtnEmptyOutbox, *BtnEmptyUser;
    // Support page
    QLineEdit *EditSupportName, *EditSupportEmail;
    QPlainTextEdit* MemoSupport;
    QPushButton* BtnSendSupport;
    // Buttons
    QPushButton *BtnOK, *BtnCancel, *BtnApply, *BtnHelp;
    QPushButton* Button1;  // hidden: downloaded-message reset

public slots:
    void ApplyEnable();
    void DataSource1DataChange();
    void UserBtns();
    void PopBtns();
    void LinkBtns();
    void Button1Click();
    void ModalButtons();
    void SMTPAuth();
    void BtnHelpClick();
    void DTSELinkDataChange();
    void BtnViewDelClick();
    void BtnServiceDUNClick();
    void BtnRepairClick();
    void BtnSendSupportClick();
    void ForwardBtns();
    void HolidayBtns();
    void EmptyPostboxes();

public:
    // The button handlers with an explicit sender (the slots pass sender()).
    void ApplyEnableFor(QObject* sender);
    void UserBtnsFor(QObject* sender);
    void PopBtnsFor(QObject* sender);
    void LinkBtnsFor(QObject* sender);
    void ForwardBtnsFor(QObject* sender);
    void HolidayBtnsFor(QObject* sender);
    void LblBrowserAddressClick(QObject* sender);
    void ColorSelect(QObject* sender);
    void EmptyPostboxesFor(QObject* sender);
    // F1 (112) clicks Help.
    void FormKeyDown(int key);
    // The help topic of a page index, empty for a page without one.
    static std::string HelpTopic(int pageIndex);

    // Tests stand in for the colour dialog: the current colour in, the
    // choice out (an invalid colour: cancelled).
    static std::function<QColor(const QColor&)> PickColorForTesting;

    // Grids show the tables; called after loads and table edits.
    void RefreshGrids();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildPages();
    void LoadTables();
    void LoadIni();
    void SaveIni();
    void LoadFooter();
    void SaveFooter();
    void ApplyPorts();
    void UpdateCrashSettings();
    void SetUserList(const std::vector<std::string>& names);
    void UpdateUserButtons();
    void PositionFromGrid(QTableWidget* grid, TvdlMemTable& table);
    void UpdateBrowserAddress();
    void UpdateEnabling();
    // Each working copy with its owner, and the rows it was loaded with.
    std::vector<std::pair<TvdlMemTable*, tables::TableOwner*>> OwnedTables();
    void AdoptTables();
    // Each table's edits to its owner; the failures as "\rfile: reason" lines.
    std::string SaveTables();
    std::vector<std::string> tableBases_;
    // Users renamed in this window since the last save, as (name in the
    // files, name now): their mail and the other tables follow at save.
    std::vector<std::pair<std::string, std::string>> renames_;
    void NoteRename(const std::string& from, const std::string& to);
    // True, and told, when the name still files another user's mail, which
    // moves only when the window saves; current: the name now of the user
    // to be given the name (empty for a new user).
    bool NameHoldsOthersMail(const std::string& name, const std::string& current);
    // The renames through the engine; false, and told, at the first that fails.
    bool RenameUsers();
    // Relay account of the SMTP delivery page: held outside controls, changed
    // by the relay AUTH dialog, loaded and saved with [SMTP] Login/Pass/MailFrom.
    std::string relayAuthLogin_;
    std::string relayAuthPassword_;
    std::string relayMailFrom_;
    bool loading_ = false;
    int serviceTag_ = 0;  // the service/dial-up box is shown once per run
};

extern TFrmSettings* FrmSettings;
