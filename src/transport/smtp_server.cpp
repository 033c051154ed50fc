// SMTP server for local users. Each connection carries its own session in
// memory: the unhandled input, the SMTP state with its envelope, and the
// message file being received. A message is received into out/<id>.txo,
// delivered to its local recipients and recorded for its external ones
// while it still has that name; only then does it become out/<id>.txt, and
// only once every file that holds it is on disk does the client hear "250".
#include "transport/smtp.h"

#include "codecs/auth.h"
#include "codecs/qev_util.h"
#include "filters/spam.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/setup_hooks.h"
#include "transport/account_tables.h"
#include "transport/committer.h"
#include "transport/globals.h"
#include "transport/logfile.h"
#include "transport/logins.h"
#include "transport/mail_settings.h"
#include "transport/message_rewrite.h"
#include "transport/ports_file.h"
#include "transport/servers.h"

#include <QTimer>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Replies.
constexpr char kGreeting[] = "220 hello\r\n";
constexpr char kHelo[] = "250 Tarnwick\r\n";
constexpr char kEhlo[] = "250-Tarnwick\r\n250 AUTH PLAIN LOGIN\r\n";
constexpr char kSenderOk[] = "250 Sender OK\r\n";
constexpr char kAskUser[] = "334 VXNlcm5hbWU6\r\n";
constexpr char kAskPassword[] = "334 UGFzc3dvcmQ6\r\n";
constexpr char kAskPlain[] = "334 \r\n";
constexpr char kUserAccepted[] = "235 OK, user accepted\r\n";
constexpr char kUserRejected[] = "535 user rejected\r\n";
constexpr char kLoginsBraked[] = "454 Too many failed logins, try again later\r\n";
constexpr char kAuthCancelled[] = "501 Authentication cancelled\r\n";
constexpr char kUnknownMechanism[] = "504 Unrecognized authentication type\r\n";
constexpr char kRecipientOk[] = "250 Recipient OK\r\n";
constexpr char kNotAuthenticated[] = "501 Not Authenticated\r\n";
constexpr char kInternalOnly[] = "550 Internal mail only\r\n";
constexpr char kTooManyRecipients[] = "452 Too many recipients\r\n";
constexpr char kGoAhead[] = "354 Off you go then\r\n";
constexpr char kNoRecipients[] = "554 No valid recipients\r\n";
constexpr char kNestedMail[] = "503 Nested MAIL command\r\n";
constexpr char kBadSequence[] = "503 Bad sequence of commands\r\n";
constexpr char kReset[] = "250 Ok Resetting state\r\n";
constexpr char kNoop[] = "250 OK\r\n";
constexpr char kBye[] = "221 See ya later\r\n";
constexpr char kNotImplemented[] = "502 Command not implemented\r\n";
constexpr char kLineTooLong[] = "500 Line too long\r\n";
constexpr char kStored[] = "250 Load and clear\r\n";
constexpr char kNotStored[] = "451 Requested action aborted: local error in processing\r\n";
constexpr char kTooBig[] = "552 Message size exceeds fixed maximum message size\r\n";
constexpr char kIdleTooLong[] = "421 Idle too long, closing connection\r\n";

constexpr size_t kMaxLine = 4096;
constexpr size_t kMaxArgument = 255;
constexpr int kMaxRecipients = 1000;
// Input is taken from the socket in bites of this size, and only while the
// client takes its replies: one that writes without reading is held back
// by TCP instead of filling our memory.
constexpr size_t kReadBite = 64 * 1024;
constexpr std::int64_t kMaxUnreadReplies = 256 * 1024;
// Lines (or DATA bites) handled in one turn of the event loop; the rest wait
// for the next turn, so that one client cannot keep the others waiting.
constexpr int kLinesPerTurn = 64;

bool IsSafeListAddress(const std::string& address) { return spam::IsImportAddress(smtp::TrimBlanks(address)); }

// The maker's own domain (that of the support address): crash reports and
// support mails go there, so it is reached even without logging on.
bool IsVendorAddress(const std::string& address) {
    static const std::string vendor = qev_util::LowerCase(std::string(setup::kSupportAddress).substr(
        std::string(setup::kSupportAddress).find('@') + 1));
    std::string a = qev_util::LowerCase(smtp::StripAngleBrackets(smtp::TrimBlanks(address)));
    size_t at = a.rfind('@');
    return at != std::string::npos && a.substr(at + 1) == vendor;
}

std::vector<std::string> MemoFooterLines() { return mailsettings::Current()->footerLines; }

// The lines of a text file as the footer memo loads them: CR LF or LF
// ends a line, and a last line without one counts when it is not empty.
std::vector<std::string> FileLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(smtp::Chomp(line));
            line.clear();
        } else {
            line += c;
        }
    }
    if (!smtp::Chomp(line).empty()) lines.push_back(smtp::Chomp(line));
    return lines;
}

// footer.html's lines, none without the file; false when it is there but
// cannot be read. It is read for each message, so an edit counts from the
// next one.
bool ReadHtmlFooter(std::vector<std::string>& lines) {
    lines.clear();
    const std::string path = ProgramDir + "footer.html";
    if (!platform::FileExists(path)) return true;
    std::string text;
    if (!platform::ReadFile(path, text)) return false;
    lines = FileLines(text);
    return true;
}

std::vector<std::string> HtmlFooterLines() {
    std::vector<std::string> lines;
    ReadHtmlFooter(lines);
    return lines;
}

std::string WithInsertion(const std::string& message, const rewrite::Insertion& where) {
    if (!where.Any()) return message;
    std::string out = message;
    out.insert(static_cast<size_t>(where.offset), where.text);
    return out;
}

// The footer put into a message file in place; without a footer the file
// is not even read.
bool InsertFooter(const std::string& file, const rewrite::Footer& footer, bool html) {
    if (footer.Empty() || (!html && footer.lines.empty())) return platform::FileExists(file);
    rewrite::Insertion where;
    if (!rewrite::FooterInFile(*platform::Env::Current(), file, footer, html, where).ok()) return false;
    return !where.Any() || smtp::InsertIntoFile(file, where.offset, where.text);
}

}  // namespace

// --- the dialect's routines --------------------------------------------------

namespace smtp {

void SplitSmtpLine(std::string& buffer, std::string& command, std::string& argument) {
    size_t lf = buffer.find('\n');
    std::string line = buffer.substr(0, lf);
    buffer.erase(0, lf == std::string::npos ? std::string::npos : lf + 1);
    std::erase(line, '\r');
    size_t blank = line.find(' ');
    command = qev_util::LowerCase(line.substr(0, blank));
    std::string rest = blank == std::string::npos ? std::string() : line.substr(blank + 1);
    size_t start = rest.find_first_not_of(' ');
    rest = start == std::string::npos ? std::string() : rest.substr(start);

    std::string lowerRest = qev_util::LowerCase(rest);
    std::string address;
    bool envelope = false;
    if (command == "mail" && lowerRest.rfind("from:", 0) == 0) {
        command = "mail from";
        address = rest.substr(5);
        envelope = true;
    } else if (command == "rcpt" && lowerRest.rfind("to:", 0) == 0) {
        command = "rcpt to";
        address = rest.substr(3);
        envelope = true;
    }
    if (!envelope) {
        argument = rest;
        return;
    }
    address = qev_util::LowerCase(smtp::TrimBlanks(address));
    // ESMTP parameters after the address are not part of it.
    if (!address.empty() && address[0] == '<') {
        size_t gt = address.find('>');
        // The list form ("<<a>,<b>>") keeps everything.
        if (gt != std::string::npos && address.find("<<") == std::string::npos) address.resize(gt + 1);
    } else {
        address = address.substr(0, address.find(' '));
    }
    argument = address.substr(0, kMaxArgument);
}

bool IpFilterAdmits(const std::string& remoteAddress, const std::string& filterAddress) {
    if (remoteAddress.rfind("127.", 0) == 0 || remoteAddress == "::1") return true;
    const std::string filter = smtp::TrimBlanks(filterAddress);
    if (filter.empty() || remoteAddress.size() < filter.size()) return false;
    if (remoteAddress.compare(0, filter.size(), filter) != 0) return false;
    return remoteAddress.size() == filter.size() || filter.back() == '.' || remoteAddress[filter.size()] == '.';
}

std::vector<std::string> SplitRecipientList(const std::string& argument) {
    if (argument.find("<<") == std::string::npos) return {argument};
    std::vector<std::string> list;
    size_t pos = 0;
    for (;;) {
        size_t gt = argument.find('>', pos);
        if (gt == std::string::npos) break;
        size_t lt = argument.rfind('<', gt);
        if (lt != std::string::npos && lt >= pos && gt > lt + 1) list.push_back(argument.substr(lt, gt - lt + 1));
        pos = gt + 1;
    }
    return list;
}

std::string WithTextFooter(const std::string& message, const std::vector<std::string>& footerLines) {
    return WithInsertion(message, rewrite::FooterInText(message, rewrite::Footer{footerLines, {}}, false));
}

std::string WithHtmlFooter(const std::string& message, const std::vector<std::string>& footerLines,
                           const std::vector<std::string>& htmlFooterLines) {
    return WithInsertion(message, rewrite::FooterInText(message, rewrite::Footer{footerLines, htmlFooterLines}, true));
}

}  // namespace smtp

bool TFrmSMTP::InsertHtmlFooter(const std::string& file) {
    return InsertFooter(file, rewrite::Footer{MemoFooterLines(), HtmlFooterLines()}, true);
}

bool TFrmSMTP::InsertTextFooter(const std::string& file) {
    return InsertFooter(file, rewrite::Footer{MemoFooterLines(), {}}, false);
}

// --- sessions -----------------------------------------------------------------

struct TFrmSMTP::ReceivingList {
    std::mutex mutex;
    std::multiset<std::string> ids;
};

namespace {

// Keeps a message's id in the server's receiving list while it lives. The
// last holder may let go of it on any thread, and after the server is gone.
class ReceivingMark {
public:
    ReceivingMark(const std::shared_ptr<TFrmSMTP::ReceivingList>& list, std::string id)
        : list_(list), id_(qev_util::LowerCase(id)) {
        std::lock_guard<std::mutex> lock(list->mutex);
        list->ids.insert(id_);
    }
    ~ReceivingMark() {
        auto list = list_.lock();
        if (!list) return;
        std::lock_guard<std::mutex> lock(list->mutex);
        auto it = list->ids.find(id_);
        if (it != list->ids.end()) list->ids.erase(it);
    }
    ReceivingMark(const ReceivingMark&) = delete;
    ReceivingMark& operator=(const ReceivingMark&) = delete;

private:
    std::weak_ptr<TFrmSMTP::ReceivingList> list_;
    std::string id_;
};

}  // namespace

std::set<std::string> TFrmSMTP::IdsBeingReceived() const {
    if (!receiving_) return {};
    std::lock_guard<std::mutex> lock(receiving_->mutex);
    return std::set<std::string>(receiving_->ids.begin(), receiving_->ids.end());
}

// What the session does with the next input it reads.
enum class TSmtpState {
    Command,                // a command line
    AwaitLoginUser,         // AUTH LOGIN's user name
    AwaitLoginPassword,     // AUTH LOGIN's password
    AwaitPlainCredentials,  // AUTH PLAIN's credentials
    ReceivingData,          // DATA text up to the end marker
};

struct TFrmSMTP::SmtpSession {
    TSmtpState State = TSmtpState::Command;
    bool Authenticated = false;       // logged on: may relay for the whole session
    // A MAIL FROM opened a transaction, which RSET or the end of its
    // message's data closes. Its sender, recipients and the standing of a
    // local sender (which lets it relay too) end with it: none of them may
    // carry over to a message of another sender.
    bool InTransaction = false;
    bool LocalSender = false;
    std::string User;                 // logged on as, the users table's spelling
    std::string LoginName;            // an AUTH LOGIN name not yet checked
    std::string From;                 // MAIL FROM of the current message
    std::vector<std::string> Recipients;  // accepted RCPT TO of the current message
    std::string MessageId;            // queue id of the message being received
    // Queue id and sender of each message taken so far.
    std::vector<std::pair<std::string, std::string>> Received;
    std::string Input;                // received; handled up to InputPos
    size_t InputPos = 0;
    bool Waiting = false;             // handling goes on in a later turn of the loop
    bool DiscardingLine = false;      // an over-long line is dropped up to its LF
    std::string DataTail;             // the last bytes of the DATA text
    std::unique_ptr<platform::WritableFile> DataFile;
    std::string DataPath;             // out/<id>.txo while receiving
    // Holds MessageId in the server's receiving list until the message is
    // stored or dropped.
    std::shared_ptr<ReceivingMark> Receiving;
    // A message small enough is held here instead, its file made by the
    // committer; its id is reserved meanwhile.
    std::string DataText;
    std::string HeldId;
    bool DataFailed = false;
    std::int64_t DataBytes = 0;       // DATA text received so far
    bool DataTooBig = false;
    std::unique_ptr<QTimer> IdleTimer;
    bool Quitting = false;
    bool Ended = false;

    ~SmtpSession() { Discard(); }
    void EndTransaction() {
        InTransaction = false;
        LocalSender = false;
        From.clear();
        Recipients.clear();
    }
    // Drops a message that is still arriving: nothing of it stays behind.
    void Discard() {
        if (DataFile) DataFile->Close();
        DataFile.reset();
        if (!HeldId.empty()) {
            smtp::ReleaseQueueId(HeldId);
            HeldId.clear();
        } else if (!DataPath.empty()) {
            platform::Env::Current()->Unlink(DataPath);
        }
        DataText.clear();
        DataText.shrink_to_fit();
        DataPath.clear();
        Receiving.reset();
    }
};

namespace {

std::shared_ptr<TFrmSMTP::SmtpSession> SessionOf(platform::TcpConnection& connection) {
    auto* s = std::any_cast<std::shared_ptr<TFrmSMTP::SmtpSession>>(&connection.UserData());
    return s ? *s : nullptr;
}

}  // namespace

void TFrmSMTP::ServerLog(const std::string& line) { procs::WriteLog(ProgramDir + "smtpsvr.log", line); }

void TFrmSMTP::Reply(platform::TcpConnection& connection, const std::string& reply) {
    connection.SendText(reply);
    ServerLog("<< " + smtp::Chomp(reply));
}

bool TFrmSMTP::SMTPServerAccept(platform::TcpConnection& connection) {
    return servers::ConnectionAdmitted(connection.RemoteAddress(), "smtpsvr.log");
}

void TFrmSMTP::SMTPServerClientConnect(platform::TcpConnection& connection) {
    auto session = std::make_shared<SmtpSession>();
    session->IdleTimer = std::make_unique<QTimer>();
    session->IdleTimer->setSingleShot(true);
    session->IdleTimer->setInterval(SmtpIdleTimeoutMs);
    std::weak_ptr<platform::TcpConnection> weak = connection.shared_from_this();
    QObject::connect(session->IdleTimer.get(), &QTimer::timeout, [this, weak] {
        auto c = weak.lock();
        if (!c || !c->Connected()) return;
        ServerLog("Connection from " + c->RemoteAddress() + " idle too long; closed");
        Reply(*c, kIdleTooLong);
        if (auto s = SessionOf(*c)) s->Quitting = true;
        c->Close();
    });
    session->IdleTimer->start();
    connection.UserData() = session;
    procs::TrimLogFile(ProgramDir + "smtpsvr.log");
    Reply(connection, kGreeting);
}

void TFrmSMTP::SMTPServerClientRead(platform::TcpConnection& connection) {
    auto session = SessionOf(connection);
    if (!session || session->Quitting) {
        connection.ReceiveText();
        return;
    }
    // While earlier input waits its turn, the rest stays in the socket.
    if (session->Waiting) return;
    const std::string bite = connection.ReceiveText(kReadBite);
    session->Input += bite;
    // The wait counts from the last whole line (a command or a line of the
    // text): a client that trickles bytes without ending a line holds a
    // place for nothing.
    if (bite.find('\n') != std::string::npos) {
        session->IdleTimer->setInterval(session->State == TSmtpState::ReceivingData ? SmtpDataTimeoutMs
                                                                                    : SmtpIdleTimeoutMs);
        session->IdleTimer->start();
    }
    PumpServerInput(connection.shared_from_this());
}

// Handles what has been read, then reads on while the socket holds more;
// every wait (the client's unread replies, the end of a turn) continues
// here from the event loop.
void TFrmSMTP::PumpServerInput(const platform::TcpConnectionPtr& connection) {
    auto s = SessionOf(*connection);
    if (!s || s->Quitting || s->Waiting || !connection->Connected()) return;
    HandleServerInput(connection, *s);
    // Input left over now is at most the start of a line whose end may
    // already wait in the socket: it must not keep the rest unread.
    if (s->Quitting || s->Waiting || connection->BytesAvailable() == 0) return;
    s->Waiting = true;
    std::weak_ptr<platform::TcpConnection> weak = connection;
    QTimer::singleShot(0, this, [this, weak] {
        auto c = weak.lock();
        auto ses = c ? SessionOf(*c) : nullptr;
        if (!ses) return;
        ses->Waiting = false;
        if (c->Connected()) SMTPServerClientRead(*c);
    });
}

void TFrmSMTP::HandleServerInput(const platform::TcpConnectionPtr& connection, SmtpSession& s) {
    std::weak_ptr<platform::TcpConnection> weak = connection;
    auto resumeLater = [this, weak, &s, &connection](bool afterFlush) {
        s.Waiting = true;
        auto resume = [this, weak] {
            auto c = weak.lock();
            auto ses = c ? SessionOf(*c) : nullptr;
            if (!ses) return;
            ses->Waiting = false;
            PumpServerInput(c);
        };
        if (afterFlush) connection->WhenFlushed(resume, 60000);
        else QTimer::singleShot(0, this, resume);
    };
    int handled = 0;
    while (!s.Quitting && s.InputPos < s.Input.size()) {
        if (connection->PendingOutput() > kMaxUnreadReplies) {
            resumeLater(true);
            return;
        }
        if (handled++ == kLinesPerTurn) {
            resumeLater(false);
            return;
        }
        if (s.State == TSmtpState::ReceivingData) {
            std::string data = s.Input.substr(s.InputPos), rest;
            s.Input.clear();
            s.InputPos = 0;
            if (!TakeData(s, data, rest)) return;
            s.Input = rest;
            const bool tooBig = s.DataTooBig;
            s.IdleTimer->setInterval(SmtpIdleTimeoutMs);
            // Commands pipelined behind the message wait for its reply.
            if (FinishMessage(connection, s)) return;
            Reply(*connection, tooBig ? kTooBig : kNotStored);
            continue;
        }
        size_t lf = s.Input.find('\n', s.InputPos);
        if (lf == std::string::npos) {
            s.Input.erase(0, s.InputPos);
            s.InputPos = 0;
            if (s.Input.size() > kMaxLine) {
                if (!s.DiscardingLine) Reply(*connection, kLineTooLong);
                s.DiscardingLine = true;
                s.Input.clear();
            }
            return;
        }
        std::string line = s.Input.substr(s.InputPos, lf + 1 - s.InputPos);
        s.InputPos = lf + 1;
        if (s.DiscardingLine) {
            s.DiscardingLine = false;
            continue;
        }
        if (line.size() > kMaxLine) {
            Reply(*connection, kLineTooLong);
            continue;
        }
        if (s.State == TSmtpState::Command) HandleCommand(connection, s, line);
        else HandleAuthAnswer(*connection, s, line);
    }
    if (s.InputPos >= s.Input.size()) {
        s.Input.clear();
        s.InputPos = 0;
    }
}

void TFrmSMTP::HandleAuthAnswer(platform::TcpConnection& connection, SmtpSession& s, const std::string& line) {
    const TSmtpState state = s.State;
    const std::string answer = smtp::TrimBlanks(smtp::Chomp(line));
    if (answer == "*") {
        ServerLog(">> *");
        s.State = TSmtpState::Command;
        Reply(connection, kAuthCancelled);
        return;
    }
    // The user name may be logged; secrets never are.
    ServerLog(state == TSmtpState::AwaitLoginUser ? ">> " + answer : std::string(">> (secret)"));
    std::string user, password;
    if (state == TSmtpState::AwaitLoginUser) {
        s.LoginName = auth::DecodeBase64(answer);
        s.State = TSmtpState::AwaitLoginPassword;
        Reply(connection, kAskPassword);
        return;
    }
    if (state == TSmtpState::AwaitLoginPassword) {
        user = s.LoginName;
        password = auth::DecodeBase64(answer);
    } else {
        auth::SplitPlainCredentials(auth::DecodeBase64(answer), user, password);
    }
    s.State = TSmtpState::Command;
    std::string canonical;
    // The name given is the session's user only once its password is right:
    // a failed attempt must not change who an earlier log-on made it.
    s.LoginName.clear();
    const std::string address = connection.RemoteAddress();
    if (logins::Refused("SMTP", address, user)) {
        Reply(connection, kLoginsBraked);
    } else if (FrmServers && FrmServers->CheckUserPassword(user, password, nullptr, &canonical)) {
        logins::Succeeded(address, user);
        s.Authenticated = true;
        s.User = canonical;
        Reply(connection, kUserAccepted);
    } else {
        logins::Failed("SMTP", address, user);
        Reply(connection, kUserRejected);
    }
}

bool TFrmSMTP::AcceptsRecipient(SmtpSession& s, const std::string& address, bool& internalOnly) {
    std::vector<std::string> users;
    const bool local = IsLocalAddress(address, users);
    if (!local && !IsSafeListAddress(address) && mailsettings::ReturnsExternalMail()) {
        // Internal mail only: an outside address is taken only from a local
        // sender, who gets the message back; anyone else would lose it.
        std::vector<std::string> senders;
        if (!IsLocalAddress(s.From, senders)) {
            internalOnly = true;
            return false;
        }
    }
    return !mailsettings::Current()->smtpServerAuth || s.Authenticated || s.LocalSender || local ||
           IsVendorAddress(address);
}

std::string TFrmSMTP::HandleRecipients(SmtpSession& s, const std::string& argument) {
    bool accepted = false, internalOnly = false, full = false;
    for (const auto& address : smtp::SplitRecipientList(argument)) {
        if (address.empty() || !AcceptsRecipient(s, address, internalOnly)) continue;
        if (static_cast<int>(s.Recipients.size()) >= kMaxRecipients) {
            full = true;
            break;
        }
        s.Recipients.push_back(address);
        accepted = true;
    }
    if (accepted) return kRecipientOk;
    if (full) return kTooManyRecipients;
    return internalOnly ? kInternalOnly : kNotAuthenticated;
}

void TFrmSMTP::HandleCommand(const platform::TcpConnectionPtr& connection, SmtpSession& s,
                             const std::string& line) {
    std::string buffer = line, command, argument;
    smtp::SplitSmtpLine(buffer, command, argument);
    if (command == "auth") {
        // The mechanism may be logged; an initial response is a secret.
        std::string mechanism = argument.substr(0, argument.find(' '));
        bool secret = argument.find_first_not_of(' ', mechanism.size()) != std::string::npos;
        ServerLog(">> " + smtp::Chomp(line).substr(0, line.find(' ')) + " " + mechanism + (secret ? " (secret)" : ""));
    } else {
        ServerLog(">> " + smtp::Chomp(line));
    }

    // The commands of the command state; every other state takes its lines
    // whole (log-on answers, DATA text) and never reaches this table.
    using Handler = void (*)(TFrmSMTP&, const platform::TcpConnectionPtr&, SmtpSession&, const std::string&);
    static constexpr std::pair<std::string_view, Handler> kCommands[] = {
        // A greeting starts the session afresh: a transaction begun before
        // it ends as with RSET.
        {"helo",
         [](TFrmSMTP& f, const platform::TcpConnectionPtr& c, SmtpSession& s, const std::string&) {
             s.MessageId.clear();
             s.EndTransaction();
             f.Reply(*c, kHelo);
         }},
        {"ehlo",
         [](TFrmSMTP& f, const platform::TcpConnectionPtr& c, SmtpSession& s, const std::string&) {
             s.MessageId.clear();
             s.EndTransaction();
             f.Reply(*c, kEhlo);
         }},
        {"mail from",
         [](TFrmSMTP& f, const platform::TcpConnectionPtr& c, SmtpSession& s, const std::string& argument) {
             if (s.InTransaction) {
                 f.Reply(*c, kNestedMail);
                 return;
             }
             s.InTransaction = true;
             s.From = argument;
             std::vector<std::string> users;
             // A local sender may relay: the office trusts its own addresses.
             s.LocalSender = f.IsLocalAddress(argument, users);
             f.Reply(*c, kSenderOk);
         }},
        {"auth", [](TFrmSMTP& f, const platform::TcpConnectionPtr& c, SmtpSession& s,
                    const std::string& argument) { f.StartAuth(*c, s, argument); }},
        {"rcpt to", [](TFrmSMTP& f, const platform::TcpConnectionPtr& c, SmtpSession& s,
                       const std::string& argument) {
             f.Reply(*c, s.InTransaction ? f.HandleRecipients(s, argument) : std::string(kBadSequence));
         }},
        {"data",
         [](TFrmSMTP& f, const platform::TcpConnectionPtr& c, SmtpSession& s, const std::string&) {
             if (!s.InTransaction) {
                 f.Reply(*c, kBadSequence);
                 return;
             }
             if (s.Recipients.empty()) {
                 f.Reply(*c, kNoRecipients);
                 return;
             }
             // As if a line had just ended: a message whose first line is "."
             // is empty, not endless.
             s.DataTail = "\r\n";
             s.DataFailed = false;
             s.DataBytes = 0;
             s.DataTooBig = false;
             s.State = TSmtpState::ReceivingData;
             s.IdleTimer->setInterval(f.SmtpDataTimeoutMs);
             s.IdleTimer->start();
             f.Reply(*c, kGoAhead);
         }},
        {"rset",
         [](TFrmSMTP& f, const platform::TcpConnectionPtr& c, SmtpSession& s, const std::string&) {
             s.MessageId.clear();
             s.EndTransaction();
             f.Reply(*c, kReset);
         }},
        {"noop", [](TFrmSMTP& f, const platform::TcpConnectionPtr& c, SmtpSession&,
                    const std::string&) { f.Reply(*c, kNoop); }},
        {"quit",
         [](TFrmSMTP& f, const platform::TcpConnectionPtr& c, SmtpSession& s, const std::string&) {
             f.Reply(*c, kBye);
             s.Quitting = true;
             s.Input.clear();
             s.InputPos = 0;
             c->Close();
         }},
    };
    for (const auto& [verb, handle] : kCommands) {
        if (verb == command) {
            handle(*this, connection, s, argument);
            return;
        }
    }
    procs::WriteLog(ProgramDir + "smtp.log", "Unknown SMTP server commands: " + command + ", " + argument);
    Reply(*connection, kNotImplemented);
}

void TFrmSMTP::StartAuth(platform::TcpConnection& connection, SmtpSession& s, const std::string& argument) {
    std::string rest;
    size_t blank = argument.find(' ');
    std::string mechanism = qev_util::LowerCase(argument.substr(0, blank));
    if (blank != std::string::npos) rest = smtp::TrimBlanks(argument.substr(blank + 1));
    if (mechanism == "login") {
        if (rest.empty()) {
            s.State = TSmtpState::AwaitLoginUser;
            Reply(connection, kAskUser);
        } else {
            s.LoginName = auth::DecodeBase64(rest);
            s.State = TSmtpState::AwaitLoginPassword;
            Reply(connection, kAskPassword);
        }
    } else if (mechanism == "plain") {
        s.State = TSmtpState::AwaitPlainCredentials;
        if (rest.empty()) Reply(connection, kAskPlain);
        else HandleAuthAnswer(connection, s, rest == "=" ? std::string() : rest);
    } else {
        Reply(connection, kUnknownMechanism);
    }
}

bool TFrmSMTP::TakeData(SmtpSession& s, const std::string& data, std::string& rest) {
    if (s.DataPath.empty() && !s.DataFailed) {
        // Most mail is small: it is held in memory and its file is made by
        // the committer with the rest, off the event loop. The id is
        // reserved now, so that the name is free when the file is made.
        std::string id = smtp::ReserveQueueId(MakeQueueId(data));
        if (!id.empty()) {
            s.DataPath = smtp::StoreFolder(smtp::FolderOut) + id + smtp::StateReceiving;
            s.HeldId = id;
            s.MessageId = id;
            if (!receiving_) receiving_ = std::make_shared<ReceivingList>();
            s.Receiving = std::make_shared<ReceivingMark>(receiving_, id);
        } else {
            ServerLog("Message file could not be created in " + smtp::StoreFolder(smtp::FolderOut));
            s.Discard();
            s.DataFailed = true;
        }
    }
    const std::string joined = s.DataTail + data;
    size_t marker = joined.find(smtp::EndMarker);
    size_t take = data.size();
    if (marker != std::string::npos) take = marker + 5 - s.DataTail.size();
    s.DataBytes += static_cast<std::int64_t>(take);
    // The limit is on the message text: the "." CR LF that ends it, and
    // what may be the start of it at the end of this piece, do not count.
    std::int64_t ending = 0;
    if (marker != std::string::npos) ending = 3;
    else if (joined.size() >= 4 && joined.compare(joined.size() - 4, 4, "\r\n.\r") == 0) ending = 2;
    else if (joined.size() >= 3 && joined.compare(joined.size() - 3, 3, "\r\n.") == 0) ending = 1;
    if (s.DataBytes - ending > MaxMessageBytes && !s.DataTooBig) {
        // The rest is read up to the end marker and dropped; then "552".
        ServerLog("Message " + s.MessageId + " is over " + std::to_string(MaxMessageBytes) +
                  " bytes; refused");
        s.DataTooBig = true;
        s.Discard();
        s.DataFailed = true;
    }
    if (!s.HeldId.empty()) {
        s.DataText.append(data, 0, take);
        // Too large to hold: from here on it goes to its file as it comes.
        if (s.DataText.size() > HeldMessageBytes) SpillHeldData(s);
    } else if (s.DataFile) {
        const platform::FsStatus written = s.DataFile->Append(std::string_view(data.data(), take));
        if (!written.ok()) {
            ServerLog("Message file " + s.DataPath + " could not be written: " + written.Text());
            s.Discard();
            s.DataFailed = true;
        }
    }
    if (marker == std::string::npos) {
        s.DataTail = joined.substr(joined.size() > 4 ? joined.size() - 4 : 0);
        return false;
    }
    rest = data.substr(take);
    if (s.DataFile) {
        // Synced with the rest of the message's files, off the event loop.
        const bool ok = s.DataFile->Close().ok();
        s.DataFile.reset();
        if (!ok) {
            ServerLog("Message file " + s.DataPath + " could not be written");
            s.Discard();
            s.DataFailed = true;
        }
    }
    return true;
}

bool TFrmSMTP::SpillHeldData(SmtpSession& s) {
    if (s.HeldId.empty()) return true;
    const platform::FsStatus made =
        platform::Env::Current()->NewWritableFile(s.DataPath, platform::CreateMode::Exclusive, s.DataFile);
    platform::FsStatus written = made;
    if (made.ok()) {
        // The file holds the name now.
        smtp::ReleaseQueueId(s.HeldId);
        s.HeldId.clear();
        written = s.DataFile->Append(s.DataText);
        s.DataText.clear();
        s.DataText.shrink_to_fit();
    } else {
        s.DataFile.reset();
    }
    if (written.ok()) return true;
    ServerLog("Message file " + s.DataPath + " could not be written: " + written.Text());
    s.Discard();
    s.DataFailed = true;
    return false;
}

void TFrmSMTP::AbandonData(SmtpSession& s) {
    s.Discard();
    s.MessageId.clear();
}

commit::Committer& TFrmSMTP::Commits() {
    if (!committer_) {
        // The threads mostly wait on the disk, which takes several syncs
        // at once far faster than one after another.
        const unsigned cores = std::max(2u, std::thread::hardware_concurrency());
        committer_ = std::make_unique<commit::Committer>(nullptr,
                                                         static_cast<int>(std::min(4 * cores, 32u)));
    }
    return *committer_;
}

bool TFrmSMTP::FinishMessage(const platform::TcpConnectionPtr& connection, SmtpSession& s) {
    s.State = TSmtpState::Command;
    const std::string id = s.MessageId;
    const std::string file = s.DataPath;
    auto reset = [&] {
        s.EndTransaction();
        s.MessageId.clear();
        s.DataPath.clear();
    };
    if (s.DataFailed || file.empty()) {
        AbandonData(s);
        reset();
        return false;
    }
    const std::vector<std::string> recipients = s.Recipients;
    const std::string from = s.From;
    s.Received.emplace_back(id, from);
    const auto& hooks = smtp::deliveryHooks;

    // What the text gets is decided here, from this moment's settings; the
    // committer puts it in, off the event loop.
    const auto mail = mailsettings::Current();
    if (hooks.notifyOutgoingRisk && mail->virusCheckOut) {
        // The check reads the message from its file.
        if (!SpillHeldData(s) || (s.DataFile && !s.DataFile->Close().ok())) {
            s.DataFile.reset();
            AbandonData(s);
            reset();
            return false;
        }
        s.DataFile.reset();
        hooks.notifyOutgoingRisk(file, from, recipients.empty() ? std::string() : recipients[0]);
    }
    commit::MessageFiles message;
    message.data = file;
    // A message held in memory goes to its file with the rest; its id stays
    // reserved until then.
    const std::string heldId = s.HeldId;
    if (!heldId.empty()) {
        message.heldText = std::move(s.DataText);
        s.DataText.clear();
        s.HeldId.clear();
    }
    message.messageId = NewMessageIdLine();
    message.footer.lines = mail->footerLines;
    message.footerForAll = mail->footerAll;
    // A footer that cannot be read must not be replaced by another.
    bool failed = !ReadHtmlFooter(message.footer.htmlLines);
    if (failed) ServerLog("Message " + id + ": footer.html could not be read");

    // Local copies are planned here and made by the committer, all of them
    // on disk, before the filters run on each.
    struct Copy {
        std::string address, user, path;
        bool filtered = true;  // the copy of all outgoing mail gets no filters
    };
    std::vector<Copy> copies;
    platform::Env& env = *platform::Env::Current();
    std::set<std::string> reached;
    auto copyTo = [&](const std::string& address, const std::string& user, bool filtered = true) {
        if (!reached.insert(qev_util::LowerCase(user)).second) return;  // two addresses of one user: one copy
        if (!settings::IsSafeUserName(user)) {
            ServerLog("Message " + id + " not delivered to the unusable user name " + user);
            return;
        }
        copies.push_back({address, user, smtp::StoreFolder(smtp::FolderIn) + smtp::MailboxFileName(user, id), filtered});
    };
    int external = 0;
    std::vector<std::pair<std::string, std::string>> record;
    // The safe-list import reads the text as the local copies have it, so
    // it waits for the committer; the addresses added to the safe list
    // after it wait with it, to keep their order. Empty: an import.
    std::vector<std::string> safeListAdds;
    for (size_t k = 0; k < recipients.size(); ++k) {
        const std::string& address = recipients[k];
        if (IsSafeListAddress(address)) {
            if (hooks.importAddressesFromMessage) safeListAdds.emplace_back();
            continue;
        }
        std::vector<std::string> users;
        if (!IsLocalAddress(address, users)) {
            ++external;
            record.emplace_back("To" + std::to_string(external), address);
            if (hooks.addSpamAddress) {
                if (safeListAdds.empty()) hooks.addSpamAddress(address);
                else safeListAdds.push_back(address);
            }
            continue;
        }
        for (const auto& u : users) copyTo(address, u);
    }
    // With the footer for outgoing mail only, the copies made so far take
    // the text before it.
    for (const auto& c : copies) (message.footerForAll ? message.copies : message.copiesBeforeFooter).push_back(c.path);
    if (!safeListAdds.empty()) message.keptText = file + ".tmp0";
    // After the import (when the text was kept) or without it.
    auto addToSafeList = [safeListAdds](const std::string& kept) {
        for (const auto& a : safeListAdds) {
            const auto& hooks = smtp::deliveryHooks;
            if (a.empty() && !kept.empty() && hooks.importAddressesFromMessage) hooks.importAddressesFromMessage(kept);
            if (!a.empty() && hooks.addSpamAddress) hooks.addSpamAddress(a);
        }
    };

    if (external > 0 && mailsettings::ReturnsExternalMail()) {
        // A mail that cannot be given back is refused, never dropped.
        std::vector<std::string> senders;
        if (!IsLocalAddress(from, senders) || senders.empty()) {
            procs::WriteLog(ProgramDir + "smtp.log", "Returned mail " + id + ": sender " + from + " is not local");
            failed = true;
        } else {
            message.returnedStem = smtp::StoreFolder(smtp::FolderIn) + senders.front() + "_" + id;
            message.returnedSuffix = smtp::MailboxSuffix;
            // The recipients as a queue record would give them back.
            for (const auto& r : record)
                message.returnedFor.push_back(
                    platform::inisyntax::Unquote(platform::inisyntax::Trim(platform::IniSafe(r.second))));
        }
        external = 0;
    }
    if (!failed && external > 0 && mail->copyOut) {
        const std::string c = mail->copyOutTo;
        if (!c.empty()) {
            const size_t before = copies.size();
            copyTo(std::string(), c, false);
            if (copies.size() > before) message.copies.push_back(copies.back().path);
        }
    }
    if (!failed && external > 0) {
        record.insert(record.begin(), {"rcpt", std::to_string(external)});
        record.emplace_back("From", from);
        record.emplace_back("User", s.User);
        message.ports = smtp::SharedPorts();
        message.portsVersion = message.ports->StageSection(id, record);
        message.queued = smtp::StoreFolder(smtp::FolderOut) + id + smtp::StateQueued;
        platform::LocalTime midnight = platform::NowLocal();
        midnight.hour = midnight.minute = midnight.second = midnight.millisecond = 0;
        message.queuedDate = platform::FromLocal(midnight);
    }
    // The committer owns the file now: a session that ends meanwhile must
    // not remove it. It stays on the receiving list until it is stored.
    std::shared_ptr<ReceivingMark> receiving = std::move(s.Receiving);
    s.DataPath.clear();
    reset();
    if (failed) {
        ServerLog("Message " + id + " not kept");
        if (heldId.empty()) env.Unlink(file);
        else smtp::ReleaseQueueId(heldId);
        addToSafeList(std::string());
        return false;
    }

    auto session = SessionOf(*connection);
    std::weak_ptr<platform::TcpConnection> weak = connection;
    // The names the copies got: a taken name makes a copy take the next.
    auto named = std::make_shared<std::vector<std::string>>();
    auto done = [this, weak, session, id, from, file, heldId, queued = message.queued, planned = std::move(copies), mail,
                 kept = message.keptText, addToSafeList, envp = &env, named,
                 receiving = std::move(receiving)](platform::FsStatus status) {
        auto copies = planned;
        if (named->size() == copies.size())
            for (size_t i = 0; i < copies.size(); ++i) copies[i].path = (*named)[i];
        const bool ok = status.ok();
        // The name stands or is gone: the id needs holding no longer.
        if (!heldId.empty()) smtp::ReleaseQueueId(heldId);
        // A message not kept is not imported: its sender sends it again.
        addToSafeList(ok ? kept : std::string());
        if (!kept.empty()) envp->Unlink(kept);
        if (!ok) {
            // The committer took its copies back: a planned name may be
            // another message's.
            ServerLog("Message " + id + " not kept: " + status.Text());
            smtp::WritePortsValue(id, std::nullopt);
            if (!queued.empty()) envp->Unlink(queued);
            // A held message whose name was taken after all: not ours.
            if (heldId.empty() || status.error != EEXIST) envp->Unlink(file);
        } else {
            if (queued.empty()) smtp::WritePortsValue(id, std::nullopt);
            const auto& hooks = smtp::deliveryHooks;
            for (const auto& c : copies) {
                if (!c.filtered) continue;
                if (hooks.applyRules) hooks.applyRules(c.path, c.user, 0, false);
                // A rule may have moved or deleted the copy.
                if (!platform::FileExists(c.path)) continue;
                if (mail->virusCheckIn && hooks.checkIncomingAttachments)
                    hooks.checkIncomingAttachments(c.path, c.user);
                if (!c.address.empty() && hooks.autoRespond) hooks.autoRespond(c.address, c.user, c.path, from);
                if (hooks.forwardMessage) hooks.forwardMessage(c.user, c.path, from);
                if (FrmServers) FrmServers->QueueNewMailAlert(c.user);
            }
            ServerLog("<< 250 OK Message received");
        }
        auto c = weak.lock();
        if (c && c->Connected() && !session->Ended) Reply(*c, ok ? kStored : kNotStored);
        session->Waiting = false;
        if (session->Ended) {
            // The session ended while its last message was being stored:
            // what its end does for each message is done for this one now.
            if (ok) SessionEnded(*session, id, from);
            if (FrmServers) FrmServers->RefreshMailCounts(true, true);
            return;
        }
        if (c) PumpServerInput(c);
    };
    s.Waiting = true;
    Commits().Submit([message = std::move(message), named](commit::Committer& committer) {
        return commit::StoreMessage(committer, message, named.get());
    }, std::move(done));
    return true;
}

void TFrmSMTP::SMTPServerClientDisconnect(platform::TcpConnection& connection) {
    auto s = SessionOf(connection);
    if (!s || s->Ended) return;
    s->Ended = true;
    if (s->DataFile || !s->DataPath.empty()) {
        ServerLog("Connection closed while receiving " + s->MessageId + "; the part received is dropped");
        AbandonData(*s);
    }
    for (const auto& [id, from] : s->Received) SessionEnded(*s, id, from);
    connection.UserData().reset();
    if (FrmServers) FrmServers->RefreshMailCounts(true, true);
}

void TFrmSMTP::SessionEnded(SmtpSession& s, const std::string& id, const std::string& from) {
    const std::string file = smtp::StoreFolder(smtp::FolderOut) + id + smtp::StateQueued;
    if (!platform::FileExists(file) || !smtp::deliveryHooks.applyRules) return;
    std::string user = s.User;
    if (user.empty()) {
        // The message's own sender: each transaction names its own.
        std::vector<std::string> users;
        if (IsLocalAddress(from, users) && !users.empty()) user = users.front();
    }
    smtp::deliveryHooks.applyRules(file, user, 99, true);
}

void TFrmSMTP::SMTPServerClientError(platform::TcpConnection&, int code) {
    ServerLog("Socket error number " + std::to_string(code) + ": " + platform::SocketErrorText(code));
}
