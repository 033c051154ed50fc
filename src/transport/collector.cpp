// POP3 collector of the provider accounts: the receiving half of a
// Send/Recv cycle. One account at a time, as a state machine
// (TCollectorState): greeting, USER, PASS, STAT, the LIST and UIDL listings, then per
// message RETR (into mess.txt) and DELE or NOOP, and QUIT. Replies are read as lines, so
// a reply split over reads or a body chunk that happens to start with
// "+OK" cannot confuse it. A provider that says what no command asked for
// (a message it did not dot-stuff, a second line to a one-line reply,
// bytes before a command is sent) or sends a malformed reply has lost
// step: the session is dropped without QUIT, so it deletes nothing. So is
// one whose reply is not complete within the timeout from when it became
// due, or whose listing is longer than its STAT count allows. A listing or
// a message may take longer as long as it keeps coming, up to a deadline
// that grows with what it may hold. A message whose first line reads as a
// status line is told from a late reply by its size.
//
// Nothing fetched is lost: a message is in every recipient's mailbox,
// synced to disk, and its unique id recorded in uidl.dat before DELE is
// sent; a recorded message still on the server is deleted there without
// being fetched again (Leave off), or skipped (Leave on) until its
// LeaveDays are up. A message comes once, with one exception on the safe
// side: when the program dies between a message's store and its id's
// record, the next session fetches and delivers it again. An id the
// provider lists for several messages identifies none of them: such a
// message is told apart by its size and header once fetched, and deleted
// by its number, never by the id alone. That disk work runs on the
// committer's threads: the conversation waits for it, the event loop does
// not.
#include "transport/servers.h"

#include "codecs/auth.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/committer.h"
#include "transport/events.h"
#include "transport/globals.h"
#include "transport/logfile.h"
#include "transport/settings_file.h"
#include "transport/smtp.h"
#include "transport/store.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <set>

namespace {

// Waits before commands and after a completed message; they end as soon as
// the earlier output has left.
constexpr int kWaitLogin = 400;
constexpr int kWaitCommand = 200;
constexpr int kWaitMessage = 500;
// A status line longer than this is not POP3.
constexpr size_t kMaxReplyLine = 64 * 1024;
// Lines a UIDL or LIST listing may hold beyond STAT's count, and bytes a
// UIDL listing may hold for each line on average ("n uid", the id at most
// 70 characters).
constexpr std::int64_t kListingMargin = 16;
constexpr std::int64_t kListingLineBytes = 128;
// A mailbox of more messages is not collected: its listing alone would
// take hundreds of megabytes.
constexpr std::int64_t kMaxMessages = 2 * 1000 * 1000;
// What an account's session may write to pop.log at least, whatever the
// log's size setting.
constexpr std::size_t kMinSessionLog = 64 * 1024;
// Input taken from the socket at a time, and lines handled in one turn of
// the event loop.
constexpr size_t kReadBite = 64 * 1024;
constexpr int kLinesPerTurn = 512;
// Reopenings after "address not available" per account.
constexpr int kMaxReopen = 3;
// Longest unique id the record keeps as it is; longer ones by digest.
constexpr size_t kMaxStoredUid = 64;
// A message may take a second for each of these bytes of its listed size,
// on top of the base time: a provider that trickles a message must not
// hold the cycle as long as it likes.
constexpr std::int64_t kDeadlineBytesPerSecond = 2048;

const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string HourMinute(const platform::LocalTime& t) { return platform::TwoDigits(t.hour) + ":" + platform::TwoDigits(t.minute); }
std::string HourMinuteSecond(const platform::LocalTime& t) { return HourMinute(t) + ":" + platform::TwoDigits(t.second); }
std::string DayMonth(int day, int month) {
    return platform::TwoDigits(day) + "-" + kMonths[(month >= 1 && month <= 12) ? month - 1 : 0];
}
std::string DayMonthTime(const platform::LocalTime& t) { return DayMonth(t.day, t.month) + " " + HourMinute(t); }

TDateTime Today() {
    platform::LocalTime t = platform::NowLocal();
    return memtable::EncodeDate(t.year, t.month, t.day);
}

std::string DateText(TDateTime d) {
    int y, m, day;
    memtable::DecodeDate(d, y, m, day);
    return DayMonth(day, m);
}

std::string MessPath() { return ProgramDir + "mess.txt"; }

// A fetched message is held to the limit the SMTP server puts on what it
// accepts: a provider that never ends a message must not fill the disk.
std::int64_t MaxCollectedBytes() {
    return FrmSMTP ? FrmSMTP->MaxMessageBytes : TFrmSMTP::kDefaultMaxMessageBytes;
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// A non-negative decimal number at the start of text; 0 when there is none.
std::int64_t Number(const std::string& text) {
    std::int64_t v = 0;
    size_t i = 0;
    for (; i < text.size() && i < 18 && text[i] >= '0' && text[i] <= '9'; ++i) v = v * 10 + (text[i] - '0');
    return v;
}

std::string HexDigest(const std::string& bytes) { return auth::DigestToHex(auth::MD5Digest(bytes)); }

// The key a unique id is recorded under: the id itself, or its digest when
// it is longer than the record's field.
std::string StoredUid(const std::string& uid) { return uid.size() <= kMaxStoredUid ? uid : HexDigest(uid); }

// The record's key of a message whose unique id others share: the id's
// digest, the message's size and its header's digest. No unique id holds a
// blank, so these keys stand apart from the others.
std::string SharedIdKey(const std::string& uid, std::int64_t size, const std::string& headerDigest) {
    return (HexDigest(uid) + " " + std::to_string(size) + " " + headerDigest).substr(0, kMaxStoredUid);
}

constexpr size_t kDigest = 32;

bool IsSharedIdKey(const std::string& key) { return key.size() > kDigest && key[kDigest] == ' '; }

// Whether key is a SharedIdKey of an id whose digest is in digests.
bool SharedIdKeyOf(const std::string& key, const std::set<std::string>& digests) {
    return IsSharedIdKey(key) && digests.count(key.substr(0, kDigest)) > 0;
}

// The digest of a fetched message's header lines, as distribution reads them.
std::string HeaderDigest(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string joined;
    for (const auto& line : servers::ScanHeader(in, std::string()).lines) joined += line + "\n";
    return HexDigest(joined);
}

// Whether text from pos begins as a POP3 status line ("+OK" or "-ERR", then
// a blank or the line's end), as no message's first line does; nothing
// when too little has come to tell.
std::optional<bool> BeginsAsStatus(const std::string& text, size_t pos) {
    const size_t have = text.size() - pos;
    for (const std::string status : {"+OK", "-ERR"}) {
        const size_t n = std::min(have, status.size());
        if (text.compare(pos, n, status, 0, n) != 0) continue;
        if (have <= status.size()) return std::nullopt;
        const char next = text[pos + status.size()];
        return next == ' ' || next == '\t' || next == '\r' || next == '\n';
    }
    return false;
}

// The number a status line gives after "+OK" ("+OK 1234 octets"), if any.
std::optional<std::int64_t> StatusCount(const std::string& line) {
    if (!StartsWith(line, "+OK")) return std::nullopt;
    size_t i = 3;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == line.size() || line[i] < '0' || line[i] > '9') return std::nullopt;
    return Number(line.substr(i));
}

// A message whose first line reads as a status line: either the message
// truly begins so, or what was taken for RETR's reply was a late reply to
// an earlier command and that line is RETR's own. The listing's exact size,
// else the counts the two lines give, say which bytes are the message
// (arrived: as sent, with its doubled dots and end marker; dots: how many
// were doubled; first: the first line's bytes). A provider's count may or
// may not take in the doubled dots and the end marker: each form counts.
bool LateReplyBeforeMessage(std::int64_t arrived, std::int64_t dots, std::int64_t first, std::int64_t listed,
                            std::optional<std::int64_t> retrCount, std::optional<std::int64_t> firstCount) {
    constexpr std::int64_t kMarker = 3;  // ".\r\n"
    auto fits = [&](std::int64_t skip, std::optional<std::int64_t> size) {
        if (!size || *size < 0) return false;
        const std::int64_t n = arrived - skip;
        return n == *size || n - kMarker == *size || n - kMarker - dots == *size;
    };
    if (first <= 0) return false;
    if (fits(0, listed)) return false;
    if (fits(first, listed)) return true;
    if (fits(0, retrCount)) return false;
    return fits(first, firstCount);
}

// The unique id of a listing line "n uid", trailing blanks cut; empty when
// the line has none.
std::string ListedUid(const std::string& line) {
    size_t blank = line.find(' ');
    if (blank == std::string::npos) return std::string();
    std::string uid = line.substr(blank + 1);
    while (!uid.empty() && (uid.back() == ' ' || uid.back() == '\t')) uid.pop_back();
    return uid;
}

}  // namespace

namespace servers {

bool ParseStatReply(const std::string& line, std::int64_t& count, std::int64_t& size) {
    const std::string chomped = smtp::Chomp(line);
    std::string rest = chomped.substr(std::min<size_t>(4, chomped.size()));
    count = Number(rest);
    size_t blank = rest.find(' ');
    size = blank == std::string::npos ? 0 : Number(rest.substr(blank + 1, 32));
    // "+OK count size", maybe with more words after: a line without both
    // numbers answered something else.
    auto digits = [&](size_t& i) {
        const size_t from = i;
        while (i < chomped.size() && chomped[i] >= '0' && chomped[i] <= '9') ++i;
        return i > from;
    };
    auto blanks = [&](size_t& i) {
        const size_t from = i;
        while (i < chomped.size() && (chomped[i] == ' ' || chomped[i] == '\t')) ++i;
        return i > from;
    };
    size_t i = 3;
    return StartsWith(chomped, "+OK") && blanks(i) && digits(i) && blanks(i) && digits(i) &&
           (i == chomped.size() || chomped[i] == ' ' || chomped[i] == '\t');
}

}  // namespace servers

// --- small helpers -------------------------------------------------------------

// A session's share of pop.log is its size setting: a provider that
// answers for ever must not take the disk through the log.
void TFrmServers::CollectorLog(const std::string& line) {
    if (sessionLogFull_) return;
    const std::size_t share =
        std::max<std::size_t>(kMinSessionLog, static_cast<std::size_t>(std::max(0, procs::LogSizeLimit)));
    if (sessionLogged_ + line.size() > share) {
        sessionLogFull_ = true;
        CollectorLogOutcome(" >> the session has written " + std::to_string(sessionLogged_) +
                            " bytes to this log: the rest of it is left out");
        return;
    }
    CollectorLogOutcome(line);
}

void TFrmServers::CollectorLogOutcome(const std::string& line) {
    sessionLogged_ += line.size() + 2;
    procs::WriteLog(ProgramDir + "pop.log", line);
}

void TFrmServers::CollectorSend(const std::string& command, int waitMs) {
    // The reply answered is complete: the timeout starts again when the
    // command has gone.
    TimeOutTimer->stop();
    CollectorLater(waitMs, [this, command] {
        // Until asked the provider has nothing to say: what waits now
        // belongs to something it meant otherwise, and every reply from
        // here on would be misread.
        if (InputUnasked())
            return OutOfStep(replyEnded_ ? "input after the end of a reply" : "input before a command");
        replyEnded_ = false;
        POPClient.SendText(command);
        TimeOutTimer->start();
    });
}

bool TFrmServers::InputUnasked() { return inpos_ < inbuf_.size() || POPClient.BytesAvailable() > 0; }

void TFrmServers::OutOfStep(const std::string& what) {
    CollectorLogOutcome(" >> out of step with the server (" + what + "): the session is dropped, nothing is deleted");
    EndAccount(AccountName + ": out of step with the server.", true);
}

// Runs step once the output sent so far has left (at most waitMs), from
// the event loop; a step of an account that has ended meanwhile is dropped.
void TFrmServers::CollectorLater(int waitMs, std::function<void()> step) {
    struct Pending {
        std::function<void()> step;
        QElapsedTimer since;
        int waitMs;
        std::uint64_t gen;
    };
    auto pending = std::make_shared<Pending>();
    pending->step = std::move(step);
    pending->since.start();
    pending->waitMs = waitMs;
    pending->gen = accountGen_;
    struct Poll {
        static void Run(TFrmServers* self, std::shared_ptr<Pending> p) {
            if (p->gen != self->accountGen_) return;
            if (self->POPClient.PendingOutput() > 0 && p->since.elapsed() < p->waitMs) {
                QTimer::singleShot(5, self, [self, p] { Run(self, p); });
                return;
            }
            p->step();
        }
    };
    QTimer::singleShot(0, this, [this, pending] { Poll::Run(this, pending); });
}

namespace {

std::string& LastStatus() {
    static std::string text;
    return text;
}

void Status(const std::string& text) {
    LastStatus() = text;
    events::Get().Status(text, true);
}

void PopLabelRed() {
    events::Get().LabelLook(events::Label::LastCollection, events::Look::Failed);
}

void TrayImage(int image) {
    events::Get().TrayImage(image);
}

}  // namespace

void TFrmServers::CloseTempFile() {
    if (tempFile_) {
        tempFile_->Close();
        tempFile_.reset();
    }
}

void TFrmServers::SaveUidl() {
    // A write under way on a worker could land after this one and bring
    // back an older table: this one follows it instead.
    if (uidlWriting_) {
        uidlAgain_ = true;
        return;
    }
    try {
        if (TblUIDL.Active()) tables::SaveTableFile(TblUIDL, ProgramDir + "uidl.dat");
    } catch (const std::exception& e) {
        CollectorLog(std::string("uidl.dat not written: ") + e.what());
    }
}

// --- the cycle's collection ------------------------------------------------------

bool TFrmServers::Collecting() const { return collecting_; }

void TFrmServers::StartPopCollection() {
    if (collecting_) return;
    events::Get().LabelText(events::Label::LastConnection, DayMonthTime(platform::NowLocal()));
    if (SendOnly) {
        TrayImage(1);
        if (FrmSMTP) FrmSMTP->StartDelivery();
        return;
    }
    collecting_ = true;
    events::Get().LabelText(events::Label::LastCollection, "Checking Now...");
    events::Get().LabelLook(events::Label::LastCollection, events::Look::Busy);
    procs::TrimLogFile(ProgramDir + "pop.log");
    CollectorLog(HourMinute(platform::NowLocal()) + ": Started POP collection");

    accounts_.clear();
    nextAccount_ = 0;
    if (TblPop.Active()) {
        int mark = TblPop.GetBookmark();
        for (TblPop.First(); !TblPop.Eof(); TblPop.Next()) {
            PopAccount a;
            auto text = [&](const char* f) { return TblPop.FindField(f) ? TblPop.FieldByName(f).AsString() : ""; };
            a.Name = text("Name");
            a.Host = text("Host");
            a.Login = text("Login");
            a.Password = text("Password");
            a.Default = text("Default");
            a.Include = TblPop.FindField("Include") && TblPop.FieldByName("Include").AsBoolean();
            a.Leave = TblPop.FindField("Leave") && TblPop.FieldByName("Leave").AsBoolean();
            a.LeaveDays = TblPop.FindField("Leavedays") ? static_cast<int>(TblPop.FieldByName("Leavedays").AsInteger()) : 0;
            accounts_.push_back(a);
        }
        if (mark >= 0 && TblPop.BookmarkValid(mark)) TblPop.GotoBookmark(mark);
    }

    if (accounts_.empty()) {
        CollectorLog("No POP accounts!");
        events::Get().LabelText(events::Label::LastCollection, DayMonthTime(platform::NowLocal()));
        events::Get().LabelLook(events::Label::LastCollection, events::Look::Plain);
        RefreshMailCounts(false);
        TrayImage(1);
        collecting_ = false;
        if (FrmSMTP) FrmSMTP->StartDelivery();
        return;
    }
    ConnectNextAccount();
}

void TFrmServers::ConnectNextAccount() {
    ++accountGen_;
    CloseTempFile();
    POPClient.Abort();
    inbuf_.clear();
    inpos_ = 0;
    readWaiting_ = false;
    listing_ = false;
    bodyStarted_ = false;
    replyEnded_ = false;
    messageDeadline_->stop();
    reopenCount_ = 0;
    sessionLogged_ = 0;
    sessionLogFull_ = false;

    while (nextAccount_ < accounts_.size()) {
        const PopAccount& a = accounts_[nextAccount_];
        if (SingleAccountName.empty() ? a.Include : a.Name == SingleAccountName) break;
        ++nextAccount_;
    }
    if (nextAccount_ >= accounts_.size()) {
        FinishCollection();
        return;
    }
    const PopAccount a = accounts_[nextAccount_++];
    AccountName = a.Name;
    AccountDefaultUser = a.Default;
    platform::IniFile ini(settings::IniPath());
    const std::string key = platform::IniSafe(a.Name);
    AccountLastSize = ini.ReadInt64("POP", key + "_size", 0);
    int port = ini.ReadInteger("POP", key + "_port", 110);
    AccountLogin = a.Login;
    AccountPassword = a.Password;
    AccountLeave = a.Leave;
    AccountLeaveDays = a.LeaveDays;
    MessageCount = MailboxSize = MessageIndex = ReceivedBytes = 0;
    Memo1.clear();
    repeatedUids_.clear();
    sharedBefore_.clear();
    listedSizes_.clear();

    TimeOutTimer->start();
    CollectorLog(HourMinuteSecond(platform::NowLocal()) + " ######################## " + a.Name);
    CollectorLog(" >> Connecting to " + a.Host);
    Status(a.Name + ": connecting");
    platform::Env::Current()->Unlink(MessPath());
    POPClient.SetAddress("");
    POPClient.SetHost(a.Host);
    POPClient.SetPort(port);
    collectorState_ = TCollectorState::AwaitGreeting;
    POPClient.Open();
}

void TFrmServers::FinishCollection() {
    TimeOutTimer->stop();
    messageDeadline_->stop();
    NextAccountTimer->stop();
    POPClient.Abort();
    CollectorLogOutcome("POP collection complete");
    CollectorLogOutcome(std::string(55, '_'));
    SaveUidl();
    Status("POP collection complete");
    events::Get().LabelText(events::Label::LastCollection, DayMonthTime(platform::NowLocal()));
    events::Get().LabelLook(events::Label::LastCollection, events::Look::Done);
    TrayImage(1);
    collecting_ = false;
    if (FrmSMTP) FrmSMTP->StartDelivery();
}

// The account is given up: lost, silent, refused or its mail could not be
// stored. Whatever was stored so far stays; nothing more is deleted.
void TFrmServers::EndAccount(const std::string& message, bool failed) {
    ++accountGen_;
    TimeOutTimer->stop();
    messageDeadline_->stop();
    POPClient.Abort();
    CloseTempFile();
    platform::Env::Current()->Unlink(MessPath());
    inbuf_.clear();
    inpos_ = 0;
    readWaiting_ = false;
    listing_ = bodyStarted_ = false;
    Status(message);
    if (failed) PopLabelRed();
    CollectorLogOutcome(message);
    SaveUidl();
    NextAccountTimer->start();
}

void TFrmServers::NextAccountTimerTimer() {
    NextAccountTimer->stop();
    if (!collecting_) return;
    // mess.txt is still being copied: the next account would write over it.
    if (storing_) return;
    RefreshMailCounts(true);
    ConnectNextAccount();
}

// --- socket events ----------------------------------------------------------------

void TFrmServers::POPClientConnect() {
    // The greeting is what counts; the timeout keeps running until it comes.
}

void TFrmServers::POPClientRead() {
    // Earlier input still waits its turn, or the message's disk work: the
    // rest stays in the socket.
    if (readWaiting_ || storing_) return;
    std::string data = POPClient.ReceiveText(kReadBite);
    if (!collecting_ || data.empty()) return;
    // A reply's time runs from when it became due, whatever trickles in
    // meanwhile; only a message or a listing, which have deadlines of
    // their own, may take longer as long as they keep coming.
    if (collectorState_ == TCollectorState::Retrieving || InListing()) TimeOutTimer->stop();
    if (collectorState_ != TCollectorState::Retrieving)
        CollectorLog("(" + std::to_string(static_cast<int>(collectorState_)) + ") << : " + data);
    inbuf_ += data;
    HandleCollectorInput();
}

// Handles a bounded number of lines, then lets the other clients and
// servers have their turn: a listing of millions of lines must not stop the
// program while it arrives.
void TFrmServers::HandleCollectorInput() {
    const std::uint64_t gen = accountGen_;
    int lines = 0;
    while (gen == accountGen_ && !storing_ && inpos_ < inbuf_.size()) {
        if (replyEnded_) return OutOfStep("input after the end of a reply");
        if (collectorState_ == TCollectorState::Retrieving && bodyStarted_) {
            if (messageBytes_ == 0) {
                // Either RETR's status line came a line late (what was taken
                // for it answered an earlier command) or the message truly
                // begins so: told once it is in.
                const std::optional<bool> status = BeginsAsStatus(inbuf_, inpos_);
                if (!status) break;
                statusFirst_ = *status;
            }
            inbuf_.erase(0, inpos_);
            inpos_ = 0;
            HandleMessageData();
            continue;
        }
        if (lines++ == kLinesPerTurn) break;
        size_t lf = inbuf_.find('\n', inpos_);
        if (lf == std::string::npos) {
            if (inbuf_.size() - inpos_ > kMaxReplyLine) {
                EndAccount(AccountName + ": lost connecttion.", true);
                return;
            }
            break;
        }
        std::string line = inbuf_.substr(inpos_, lf + 1 - inpos_);
        inpos_ = lf + 1;
        HandleReply(line);
    }
    if (gen != accountGen_) return;
    inbuf_.erase(0, inpos_);
    inpos_ = 0;
    const bool moreHere = lines > kLinesPerTurn;
    const bool stillComing =
        (collectorState_ == TCollectorState::Retrieving && awaiting_) || (InListing() && !replyEnded_);
    if (moreHere || POPClient.BytesAvailable() > 0) {
        readWaiting_ = true;
        QTimer::singleShot(0, this, [this, gen, moreHere] {
            readWaiting_ = false;
            if (gen != accountGen_) return;
            if (moreHere) HandleCollectorInput();
            else POPClientRead();
        });
        if (stillComing) TimeOutTimer->start();
        return;
    }
    // Still waiting for the rest of a message or a listing.
    if (stillComing) TimeOutTimer->start();
}

bool TFrmServers::InListing() const {
    return collectorState_ == TCollectorState::SentList || (collectorState_ == TCollectorState::Selecting && listing_);
}

void TFrmServers::StartDeadline(std::int64_t bytes) {
    messageDeadline_->start(static_cast<int>(
        std::min<std::int64_t>(INT_MAX, MessageDeadlineBaseMs + bytes * 1000 / kDeadlineBytesPerSecond)));
}

void TFrmServers::POPClientDisconnect() {
    if (!collecting_) return;
    if (collectorState_ == TCollectorState::SentQuit) {
        // A server that closes instead of answering QUIT is done too.
        ++accountGen_;
        TimeOutTimer->stop();
        CollectorLogOutcome(" >> done");
        NextAccountTimer->start();
        return;
    }
    EndAccount(AccountName + (collectorState_ == TCollectorState::AwaitGreeting ? ": couldn't connect."
                                                                                : ": lost connecttion."),
               true);
}

void TFrmServers::POPClientError(int code) {
    if (!collecting_) return;
    CollectorLogOutcome("Pop collection failed with error number " + std::to_string(code) + ": " +
                        platform::SocketErrorText(code));
    if (code == platform::sockerr::AddressNotAvailable && reopenCount_ < kMaxReopen) {
        ++reopenCount_;
        POPClient.Open();
        TimeOutTimer->start();
        return;
    }
    TimeOutTimerTimer();
}

void TFrmServers::TimeOutTimerTimer() {
    TimeOutTimer->stop();
    if (!collecting_) return;
    const std::string& status = LastStatus();
    if (status == AccountName + ": connecting") {
        Status(AccountName + ": connecting...");
        ++accountGen_;
        inbuf_.clear();
        inpos_ = 0;
        readWaiting_ = false;
        replyEnded_ = false;
        collectorState_ = TCollectorState::AwaitGreeting;
        POPClient.Open();
        TimeOutTimer->start();
    } else if (status == AccountName + ": verifying user") {
        Status(AccountName + ": verifying user...");
        CollectorSend("USER " + AccountLogin + "\r\n", kWaitLogin);
        TimeOutTimer->start();
    } else if (status == AccountName + ": verifying password") {
        Status(AccountName + ": verifying password...");
        CollectorSend("PASS " + AccountPassword + "\r\n", kWaitLogin);
        TimeOutTimer->start();
    } else {
        EndAccount(AccountName + (collectorState_ != TCollectorState::AwaitGreeting ? ": lost connecttion."
                                                                                    : ": couldn't connect."),
                   true);
    }
}

// --- replies -----------------------------------------------------------------------

void TFrmServers::HandleReply(const std::string& line) {
    const TCollectorState state = collectorState_;
    const bool listingLine =
        listingOk_ && (state == TCollectorState::SentList || (state == TCollectorState::Selecting && listing_));
    if (!listingLine && !StartsWith(line, "+OK") && !StartsWith(line, "-ERR"))
        return OutOfStep("a reply that is neither +OK nor -ERR");
    // A status line is the whole reply unless a listing or a message
    // follows it; a listing ends with its ".".
    const bool more = StartsWith(line, "+OK") &&
                      (state == TCollectorState::Retrieving ||
                       (!listingOk_ && (state == TCollectorState::SentList ||
                                        (state == TCollectorState::Selecting && listing_))));
    if (!listingLine && !more) replyEnded_ = true;
    // Nothing is due until the next command has gone.
    if (replyEnded_) TimeOutTimer->stop();
    // Until STAT has been answered, "-ERR" ends the account's turn.
    const bool loggingOn = state == TCollectorState::AwaitGreeting || state == TCollectorState::SentUser ||
                           state == TCollectorState::SentPass || state == TCollectorState::SentStat;
    if (loggingOn && StartsWith(line, "-ERR")) {
        const bool beforeUser = state == TCollectorState::AwaitGreeting || state == TCollectorState::SentUser;
        CollectorLog(beforeUser ? " Invalid host" : " Invalid login/password or mailbox busy");
        collectorState_ = TCollectorState::SentQuit;
        PopLabelRed();
        Status(AccountName + ": error...");
        awaiting_ = false;
        CollectorSend("QUIT\r\n", 0);
        return;
    }
    using Handler = void (TFrmServers::*)(const std::string&);
    static constexpr std::pair<TCollectorState, Handler> kOnReply[] = {
        {TCollectorState::AwaitGreeting, &TFrmServers::CollectorGreeted},
        {TCollectorState::SentUser, &TFrmServers::CollectorUserAccepted},
        {TCollectorState::SentPass, &TFrmServers::CollectorPassAccepted},
        {TCollectorState::SentStat, &TFrmServers::CollectorStatAnswered},
        {TCollectorState::Retrieving, &TFrmServers::CollectorRetrAnswered},
        {TCollectorState::Selecting, &TFrmServers::CollectorSelectAnswered},
        {TCollectorState::SentQuit, &TFrmServers::CollectorQuitAnswered},
        {TCollectorState::SentList, &TFrmServers::CollectorListAnswered},
    };
    for (const auto& [s, handler] : kOnReply)
        if (s == state) return (this->*handler)(line);
}

void TFrmServers::CollectorQuitAnswered(const std::string&) {
    ++accountGen_;
    awaiting_ = false;
    TimeOutTimer->stop();
    CollectorLogOutcome(" >> done");
    POPClient.Close();
    NextAccountTimer->start();
}

void TFrmServers::CollectorGreeted(const std::string& line) {
    if (!StartsWith(line, "+OK")) return;
    CollectorLog(" >> connected, sending username");
    Status(AccountName + ": verifying user");
    collectorState_ = TCollectorState::SentUser;
    CollectorSend("USER " + AccountLogin + "\r\n", kWaitLogin);
    awaiting_ = true;
}

void TFrmServers::CollectorUserAccepted(const std::string& line) {
    if (!StartsWith(line, "+OK")) return;
    Status(AccountName + ": verifying password");
    CollectorLog(" >> verifying password");
    collectorState_ = TCollectorState::SentPass;
    CollectorSend("PASS " + AccountPassword + "\r\n", kWaitLogin);
    awaiting_ = true;
}

void TFrmServers::CollectorPassAccepted(const std::string& line) {
    if (!StartsWith(line, "+OK")) return;
    Status(AccountName + ": getting stats");
    CollectorLog(" >> getting stats");
    collectorState_ = TCollectorState::SentStat;
    CollectorSend("STAT\r\n", kWaitCommand);
    awaiting_ = true;
}

void TFrmServers::CollectorStatAnswered(const std::string& line) {
    if (!StartsWith(line, "+OK")) return;
    const std::string& name = AccountName;
    std::int64_t count = 0, size = 0;
    // A late line (a second one to PASS) read as STAT's reply would say
    // "no messages" and wipe the account's records.
    if (!servers::ParseStatReply(line, count, size)) return OutOfStep("a STAT reply without its numbers");
    if (count > kMaxMessages) {
        CollectorLogOutcome(" >> the server lists " + std::to_string(count) + " messages, more than " +
                            std::to_string(kMaxMessages) + ": the session is dropped, nothing is deleted");
        return EndAccount(name + ": too many messages on the server.", true);
    }
    settings::WriteState("POP", platform::IniSafe(name) + "_size", static_cast<long long>(size));
    if (AccountLeave && size > AccountLastSize) size -= AccountLastSize;
    MailboxSize = size;
    MessageCount = count;
    ReceivedBytes = 0;
    if (count == 0) {
        Status(name + ": 0 messages");
        CollectorLog(" >> quit");
        collectorState_ = TCollectorState::SentQuit;
        CollectorSend("QUIT\r\n", kWaitCommand);
        ClearUIDL(name);
    } else {
        listedSizes_.clear();
        listedNumbers_.clear();
        walkListed_ = false;
        listingLines_ = 0;
        StartDeadline((MessageCount + kListingMargin) * kListingLineBytes);
        CollectorLog(" >> LIST");
        collectorState_ = TCollectorState::SentList;
        listingOk_ = false;
        CollectorSend("LIST\r\n", kWaitCommand);
    }
    awaiting_ = true;
}

// The sizes tell which messages are over the limit before any is fetched,
// and how long each may take to arrive.
void TFrmServers::CollectorListAnswered(const std::string& line) {
    if (!listingOk_) {
        if (StartsWith(line, "+OK")) {
            listingOk_ = true;
            return;
        }
        CollectorLog(" >> LIST refused: the sizes of the messages are not known");
        return SendUidl();
    }
    const std::string entry = smtp::Chomp(line);
    if (entry == ".") {
        replyEnded_ = true;
        walkListed_ = true;
        TimeOutTimer->stop();
        return SendUidl();
    }
    if (++listingLines_ > MessageCount + kListingMargin) return OutOfStep("a LIST longer than its STAT count");
    if (Number(entry) >= 1 && Number(entry) <= MessageCount) listedNumbers_.push_back(Number(entry));
    // Listings go in order; a size out of it stays unknown, and the limit
    // then holds the message as it arrives.
    const size_t blank = entry.find(' ');
    if (blank != std::string::npos && Number(entry) == static_cast<std::int64_t>(listedSizes_.size()) + 1 &&
        Number(entry) <= MessageCount)
        listedSizes_.push_back(Number(entry.substr(blank + 1)));
}

std::int64_t TFrmServers::ListedSize(std::int64_t n) const {
    return n >= 1 && static_cast<std::uint64_t>(n) <= listedSizes_.size() ? listedSizes_[n - 1] : -1;
}

void TFrmServers::SendUidl() {
    MessageIndex = 0;
    Memo1.clear();
    listingBytes_ = 0;
    CollectorLog(" >> UIDL");
    collectorState_ = TCollectorState::Selecting;
    listing_ = true;
    listingOk_ = false;
    StartDeadline((MessageCount + kListingMargin) * kListingLineBytes);
    CollectorSend("UIDL\r\n", kWaitCommand);
    awaiting_ = true;
}

// A STAT count above what the listings name would have every number up to
// it asked for: only what a listing names is fetched.
void TFrmServers::ListingDone() {
    messageDeadline_->stop();
    if (!walkListed_) return;
    std::sort(listedNumbers_.begin(), listedNumbers_.end());
    listedNumbers_.erase(std::unique(listedNumbers_.begin(), listedNumbers_.end()), listedNumbers_.end());
    if (static_cast<std::int64_t>(listedNumbers_.size()) < MessageCount)
        CollectorLog(" >> the server counted " + std::to_string(MessageCount) + " messages and lists " +
                     std::to_string(listedNumbers_.size()) + ": only those listed are retrieved");
    MessageCount = listedNumbers_.empty() ? 0 : listedNumbers_.back();
}

void TFrmServers::CollectorRetrAnswered(const std::string& line) {
    if (StartsWith(line, "+OK")) {
        CollectorLog(" receiving message...");
        bodyStarted_ = true;
        messageBytes_ = 0;
        statusFirst_ = false;
        firstLineBytes_ = -1;
        firstLineHead_.clear();
        stuffedDots_ = 0;
        retrCount_ = StatusCount(smtp::Chomp(line));
        TempTail = "\r\n";  // the body starts a line: "." alone ends an empty message
        tempFailed_ = false;
        return;
    }
    // RETR refused: the message stays where it is; on with the next.
    messageDeadline_->stop();
    CollectorLog(" >> message " + std::to_string(MessageIndex) + " not retrieved: " + smtp::Chomp(line));
    awaiting_ = false;
    ++MessageIndex;
    collectorState_ = TCollectorState::Selecting;
    SelectNextMessage();
}

void TFrmServers::CollectorSelectAnswered(const std::string& line) {
    const bool ok = StartsWith(line, "+OK");
    if (!listing_) {
        // The reply to DELE or NOOP.
        if (!ok) CollectorLog(" >> message " + std::to_string(MessageIndex) + ": " + smtp::Chomp(line));
        awaiting_ = false;
        ++MessageIndex;
        SelectNextMessage();
        return;
    }
    if (MessageIndex == 0 && !listingOk_) {
        if (ok) {
            listingOk_ = true;
            return;
        }
        // UIDL refused: every message is fetched.
        listing_ = false;
        awaiting_ = false;
        Memo1.clear();
        CollectorLog(" >> POP server doesn't support UDIL - you should have a word with them");
        if (AccountLeave)
            CollectorLog(" >> As a result we can't tell if a message has been downloaded already - "
                         "downloading all " +
                         std::to_string(MessageCount));
        ListingDone();
        MessageIndex = 1;
        SelectNextMessage();
        return;
    }
    std::string entry = smtp::Chomp(line);
    if (entry == ".") {
        listing_ = false;
        awaiting_ = false;
        replyEnded_ = true;
        TimeOutTimer->stop();
        for (const auto& listed : Memo1)
            if (Number(listed) >= 1 && Number(listed) <= MessageCount) listedNumbers_.push_back(Number(listed));
        walkListed_ = true;
        ListingDone();
        PruneDownloaded(NoteListedUids());
        MessageIndex = 1;
        SelectNextMessage();
        return;
    }
    listingBytes_ += static_cast<std::int64_t>(entry.size());
    if (static_cast<std::int64_t>(Memo1.size()) >= MessageCount + kListingMargin ||
        listingBytes_ > (MessageCount + kListingMargin) * kListingLineBytes)
        return OutOfStep("a UIDL longer than its STAT count");
    if (StartsWith(entry, "..")) entry.erase(0, 1);
    Memo1.push_back(entry);
}

void TFrmServers::HandleMessageData() {
    std::string chunk;
    chunk.swap(inbuf_);
    // Where the end marker closes, counting the tail of the earlier chunks.
    std::string joined = TempTail + chunk;
    size_t end = joined.find(smtp::EndMarker);
    std::string part = chunk;
    if (end != std::string::npos) {
        size_t cut = end + 5 - TempTail.size();
        part = chunk.substr(0, cut);
        inbuf_ = chunk.substr(cut);
    }
    if (statusFirst_) {
        const std::string seen = TempTail + part;
        for (size_t p = seen.find("\n.."); p != std::string::npos; p = seen.find("\n..", p + 1))
            if (p + 3 > TempTail.size()) ++stuffedDots_;
        if (firstLineBytes_ < 0) {
            const size_t lf = part.find('\n');
            const size_t room = 64 - std::min<size_t>(64, firstLineHead_.size());
            firstLineHead_ += part.substr(0, std::min(room, lf == std::string::npos ? part.size() : lf));
            if (lf != std::string::npos) firstLineBytes_ = messageBytes_ + static_cast<std::int64_t>(lf) + 1;
        }
    }
    ReceivedBytes += static_cast<std::int64_t>(part.size());
    messageBytes_ += static_cast<std::int64_t>(part.size());
    if (messageBytes_ > MaxCollectedBytes() + static_cast<std::int64_t>(std::strlen(smtp::EndMarker))) {
        // Dropping the connection rather than QUIT: nothing marked in this
        // session can be deleted at the provider now.
        CollectorLogOutcome(" >> message " + std::to_string(MessageIndex) + " is over " +
                            std::to_string(MaxCollectedBytes()) + " bytes: not retrieved, left on the server");
        EndAccount(AccountName + ": message too large.", true);
        return;
    }
    std::int64_t percent =
        MailboxSize == 0 ? 1 : std::min<std::int64_t>(100, std::llround(ReceivedBytes * 100.0 / MailboxSize));
    Status(AccountName + ": collecting " + std::to_string(MessageIndex) + "/" + std::to_string(MessageCount) +
           " (" + servers::FormatByteSize(MailboxSize) + ", " + std::to_string(percent) +
           (StartsWith(part, "X-KeepClientAlive") ? "% - wait for AV...)" : "%)"));
    if (AppendTempMessage(part)) MessageComplete();
}

bool TFrmServers::AppendTempMessage(const std::string& chunk) {
    if (!tempFile_ && !platform::Env::Current()->NewWritableFile(MessPath(), platform::CreateMode::Append, tempFile_).ok()) {
        tempFile_.reset();
        tempFailed_ = true;
    }
    if (tempFile_ && !chunk.empty() && !tempFile_->Append(chunk).ok()) tempFailed_ = true;
    std::string joined = TempTail + chunk;
    bool complete = joined.find(smtp::EndMarker) != std::string::npos;
    TempTail = joined.size() > 11 ? joined.substr(joined.size() - 11) : joined;
    if (complete && tempFile_) {
        if (!tempFile_->Close().ok()) tempFailed_ = true;
        tempFile_.reset();
    }
    return complete;
}

void TFrmServers::MessageComplete() {
    if (statusFirst_) {
        statusFirst_ = false;
        if (LateReplyBeforeMessage(messageBytes_, stuffedDots_, firstLineBytes_, ListedSize(MessageIndex),
                                   retrCount_, StatusCount(firstLineHead_)))
            return OutOfStep("a status line where the message should begin");
        CollectorLog(" >> message " + std::to_string(MessageIndex) +
                     " begins with a line like a reply: the line is taken as its own");
    }
    messageDeadline_->stop();
    bodyStarted_ = false;
    awaiting_ = false;
    replyEnded_ = true;
    collectorState_ = TCollectorState::Selecting;
    const std::int64_t n = MessageIndex;
    const std::string uid = GetListedUidl(n);
    const std::int64_t size = messageBytes_;
    CollectorLater(kWaitMessage, [this, n, uid, size] {
        try {
            if (tempFailed_) throw std::runtime_error("mess.txt could not be written");
            if (!platform::FileExists(MessPath())) throw std::runtime_error("mess.txt is gone");
            std::string key = uid;
            const bool repeated = Repeated(uid);
            if (repeated || sharedBefore_.count(StoredUid(uid))) {
                const std::string shared = SharedIdKey(uid, size, HeaderDigest(MessPath()));
                if (TblUIDL.Active() && TblUIDL.FindKey({AccountName, shared})) {
                    CollectorLog(" >> message " + std::to_string(n) + " was downloaded before: its unique id " +
                                 (repeated ? "is" : "was") + " shared, its size and header are known");
                    platform::Env::Current()->Unlink(MessPath());
                    if (repeated) return DisposeOf(n);
                    // Its id is its own now: recorded as such, it is known
                    // without a fetch once the shared records are gone.
                    return MessageStored(n, uid, TblUIDL.FieldByName("Received").AsDateTime());
                }
                if (repeated) key = shared;
            }
            const std::uint64_t gen = accountGen_;
            storing_ = true;
            MoveTempMessage(
                [this, n, key, gen](const std::string& failure) {
                    storing_ = false;
                    if (!SameAccount(gen)) return;
                    if (failure.empty()) MessageStored(n, key);
                    else MessageNotStored(n, failure);
                },
                // Without a conversation to send DELE in, the copies would be
                // fetched again and delivered twice. Input after the message's
                // end means it ended early: a part is no copy to keep.
                [this, gen] {
                    if (gen != accountGen_) return false;
                    if (!InputUnasked()) return true;
                    OutOfStep("input after the end of a message");
                    return false;
                });
        } catch (const std::exception& e) {
            storing_ = false;
            MessageNotStored(n, e.what());
        }
    });
}

void TFrmServers::MessageNotStored(std::int64_t n, const std::string& why) {
    // Not stored, so not deleted: the next cycle fetches it again.
    CollectorLogOutcome(" >> message " + std::to_string(n) + " not stored: " + why);
    platform::Env::Current()->Unlink(MessPath());
    PopLabelRed();
    collectorState_ = TCollectorState::SentQuit;
    Status(AccountName + ": error...");
    CollectorSend("QUIT\r\n", 0);
    awaiting_ = true;
}

void TFrmServers::MessageStored(std::int64_t n, const std::string& key, TDateTime received) {
    const std::uint64_t gen = accountGen_;
    storing_ = true;
    RecordDownloaded(
        key,
        [this, n, gen] {
            storing_ = false;
            if (!SameAccount(gen)) return;
            DisposeOf(n);
        },
        received);
}

// By number: numbers hold for the whole session, whatever the ids say.
void TFrmServers::DisposeOf(std::int64_t n) {
    if (AccountLeave) {
        CollectorLog(" >> don't mark " + std::to_string(n) + " for deleting");
        CollectorSend("NOOP\r\n", kWaitCommand);
    } else {
        CollectorLog(" >> mark " + std::to_string(n) + " for deleting");
        CollectorSend("DELE " + std::to_string(n) + "\r\n", kWaitCommand);
    }
    awaiting_ = true;
}

bool TFrmServers::SameAccount(std::uint64_t gen) {
    if (gen == accountGen_) return true;
    // The account ended meanwhile, and its next one waited for the disk.
    if (collecting_ && !NextAccountTimer->isActive()) NextAccountTimer->start();
    return false;
}

commit::Committer& TFrmServers::Commits() {
    if (FrmSMTP) return FrmSMTP->Commits();
    if (!committer_) committer_ = std::make_unique<commit::Committer>(nullptr, 2);
    return *committer_;
}

// --- message selection ----------------------------------------------------------

void TFrmServers::SelectNextMessage() {
    const TDateTime today = Today();
    for (int passed = 0;; ++passed) {
        if (walkListed_) {
            const auto next = std::lower_bound(listedNumbers_.begin(), listedNumbers_.end(), MessageIndex);
            MessageIndex = next == listedNumbers_.end() ? MessageCount + 1 : *next;
        }
        if (MessageIndex > MessageCount) break;
        if (passed == kLinesPerTurn) {
            // A long run of messages fetched before: the rest in a later
            // turn, so that the servers are not kept waiting meanwhile.
            awaiting_ = false;
            CollectorLater(0, [this] { SelectNextMessage(); });
            return;
        }
        std::string uid = GetListedUidl(MessageIndex);
        if (uid.empty() || Repeated(uid) || !TblUIDL.Active() || !TblUIDL.FindKey({AccountName, StoredUid(uid)})) {
            if (LeftAsTooLarge(MessageIndex)) {
                ++MessageIndex;
                continue;
            }
            RetrieveMessage();
            return;
        }
        TDateTime received = TblUIDL.FieldByName("Received").AsDateTime();
        const std::string n = std::to_string(MessageIndex);
        CollectorLog(" >> don't retrieve " + n + " - already downloaded " + DateText(received));
        if (!AccountLeave || (AccountLeaveDays > 0 && received <= today - AccountLeaveDays)) {
            CollectorLog(" >> mark " + n + " for deleting (" + DateText(received) + ")");
            CollectorSend("DELE " + n + "\r\n", kWaitCommand);
            awaiting_ = true;
            return;
        }
        ++MessageIndex;
    }
    collectorState_ = TCollectorState::SentQuit;
    Status(AccountName + ": disconnecting...");
    CollectorLog(" >> quit");
    SaveUidl();
    CollectorSend("QUIT\r\n", kWaitCommand);
    awaiting_ = true;
}

void TFrmServers::RetrieveMessage() {
    collectorState_ = TCollectorState::Retrieving;
    CollectorLog(" >> retrieve " + std::to_string(MessageIndex));
    TempTail.clear();
    bodyStarted_ = false;
    CloseTempFile();
    platform::Env::Current()->Unlink(MessPath());
    StartDeadline(std::clamp<std::int64_t>(ListedSize(MessageIndex), 0, MaxCollectedBytes()));
    CollectorSend("RETR " + std::to_string(MessageIndex) + "\r\n", kWaitCommand);
    awaiting_ = true;
}

void TFrmServers::MessageDeadlinePassed() {
    if (!collecting_) return;
    if (InListing()) {
        CollectorLogOutcome(" >> the list of messages still not complete after " +
                            std::to_string(messageDeadline_->interval() / 1000) +
                            " s: the session is dropped, nothing is deleted");
        return EndAccount(AccountName + ": the list of messages took too long to arrive.", true);
    }
    if (collectorState_ != TCollectorState::Retrieving) return;
    const std::string n = std::to_string(MessageIndex);
    CollectorLogOutcome(" >> message " + n + " still not complete after " +
                        std::to_string(messageDeadline_->interval() / 1000) +
                        " s: the session is dropped, nothing is deleted");
    EndAccount(AccountName + ": message " + n + " took too long to arrive.", true);
}

bool TFrmServers::LeftAsTooLarge(std::int64_t n) {
    if (ListedSize(n) <= MaxCollectedBytes()) return false;
    const std::string uid = GetListedUidl(n);
    const std::string size = std::to_string(ListedSize(n));
    // Noted once, not at every cycle while it waits there.
    if (tooLargeNoted_.insert(AccountName + "\n" + (uid.empty() ? "#" + std::to_string(n) : uid) + "\n" + size)
            .second) {
        const std::string note =
            AccountName + ": message " + std::to_string(n) + " too large (" + size + " bytes), left on the server";
        CollectorLog(note);
        Status(note);
    }
    return true;
}

std::string TFrmServers::GetListedUidl(std::int64_t n) const {
    const std::string prefix = std::to_string(n) + " ";
    // Listings number their lines in order: look where line n should be
    // first, so that a long listing is not walked once per message.
    std::vector<const std::string*> order;
    if (n >= 1 && static_cast<std::uint64_t>(n) <= Memo1.size() && Memo1[n - 1].rfind(prefix, 0) == 0)
        order.push_back(&Memo1[n - 1]);
    else
        for (const auto& line : Memo1) order.push_back(&line);
    for (const std::string* linePtr : order) {
        const std::string& line = *linePtr;
        if (line.rfind(prefix, 0) == 0) return ListedUid(line);
    }
    return std::string();
}

// The stored keys of every id listed, in one pass over the listing, and
// the digests of the ids listed for more than one message or recorded as
// such before (their records' keys start with them).
std::set<std::string> TFrmServers::NoteListedUids() {
    repeatedUids_.clear();
    sharedBefore_.clear();
    // An id shared once may be listed for one message now: its records
    // stay until that message is known by its own id.
    std::set<std::string> sharedDigests;
    if (TblUIDL.Active())
        for (TblUIDL.First(); !TblUIDL.Eof(); TblUIDL.Next()) {
            const std::string key = TblUIDL.FieldByName("UIDL").AsString();
            if (IsSharedIdKey(key) && TblUIDL.FieldByName("POP").AsString() == AccountName)
                sharedDigests.insert(key.substr(0, kDigest));
        }
    std::set<std::string> listed;
    std::map<std::string, std::int64_t> firstAt;
    for (const auto& line : Memo1) {
        const std::string uid = ListedUid(line);
        if (uid.empty()) continue;
        const std::string key = StoredUid(uid);
        listed.insert(key);
        // Shared-id records start with the id's digest: made only where
        // such a record may be.
        const bool repeated = !firstAt.emplace(key, Number(line)).second && repeatedUids_.insert(key).second;
        const std::string digest = repeated || !sharedDigests.empty() ? HexDigest(uid) : std::string();
        if (!sharedDigests.empty() && sharedDigests.count(digest)) {
            listed.insert(digest);
            sharedBefore_.insert(key);
        }
        if (repeated) {
            listed.insert(digest);
            CollectorLog(" >> unique id " + key + " is listed for more than one message (first " +
                         std::to_string(firstAt[key]) + "): each is told apart by its size and header");
        }
    }
    return listed;
}

bool TFrmServers::Repeated(const std::string& uid) const {
    return !uid.empty() && repeatedUids_.count(StoredUid(uid)) > 0;
}

// --- the downloaded-message record ------------------------------------------------

void TFrmServers::RecordDownloaded(const std::string& uid, std::function<void()> then, TDateTime received) {
    if (uid.empty() || !TblUIDL.Active()) return then();
    const std::string key = StoredUid(uid);
    try {
        if (TblUIDL.FindKey({AccountName, key})) {
            TblUIDL.Edit();
        } else {
            TblUIDL.Append();
            TblUIDL.FieldByName("POP").SetAsString(AccountName);
            TblUIDL.FieldByName("UIDL").SetAsString(key);
        }
        TblUIDL.FieldByName("Received").SetAsDateTime(received != 0 ? received : Today());
        TblUIDL.Post();
    } catch (const std::exception& e) {
        if (TblUIDL.State() != dsBrowse) TblUIDL.Cancel();
        CollectorLog(std::string(" >> not recorded: ") + e.what());
    }
    // On disk before the server is told to delete it.
    std::string bytes;
    try {
        bytes = TblUIDL.SaveToBinaryString();
    } catch (const std::exception& e) {
        CollectorLog(std::string("uidl.dat not written: ") + e.what());
        return then();
    }
    const std::string path = ProgramDir + "uidl.dat";
    QPointer<TFrmServers> self(this);
    uidlWriting_ = true;
    Commits().Submit(
        [path, bytes = std::move(bytes)](commit::Committer& committer) {
            return committer.Env().WriteFileAtomic(path, bytes);
        },
        [self, path, then = std::move(then)](platform::FsStatus status) {
            if (!self) return;
            if (!status.ok())
                self->CollectorLog("uidl.dat not written: Cannot write file \"" + path + "\": " + status.Text());
            self->uidlWriting_ = false;
            if (self->uidlAgain_) {
                self->uidlAgain_ = false;
                self->SaveUidl();
            }
            then();
        });
}

// Rows of messages the server no longer lists are of no use any more.
void TFrmServers::PruneDownloaded(const std::set<std::string>& listed) {
    if (!TblUIDL.Active() || !HasDownloaded(AccountName)) return;
    bool changed = false;
    for (TblUIDL.First(); !TblUIDL.Eof();) {
        const std::string key = TblUIDL.FieldByName("UIDL").AsString();
        if (TblUIDL.FieldByName("POP").AsString() == AccountName && !listed.count(key) &&
            !SharedIdKeyOf(key, listed)) {
            TblUIDL.Delete();
            changed = true;
        } else {
            TblUIDL.Next();
        }
    }
    if (changed) SaveUidl();
}

void TFrmServers::ClearUIDL(const std::string& account) {
    if (TblUIDL.Active()) {
        for (TblUIDL.First(); !TblUIDL.Eof();) {
            if (TblUIDL.FieldByName("POP").AsString() == account) TblUIDL.Delete();
            else TblUIDL.Next();
        }
        SaveUidl();
    }
    settings::WriteState("POP", platform::IniSafe(account) + "_size", 0LL);
}

bool TFrmServers::HasDownloaded(const std::string& account) {
    if (!TblUIDL.Active()) return false;
    for (TblUIDL.First(); !TblUIDL.Eof(); TblUIDL.Next())
        if (TblUIDL.FieldByName("POP").AsString() == account) return true;
    return false;
}
