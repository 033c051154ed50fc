// Spam filter: the classification of fetched mail with its lists (safe
// senders in spam.dat, good and bad subject words, bad users), the spam
// statistics, spam reports, the release of held spam into a mailbox and
// the import of safe sender addresses. The settings live in one value that
// the running filter holds; its setup window writes every edit through to
// that value, so an edit of the word lists or bad users takes effect before
// it is saved. The safe list has one owner (SafeList()); every writer
// changes it there, and safe addresses the window edits take effect when
// the window saves them.
//
// Entry points for other features (all on the main thread):
//
//   Distribution of fetched mail, once per local recipient:
//     int held = 0;
//     spam::TSpamFilter* f = spam::Filter();
//     int level = f ? f->CheckSpam(user, sender, subject, held) : spam::NotSpam;
//     // level: spam::NotSpam -> "in", spam::PossibleSpam -> "Spam1",
//     //        spam::ProbableSpam -> "Spam2"; held: files already held in
//     //        both spam folders (set even while the filter is off).
//     ... file the message, run the rules ...
//     if (level > 0 && f && f->ReportEveryDue(held)) f->SendSpamReport();
//
//   Start of every Send/Recv cycle:   spam::Filter()->CheckDailyReport();
//     (does nothing unless the daily report is switched on)
//
//   Message browser and web spam pages:
//     spam::ReleaseSpam(fullPathOfHeldFile);   // into the user's mailbox
//     spam::AddSpamAddress(1, senderAddress);  // whitelist the sender
//     spam::IncSpamStat("SpamDeleted");        // a held message deleted
//
//   SMTP server, per recipient of a message from a local user:
//     if (spam::IsImportAddress(rcpt)) spam::ImportAddressesFromMessage(file);
//     else if (external && spam::Filter() && spam::Filter()->settings().addOutAddress)
//         spam::AddSpamAddress(1, rcpt);
//
// The filter runs while a TSpamFilter exists (the setup window holds it for
// the program's life); without one nothing is classified or added.
#pragma once

#include "tables/memtable.h"
#include "transport/table_owner.h"

#include <QTime>

#include <functional>
#include <string>
#include <vector>


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
// Lower case, and only the address (qev_util::HeaderAddress): of
// "Name <addr>" addr, whatever a quoted name or a comment holds.
std::string CleanAddress(const std::string& address);

// True for the import pseudo-recipient, with or without angle brackets,
// in any letter case.
bool IsImportAddress(const std::string& address);

// Adds [type, address] to the safe list and saves spam.dat, unless the
// address has no "@", is already there, or (type 1) its domain entry is.
// True when an entry was added. Without a running filter nothing happens.
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

// The layout of spam.dat: Type, Item, primary index ixType on both.
void DefineSpamTable(TvdlMemTable& t);

// spam.dat's one owner: classification reads it, and the SMTP server, the
// web pages, the message browser and the setup window change it here.
tables::TableOwner& SafeList();

// The settings of [Spam], [SpamWords] and [SpamUsers], as the setup window
// shows them: numbers within the ranges it offers, the report user and the
// bad users only among the local users.
struct Settings {
    bool checkSpam = false;
    bool webBookmark = true;
    bool webLimited = true;
    int webPageLimit = 100;
    int previewSize = 50;
    bool oneLine = false;
    bool twoLines = true;
    bool report = false;
    std::string reportUser;
    bool reportEvery = true;
    bool reportDaily = false;
    int reportEveryAmount = 10;
    QTime reportTime{17, 0};
    bool addOutAddress = true;
    // Lines as edited; a line of blanks is kept but never matches.
    std::vector<std::string> goodWords, badWords;
    bool badUsersShown = false;
    std::vector<std::string> badUsers;  // ticked local users, in the users' order
};

// The ranges the setup window offers.
inline constexpr int MinPageLimit = 5, MaxPageLimit = 99999;
inline constexpr int MinPreview = 0, MaxPreview = 80;
inline constexpr int MinReportEvery = 5, MaxReportEvery = 9999;

// Reads the settings from tarnwick.ini; users: the local users' names.
Settings ReadSettings(const std::vector<std::string>& users);
// Writes them (with SpamWordsInstalled), empty word lines left out; the
// bad users only while their page is shown.
void WriteSettings(const Settings& s);

class TSpamFilter {
public:
    // The running filter from construction to destruction.
    TSpamFilter();
    ~TSpamFilter();
    TSpamFilter(const TSpamFilter&) = delete;
    TSpamFilter& operator=(const TSpamFilter&) = delete;

    // Start-up: an empty spam.dat when there is none.
    void CreateSafeListFile();
    // spam.dat into SafeList() and the settings from the file. A damaged
    // spam.dat is set aside and the filter goes on with an empty list; the
    // person at the machine is told.
    void Load();

    const Settings& settings() const { return settings_; }
    void SetSettings(Settings s) { settings_ = std::move(s); }

    // The classification; see the top of this file.
    int CheckSpam(const std::string& ToUser, const std::string& From, const std::string& Subject, int& HeldCount);

    // Spam report into the report user's mailbox. Nothing without a report
    // user. True when written.
    bool SendSpamReport();
    // At most one daily report a day, at the first call after the report
    // time; nothing unless reports are on in daily mode.
    void CheckDailyReport();
    // Reports "every N held messages": true when reports are on in that
    // mode and count is a multiple of N.
    bool ReportEveryDue(int count) const;

private:
    Settings settings_;
};

// The running filter; null while there is none.
TSpamFilter* Filter();

}  // namespace spam
