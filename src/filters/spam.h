// Spam filter: the classification of fetched mail with its lists (safe
// senders in spam.dat, good and bad subject words, bad users), the spam
// statistics, spam reports, the release of held spam into a mailbox and
// the import of safe sender addresses. The window TFrmSpam is both the
// editor of these settings and the live holder of the lists: what it shows
// is what classification reads, so an edit of the word lists or bad users
// takes effect before it is saved; safe addresses take effect when saved.
//
// Entry points for other features (all on the main thread):
//
//   Distribution of fetched mail, once per local recipient:
//     int held = 0;
//     int level = FrmSpam->CheckSpam(user, sender, subject, held);
//     // level: spam::NotSpam -> "in", spam::PossibleSpam -> "Spam1",
//     //        spam::ProbableSpam -> "Spam2"; held: files already held in
//     //        both spam folders (set even while the filter is off).
//     ... file the message, run the rules ...
//     if (level > 0 && FrmSpam->ReportEveryDue(held)) FrmSpam->SendSpamReport(false);
//
//   Start of every Send/Recv cycle:   FrmSpam->CheckDailyReport();
//     (does nothing unless the daily report is switched on)
//
//   Message browser and web spam pages:
//     spam::ReleaseSpam(fullPathOfHeldFile);   // into the user's mailbox
//     spam::AddSpamAddress(1, senderAddress);  // whitelist the sender
//     spam::IncSpamStat("SpamDeleted");        // a held message deleted
//
//   SMTP server, per recipient of a message from a local user:
//     if (spam::IsImportAddress(rcpt)) spam::ImportAddressesFromMessage(file);
//     else if (external && FrmSpam->addOutAddress()) spam::AddSpamAddress(1, rcpt);
//
//   Main window's menu:               FrmSpam->ShowSpamSettings();
//
// FrmSpam is created at start-up; it stays null only when spam.dat could not
// be read then (the error has been reported), so callers test it first.
#pragma once

#include "tables/memtable.h"

#include <QDialog>

#include <functional>
#include <set>
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

namespace spam {

// Results of the classification.
inline constexpr int NotSpam = 0;
inline constexpr int PossibleSpam = 1;
inline constexpr int ProbableSpam = 2;

// spam.dat's only kind of entry: a safe sender, one address or "*@" + domain.
inline constexpr int SafeSender = 1;
// Width of an entry; longer text is cut.
inline constexpr size_t ItemSize = 64;

// The pseudo-recipient whose mail is not delivered but read for safe
// addresses. Its domain exists nowhere, so no real mail can be meant.
inline constexpr char ImportAddress[] = "spamaddresses@tarnwick.invalid";

// End mark of the stored word lists.
inline constexpr char WordListEnd[] = "x89824";

// Built-in word lists, stored once on the first save.
const std::vector<std::string>& BuiltInGoodWords();
const std::vector<std::string>& BuiltInBadWords();

// The characters whose lower-case form is an ASCII letter, in order.
std::string LettersOnly(const std::string& text);
// The text after the first "@"; the whole text when there is none.
std::string GetDomain(const std::string& address);
// Lower case, and of "Name <addr>" only addr: what follows the first "<"
// and precedes the first ">" after it.
std::string CleanAddress(const std::string& address);

// True for the import pseudo-recipient, with or without angle brackets,
// in any letter case.
bool IsImportAddress(const std::string& address);

// Adds [type, address] to the safe list and saves spam.dat, unless the
// address has no "@", is already there, or (type 1) its domain entry is.
// True when an entry was added. Without the spam window nothing happens.
bool AddSpamAddress(int type, const std::string& address);
// The same for many addresses, saved once; the number added.
int AddSpamAddresses(int type, const std::vector<std::string>& addresses);

// Adds one to a counter of [SpamStats]; an empty key erases the
// statistics. A counter that is created also restarts StatsSince.
void IncSpamStat(const std::string& key);

// Held spam files: *.dat in Spam1 and Spam2 together.
int HeldSpamCount();
int HeldSpamCount(const std::string& folderName);

// Releases a held message (a <user>_<stamp>.dat file directly in Spam1 or
// Spam2) into in/ through the delivery chain (rules as released spam,
// attachment check, out-of-office reply, forwarding), counts it as saved,
// and removes the held file. The held file is removed only once the
// mailbox copy is on disk; when the mailbox already holds the same message
// under that name, nothing is delivered twice. False when the file is not
// a held message or could not be copied (it is then left where it was),
// and when the delivered message's held copy could not be removed.
bool ReleaseSpam(const std::string& spamFile);

// Every body line of the message file that holds "@" is a safe address
// (AddSpamAddress type 1). Returns the number of entries added.
int ImportAddressesFromMessage(const std::string& msgFile);

// The address candidates of one line of an exported address book: around
// each "@", the run of characters up to the nearest delimiter (tab, CR,
// LF, blank, double quote, apostrophe, comma, "<", "=", ">", "|"),
// lower-cased. Candidates of 4 characters or fewer are left out.
std::vector<std::string> AddressCandidates(const std::string& line);

// Statistics texts as the window shows them.
struct StatsTexts {
    std::string caption, spamCount, spamRatio, spamDeleted, successRatio;
};
StatsTexts FormatStats(int spamIdentified, int nonSpamIdentified, int spamDeleted, int spamSaved,
                       const std::string& since);
// "dd mmm" of a date, English month names.
std::string DayMonth(int day, int month);

}  // namespace spam

class TFrmSpam : public QDialog {
    Q_OBJECT
public:
    explicit TFrmSpam(QWidget* parent = nullptr);
    ~TFrmSpam() override;

    // Creation: creates spam.dat when missing and loads the settings.
    void FormCreate();
    // Loads the stored settings into the controls, then shows the window.
    void ShowSpamSettings();

    // The classification; see the top of this file.
    int CheckSpam(const std::string& ToUser, const std::string& From, const std::string& Subject,
                  int& HeldCount);

    void LoadSpamSettings();
    void SaveSpamSettings();
    void ShowSpamStats();

    // Spam report into the report user's mailbox; Confirm shows a message
    // box afterwards. Nothing without a report user. True when written.
    bool SendSpamReport(bool Confirm);
    // At most one daily report a day, at the first call after the report
    // time; nothing unless reports are on in daily mode.
    void CheckDailyReport();
    // Reports "every N held messages": true when reports are on in that
    // mode and count is a multiple of N.
    bool ReportEveryDue(int count) const;

    // File import into the window's safe list (saved with the window).
    // Returns the number of addresses taken.
    int ImportAddressesFromFile(const std::string& fileName);

    // Live switches other features read.
    bool checkSpam() const;
    bool addOutAddress() const;
    bool webLimited() const;
    int webPageLimit() const;
    bool webBookmark() const;
    int previewSize() const;
    bool oneLinePerMessage() const;
    bool reportOn() const;
    std::string reportUser() const;
    // The safe-list entries the window shows (TblSpam), in index order.
    std::vector<std::string> safeList();

    // Components.
    TvdlMemTable TblSpam;   // shown and edited in DBGrid1
    TvdlMemTable TblSpam2;  // read by classification and AddSpamAddress
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
    void DefineSpamTable(TvdlMemTable& t);
    void OpenSpamTable(TvdlMemTable& t);
    void RefreshGrid();
    void GridRowChanged();
    void UpdateReportControls();
    bool SelectCurrentRow();
    bool loading_ = false;
    // Entries of spam.dat when the window last loaded it: entries that
    // others add later are kept when the window saves its own list.
    std::set<std::string> loadedItems_;
};

extern TFrmSpam* FrmSpam;
