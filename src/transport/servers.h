// The engine object ("Port status") that owns the POP3 side of mail
// transport: the POP3 server, the collector and alert sockets with their
// timers, and the tables of local users, provider accounts, downloaded
// messages, seen Message-IDs and queued alerts. It also holds the one check
// of a local user's password that the POP3 server, SMTP AUTH and the web
// login share.
#pragma once

#include "platform/env.h"
#include "platform/sockets.h"
#include "tables/memtable.h"
#include "transport/settings_file.h"
#include "transport/table_owner.h"

#include <QObject>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <istream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class QTimer;

namespace platform {
class Env;
}

namespace commit {
class Committer;
}

namespace servers {

// The state of one connection, kept with the connection in memory: what the
// older design kept in a ports.dat section named by the client's remote
// port. Keys compare without regard to case; a missing key reads as empty.
class SessionSection {
public:
    void Write(const std::string& key, const std::string& value);
    std::string Read(const std::string& key) const;
    void EraseKey(const std::string& key);
    void Erase();  // the whole section
    bool Empty() const { return values_.empty(); }

private:
    struct NoCase {
        bool operator()(const std::string& a, const std::string& b) const;
    };
    std::map<std::string, std::string, NoCase> values_;
};

// Address the POP3 server listens on: $TARNWICK_BIND_ADDRESS when set (tests
// use 127.0.0.1), else every address of the host.
std::string BindAddress();

// Whether the SMTP, POP3 and web servers take a connection from this
// address: with [SMTP] IPFilter on, what the filter admits
// (smtp::IpFilterAdmits); without it, only this host and the office's own
// networks (platform::IsLocalNetworkAddress), so that a default set-up is
// no open relay to the world. A refusal is logged to logFile (a log of the
// program directory).
bool ConnectionAdmitted(const std::string& remoteAddress, const std::string& logFile);

// What was wrong with tarnwick.ini when the program started (its
// IniFile::Problem), set by the program entry before the settings are
// first read; the servers window reports it once.
extern std::string SettingsFileProblemAtStart;

// "There is already an application or service using port ..." for the named
// server ("POP", "SMTP").
std::string PortInUseText(int port, const std::string& server);

// "There is already an application or service using port ..." for the POP
// server.
std::string PopPortInUseText(int port);

// A listening port read from the settings: up to five digits and at most
// 65535, else `def`.
int ListenPortFromText(const std::string& text, int def);

// A unique id safe for UIDL: the stamp itself when it is 1..70 printable
// characters, else a stable hex digest of it.
std::string SafeUniqueId(const std::string& stamp);

// Lines of a TOP reply for a stored message: the header lines, an empty
// line, then the first `lines` body lines; the stored end marker is never
// part of the body. Each line ends CR LF; the closing "." is not included.
std::string TopText(const std::string& message, long lines);

// "1023 bytes", "1 kb" (below 1,024,000 bytes, whole kilobytes), "0.98 mb".
std::string FormatByteSize(std::int64_t bytes);

// The text a user's desktop is sent when the mailbox count changes:
// "0", "<user>,You have 1 message." or "<user>,You have N messages.".
std::string AlertText(const std::string& user, std::int64_t count);

// Copies a whole file over destination (temp file, fsync, rename); does
// nothing when source is missing. False when a copy failed.
bool CopyMessageFile(const std::string& source, const std::string& destination);

// The header of a fetched message as distribution reads it: up to 299
// lines, to the first empty (or "Message") line; every line, and the
// header as a whole, bounded in length.
struct FetchedHeader {
    std::vector<std::string> lines;
    std::string messageId, idLetters, sender, subject;
    bool cut = false;  // a line was longer than was kept
};
// Reads the header from in, then from more (the end marker a file may lack);
// nothing past the header is read.
FetchedHeader ScanHeader(std::istream& in, const std::string& more);

// The value of the first header of each of names (case ignored, the colon
// optional), folded lines joined, each cut at 255 bytes and followed by a
// blank: the envelope recipients a provider wrote into the message.
std::string EnvelopeText(const std::vector<std::string>& headerLines, const std::vector<std::string>& names);

// The To and Cc lines with their continuation lines, each followed by a blank.
std::string ToCcText(const std::vector<std::string>& headerLines);

// Addresses and names of a fetched message looked up at most.
constexpr size_t kMaxAddressesPerMessage = 1000;

// Every address (the text around each "@" up to a blank, tab, CR, LF, ",",
// ";", "<" or ">"), lower-cased, in order, up to limit of them (cut, when
// given, tells whether more were left); each is written to pop.log.
std::vector<std::string> ExtractAddresses(const std::string& text, size_t limit = kMaxAddressesPerMessage,
                                          bool* cut = nullptr);
// The texts between pairs of double quotes, lower-cased; limit and cut as above.
std::vector<std::string> ExtractQuotedNames(const std::string& text, size_t limit = kMaxAddressesPerMessage,
                                            bool* cut = nullptr);

// Imports message folders of the older layout from ProgramDir: each folder
// "<user>_<stamp>" holding "raw.dat" becomes the mailbox file
// in/<user>_<stamp>.dat and the folder is removed. Returns how many.
int ImportRawMessages();

// What removing a POP3 session's deleted messages came to.
struct PurgeOutcome {
    std::vector<std::string> notRemoved;  // names that could not be removed
    std::string syncError;                // why the folder could not be synced
    bool ok() const { return notRemoved.empty() && syncError.empty(); }
};
// Removes the named files of folder (with its trailing "/"; a file already
// gone counts as removed) and syncs the folder, so that the removals
// outlive a crash; on a committer's worker, with the committer's grouped
// folder syncs.
PurgeOutcome PurgeFiles(platform::Env& env, const std::string& folder, const std::vector<std::string>& names,
                        commit::Committer& committer);

// Count and size of a provider's STAT reply ("+OK 3 4096"); 0 for what is
// not a number. False when the reply does not carry both numbers.
bool ParseStatReply(const std::string& line, std::int64_t& count, std::int64_t& size);

}  // namespace servers

// Where the collector's conversation with a provider stands: the request
// whose reply it waits for. The numbers are those the collector log shows.
enum class TCollectorState : int {
    AwaitGreeting = 0,
    SentUser = 1,
    SentPass = 2,
    SentStat = 3,
    Retrieving = 4,  // RETR: its status line, then the message
    Selecting = 5,   // UIDL's listing, or the reply to DELE or NOOP
    SentQuit = 6,
    SentList = 7,    // LIST: its status line, then the sizes
};

class TFrmServers : public QObject {
    Q_OBJECT
public:
    explicit TFrmServers(QObject* parent = nullptr);
    ~TFrmServers() override;

    // Components.
    platform::TcpServer PopServer;     // POP3 server for local users
    platform::TcpClient POPClient;     // collector
    platform::TcpClient AlertSocket;   // new-mail alerts
    // users.dat (Name, Password; index ixName) and pop.dat (provider
    // accounts): their owners' tables, which this object loads at set-up.
    TvdlMemTable& TblUsers = tables::Users().Table();
    TvdlMemTable& TblPop = tables::PopAccounts().Table();
    TvdlMemTable& TblUIDL = tables::Uidl().Table();  // uidl.dat: POP, UIDL, Received; index ixUIDL
    TvdlMemTable TblID;                // in memory: ID; index ixID
    TvdlMemTable TblAlert;             // in memory: Address, Message; index ixAddress
    QTimer* NextAccountTimer;          // 1000 ms pause between accounts
    QTimer* TimeOutTimer;              // collector timeout, [POP] Timeout seconds
    std::vector<std::string> Memo1;    // UIDL listing of the current account

    // Set-up: at creation, and again after the settings window closed.
    void FormCreate();
    // Sends TblPop's account names out for the Send/Recv drop-down.
    void BuildAccountMenu();

    // True when user is in TblUsers and password equals the stored one,
    // both lower-cased. The result ("yes"/"no") is written to the session's
    // key "Log"; canonicalName gets the user name as the table holds it.
    bool CheckUserPassword(const std::string& user, const std::string& password,
                           servers::SessionSection* session = nullptr,
                           std::string* canonicalName = nullptr);

    // Why the user's message files must not be moved now: a POP3 session
    // of the user is logged in, a collection runs, or message files are
    // still being written after waiting waitMs for them. Empty text when
    // nothing of the engine touches them before the event loop runs again.
    std::string MailboxBusy(const std::string& user, int waitMs);

    // A connection's session values: no key erases the whole section.
    static void WriteSessionValue(servers::SessionSection& section, const std::optional<std::string>& key,
                                  const std::string& value = std::string());
    static std::string ReadSessionValue(const servers::SessionSection& section, const std::string& key);

    // Recipient of a failure notice whose sender is not local: the Default
    // user of the first POP account, or the first user when there are no
    // accounts; empty when neither exists.
    std::string NoticeFallbackUser();

    // --- Mailbox counts and new-mail alerts (counts.cpp, alerts.cpp) ------
    // Recounts the mailboxes, the outbox and the spam folders and sends the
    // count out as one event. With AutoSend, queued outgoing mail asks for a
    // Send/Recv at once when [SMTP] Wait says so and no cycle runs. The
    // second flag has no effect.
    void RefreshMailCounts(bool AutoSend, bool Unused = false);
    // Total bytes of out/*.txt at the last refresh outside a relay run.
    std::int64_t OutboxTotalBytes = 0;
    // Tells the user's desktop (the address of the last POP3 login) the new
    // mailbox count, when the count differs from the one last announced.
    void QueueNewMailAlert(const std::string& user);
    // Sends the first queued alert unless one is already under way.
    void SendQueuedAlerts();
    void AlertSocketConnect();
    void AlertSocketDisconnect();
    void AlertSocketError(int code);
    // How long an alert may take to connect.
    int AlertConnectTimeoutMs = 5000;

    // --- POP3 collection of the provider accounts (collector.cpp) ---------
    // The first mail step of a Send/Recv cycle. It hands over to the relay
    // run (FrmSMTP->StartDelivery) when every account is done.
    void StartPopCollection();
    // True from StartPopCollection until the hand-over to the relay run.
    bool Collecting() const;
    void ConnectNextAccount();
    void POPClientConnect();
    void POPClientRead();
    void POPClientDisconnect();
    void POPClientError(int code);
    void TimeOutTimerTimer();
    void NextAccountTimerTimer();
    // Appends a chunk of message text to mess.txt; true when the message is
    // complete (its end marker seen, possibly across chunks).
    bool AppendTempMessage(const std::string& chunk);
    // The unique id of message n in the current UIDL listing; empty when none.
    std::string GetListedUidl(std::int64_t n) const;
    // Forgets every downloaded-message record of the account and its stored
    // mailbox size.
    void ClearUIDL(const std::string& account);
    // True when the downloaded-message record holds rows for the account.
    bool HasDownloaded(const std::string& account);

    // Current account and mailbox of the collector.
    std::string AccountName, AccountDefaultUser, AccountLogin, AccountPassword;
    bool AccountLeave = false;
    int AccountLeaveDays = 0;
    std::int64_t AccountLastSize = 0;
    std::int64_t MessageCount = 0, MailboxSize = 0, MessageIndex = 0, ReceivedBytes = 0;
    std::string TempTail;
    // How long a message or a listing may take to arrive, besides a second
    // for each 2 KB of what it may hold; tests shorten it.
    int MessageDeadlineBaseMs = 120 * 1000;

    // --- Distribution of fetched messages (distribution.cpp) --------------
    // Distributes mess.txt to its local recipients and deletes it. The
    // mailbox copies are made and synced by the committer, off the event
    // loop; back on it, each copy gets the delivery filters and done gets
    // empty text. When a copy cannot be made, or keep (when given) says no
    // once they are, none stays and done gets the reason. Throws, without
    // calling done, when mess.txt cannot be read or the message is for no
    // one (it then stays on the provider's server).
    void MoveTempMessage(std::function<void(const std::string& failure)> done,
                         std::function<bool()> keep = nullptr);
    // The local users a fetched message is for, each once, minus those who
    // already got this Message-ID in this run.
    std::vector<std::string> SelectRecipients(const std::vector<std::string>& headerLines,
                                              const std::string& messageId);

    // POP3 server events.
    void PopServerClientConnect(platform::TcpConnection& connection);
    void PopServerClientRead(platform::TcpConnection& connection);
    void PopServerClientDisconnect(platform::TcpConnection& connection);
    void PopServerClientError(platform::TcpConnection& connection, int code);

    // The port the POP3 server was asked to listen on ([POP] LocalPort).
    int PopServerPort() const { return popPort_; }
    // Tuning of the POP3 server; tests shorten them.
    int PopIdleTimeoutMs = settings::kPopIdleSeconds * 1000;
    int PopFailedPassDelayMs = 1000;
    int PopMaxFailedPasses = 3;

    // One POP3 connection's session (pop3_server.cpp).
    struct PopSession;
    // Mailbox operations of a session, on the snapshot taken at its login;
    // a session that is not logged in sees an empty mailbox.
    void PopStat(const PopSession& session, std::int64_t& count, std::int64_t& bytes) const;
    // The whole TOP reply for "n lines".
    std::string PopSendTop(PopSession& session, const std::string& argument);
    // LIST or UIDL: one message for an argument, else the listing.
    std::string PopSendListing(PopSession& session, bool uniqueIds, const std::string& argument);
    bool PopMarkDeleted(PopSession& session, const std::string& argument);
    void PopUnmarkAll(PopSession& session);

private:
    void PopProcessPending(const platform::TcpConnectionPtr& connection);
    void PopHandleCommand(const platform::TcpConnectionPtr& connection, PopSession& session,
                          const std::string& line);
    void PopSendAndContinue(const platform::TcpConnectionPtr& connection, const std::string& reply, int waitMs);
    // The commands of the POP3 server (the table in PopHandleCommand).
    static void PopUser(TFrmServers& f, const platform::TcpConnectionPtr& connection, PopSession& session,
                        const std::string& command, const std::string& argument);
    static void PopPass(TFrmServers& f, const platform::TcpConnectionPtr& connection, PopSession& session,
                        const std::string& command, const std::string& argument);
    static void PopStatCommand(TFrmServers& f, const platform::TcpConnectionPtr& connection, PopSession& session,
                               const std::string& command, const std::string& argument);
    static void PopTop(TFrmServers& f, const platform::TcpConnectionPtr& connection, PopSession& session,
                       const std::string& command, const std::string& argument);
    static void PopDele(TFrmServers& f, const platform::TcpConnectionPtr& connection, PopSession& session,
                        const std::string& command, const std::string& argument);
    static void PopQuit(TFrmServers& f, const platform::TcpConnectionPtr& connection, PopSession& session,
                        const std::string& command, const std::string& argument);
    static void PopRetr(TFrmServers& f, const platform::TcpConnectionPtr& connection, PopSession& session,
                        const std::string& command, const std::string& argument);
    static void PopList(TFrmServers& f, const platform::TcpConnectionPtr& connection, PopSession& session,
                        const std::string& command, const std::string& argument);
    static void PopRset(TFrmServers& f, const platform::TcpConnectionPtr& connection, PopSession& session,
                        const std::string& command, const std::string& argument);
    static void PopNoop(TFrmServers& f, const platform::TcpConnectionPtr& connection, PopSession& session,
                        const std::string& command, const std::string& argument);
    // The file of "TOP n lines" and its line count; empty when there is none.
    std::string PopTopFile(PopSession& session, const std::string& argument, long& lines);
    // Streams a stored message in its wire form (RETR, or TOP with topLines
    // >= 0), holding later commands back until done runs.
    void PopSendStored(const platform::TcpConnectionPtr& connection, const std::string& path, long topLines,
                       std::function<void(const platform::TcpConnectionPtr&)> done);
    void PopResume(const platform::TcpConnectionPtr& connection, int waitMs);
    void PopLog(const std::string& line);
    void PopLogPurge(const servers::PurgeOutcome& outcome);
    void LoadTables();

    // Collector internals.
    // A line of the session's log, left out once the session has logged
    // its share (so that a provider cannot fill the disk through the log).
    void CollectorLog(const std::string& line);
    // A line that tells how a session or collection went: always written.
    void CollectorLogOutcome(const std::string& line);
    void CollectorSend(const std::string& command, int waitMs);
    void CollectorLater(int waitMs, std::function<void()> step);
    void HandleReply(const std::string& line);
    // The provider's reply in each state (the table in HandleReply).
    void CollectorGreeted(const std::string& line);
    void CollectorUserAccepted(const std::string& line);
    void CollectorPassAccepted(const std::string& line);
    void CollectorStatAnswered(const std::string& line);
    void CollectorRetrAnswered(const std::string& line);
    void CollectorSelectAnswered(const std::string& line);
    void CollectorQuitAnswered(const std::string& line);
    void CollectorListAnswered(const std::string& line);
    void SendUidl();
    // A LIST or UIDL listing is arriving (or its status line is due).
    bool InListing() const;
    // Starts the deadline of a reply that may hold up to bytes.
    void StartDeadline(std::int64_t bytes);
    // The listing phase is over: only the numbers listed are walked.
    void ListingDone();
    // The provider sent what no command asked for, or a malformed reply:
    // the session is dropped without QUIT, so nothing is deleted there.
    void OutOfStep(const std::string& what);
    // Input is waiting that no command has asked for yet.
    bool InputUnasked();
    // A message listed over the size limit is left on the server (noted
    // once a run); true when message n is one.
    bool LeftAsTooLarge(std::int64_t n);
    // LIST's size of message n; -1 when not known.
    std::int64_t ListedSize(std::int64_t n) const;
    void MessageDeadlinePassed();
    // Deletes message n, or keeps it on the server with Leave on.
    void DisposeOf(std::int64_t n);
    void HandleCollectorInput();
    std::set<std::string> NoteListedUids();
    bool Repeated(const std::string& uid) const;
    void HandleMessageData();
    void SelectNextMessage();
    void RetrieveMessage();
    void MessageComplete();
    void EndAccount(const std::string& message, bool failed);
    void FinishCollection();
    // Records uid as downloaded; then runs once the record is on disk (or
    // could not be written, which is logged).
    // received is the day the message came first (0: today).
    void RecordDownloaded(const std::string& uid, std::function<void()> then, TDateTime received = 0);
    // The message is stored: record it under key, then DELE or NOOP.
    void MessageStored(std::int64_t n, const std::string& key, TDateTime received = 0);
    void MessageNotStored(std::int64_t n, const std::string& why);
    // After disk work begun in account gen: false when that account has
    // ended meanwhile (the next one, held back, is started then).
    bool SameAccount(std::uint64_t gen);
    // The committer the collector's disk work goes to: the SMTP side's when
    // there is one.
    commit::Committer& Commits();
    void PruneDownloaded(const std::set<std::string>& listed);
    void SaveUidl();
    void CloseTempFile();
    bool IsSeen(const std::string& messageId, const std::string& user);
    void MarkSeen(const std::string& messageId, const std::string& user);
    // Alerts.
    void FinishAlert();

    int popPort_ = 110;
    // Runs the disk work of POP3 QUITs off the event loop.
    bool collecting_ = false;
    TCollectorState collectorState_ = TCollectorState::AwaitGreeting;
    struct PopAccount {
        std::string Name, Host, Login, Password, Default;
        bool Include = false, Leave = false;
        int LeaveDays = 0;
    };
    std::vector<PopAccount> accounts_;  // pop.dat's rows as the collection began
    std::size_t nextAccount_ = 0;       // the row ConnectNextAccount goes on from
    std::string inbuf_;               // collector input, handled up to inpos_
    std::size_t inpos_ = 0;
    bool readWaiting_ = false;        // the input goes on in a later turn of the loop
    bool listing_ = false;            // a UIDL listing is being received
    bool bodyStarted_ = false;        // RETR's status line has been read
    bool listingOk_ = false;          // UIDL or LIST answered "+OK"; its lines follow
    bool replyEnded_ = false;         // a reply, listing or message has ended and no command was
                                      // sent since: the provider has nothing to say
    bool awaiting_ = false;           // a reply is due, or will be once its command has gone: the
                                      // timeout runs from then
    bool tempFailed_ = false;         // mess.txt could not be written whole
    bool noRecipient_ = false;        // the last message named no one and has no default user
    bool storing_ = false;            // a fetched message's disk work is under way: input and
                                      // the next account wait for it
    bool uidlWriting_ = false;        // uidl.dat is being written on a worker
    bool uidlAgain_ = false;          // and is to be written again after that
    int reopenCount_ = 0;             // reopenings after "address not available"
    std::unique_ptr<platform::WritableFile> tempFile_;  // mess.txt while a message arrives
    std::int64_t messageBytes_ = 0;   // of the message arriving now
    std::set<std::string> repeatedUids_;  // recorded keys listed more than once this session
    std::set<std::string> sharedBefore_;  // recorded keys listed now whose id the record holds as shared
    std::int64_t listingLines_ = 0;   // lines of the LIST listing so far
    std::int64_t listingBytes_ = 0;   // bytes of the UIDL listing so far
    std::size_t sessionLogged_ = 0;   // bytes the account's session has written to pop.log
    bool sessionLogFull_ = false;     // and its share is used up
    std::vector<std::int64_t> listedSizes_;  // LIST's sizes of messages 1, 2, ... in turn
    std::vector<std::int64_t> listedNumbers_;  // message numbers a LIST or UIDL listing named
    bool walkListed_ = false;         // a listing came whole: only its numbers are fetched
    // RETR's reply seemed to be followed by another status line: which of
    // the two was the reply is told by the sizes once the message is in.
    bool statusFirst_ = false;
    std::int64_t firstLineBytes_ = -1;  // of that line, once its end has come
    std::string firstLineHead_;       // its start
    std::optional<std::int64_t> retrCount_;  // the count RETR's reply gave, if any
    std::int64_t stuffedDots_ = 0;    // dots the provider doubled in the message so far
    std::set<std::string> tooLargeNoted_;  // messages left as too large, noted this run
    QTimer* messageDeadline_ = nullptr;  // the message or listing arriving now must be complete by then
    std::uint64_t accountGen_ = 0;    // continuations of an ended account are stale
    bool accountFailed_ = false;
    std::string alertInFlight_;       // address of the alert being sent
    std::unique_ptr<commit::Committer> committer_;  // without an SMTP side only
};

extern TFrmServers* FrmServers;
