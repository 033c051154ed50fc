// SMTP server for local users. Each connection carries its own session in
// memory: the unhandled input, the SMTP state with its envelope, and the
// message file being received. A message is received into out/<id>.txo,
// delivered to its local recipients and recorded for its external ones
// while it still has that name; only then does it become out/<id>.txt, and
// only once every file that holds it is on disk does the client hear "250".
#include "transport/smtp.h"

#include "codecs/auth.h"
#include "filters/spam.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/setup_hooks.h"
#include "transport/account_tables.h"
#include "transport/committer.h"
#include "transport/globals.h"
#include "transport/logfile.h"
#include "transport/mail_settings.h"
#include "transport/message_keeper.h"
#include "transport/ports_file.h"
#include "transport/servers.h"

#include <QTimer>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
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
constexpr char kAuthCancelled[] = "501 Authentication cancelled\r\n";
constexpr char kUnknownMechanism[] = "504 Unrecognized authentication type\r\n";
constexpr char kRecipientOk[] = "250 Recipient OK\r\n";
constexpr char kNotAuthenticated[] = "501 Not Authenticated\r\n";
constexpr char kInternalOnly[] = "550 Internal mail only\r\n";
constexpr char kTooManyRecipients[] = "452 Too many recipients\r\n";
constexpr char kGoAhead[] = "354 Off you go then\r\n";
constexpr char kNoRecipients[] = "554 No valid recipients\r\n";
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

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool IsSafeListAddress(const std::string& address) { return spam::IsImportAddress(smtp::TrimBlanks(address)); }

// The maker's own domain (that of the support address): crash reports and
// support mails go there, so it is reached even without logging on.
bool IsVendorAddress(const std::string& address) {
    static const std::string vendor = Lower(std::string(setup::kSupportAddress).substr(
        std::string(setup::kSupportAddress).find('@') + 1));
    std::string a = Lower(smtp::StripAngleBrackets(smtp::TrimBlanks(address)));
    size_t at = a.rfind('@');
    return at != std::string::npos && a.substr(at + 1) == vendor;
}

int WaitCode() { return mailsettings::Current()->waitCode; }

// Where each line of a stored message stands in its MIME structure.
struct LineInfo {
    bool body = false;      // a body line of the message or of a part
    bool plainText = false; // in a text part whose encoding keeps lines as they are
    std::string type;       // content type of that part, lower case
};

// The classification of one line after another: what it keeps is the
// header being read and the boundaries seen.
class LineClassifier {
public:
    LineInfo Next(const std::string& line) {
        LineInfo info;
        if (inHeader_) {
            if (line.empty()) {
                inHeader_ = false;
                FinishHeader();
            } else if ((line[0] == ' ' || line[0] == '\t') && !header_.empty()) {
                header_.back() += line;
            } else {
                header_.push_back(line);
            }
            return info;
        }
        if (line.size() > 2 && line[0] == '-' && line[1] == '-') {
            std::string b = line.substr(2);
            if (b.size() > 2 && b.compare(b.size() - 2, 2, "--") == 0 && boundaries_.count(b.substr(0, b.size() - 2))) {
                container_ = true;
                return info;
            }
            if (boundaries_.count(b)) {
                inHeader_ = true;
                header_.clear();
                return info;
            }
        }
        info.body = true;
        info.type = container_ ? std::string() : type_;
        info.plainText = !container_ && type_.rfind("text/", 0) == 0 &&
                         (encoding_.empty() || encoding_ == "7bit" || encoding_ == "8bit");
        return info;
    }

private:
    void FinishHeader() {
        type_ = "text/plain";
        encoding_.clear();
        for (const auto& h : header_) {
            std::string lower = Lower(h);
            if (lower.rfind("content-type:", 0) == 0) {
                std::string value = smtp::TrimBlanks(h.substr(13));
                type_ = Lower(smtp::TrimBlanks(value.substr(0, value.find(';'))));
                size_t bv = Lower(value).find("boundary=");
                if (bv != std::string::npos) {
                    std::string v = value.substr(bv + 9);
                    if (!v.empty() && v[0] == '"') {
                        size_t q = v.find('"', 1);
                        v = v.substr(1, q == std::string::npos ? std::string::npos : q - 1);
                    } else {
                        v = smtp::TrimBlanks(v.substr(0, v.find(';')));
                    }
                    if (!v.empty()) boundaries_.insert(v);
                }
            } else if (lower.rfind("content-transfer-encoding:", 0) == 0) {
                encoding_ = Lower(smtp::TrimBlanks(h.substr(26)));
            }
        }
        container_ = type_.rfind("multipart/", 0) == 0;
        header_.clear();
    }

    std::set<std::string> boundaries_;
    bool inHeader_ = true;
    bool container_ = false;  // body of a multipart: preamble or epilogue
    std::string type_, encoding_;
    std::vector<std::string> header_;
};

// Where a footer goes into a message, found line by line (lines split at CR
// LF): the text to put in and its byte offset. An HTML footer goes before
// the first "</BODY>" of a text part, a text footer before the first end
// marker or "begin" line, when that line is in a text part. Lines are
// given by their first bytes (all of them for any line a sender writes),
// where "</BODY>" first stands in them, and whether CR LF ends them.
class FooterPlanner {
public:
    FooterPlanner(const std::vector<std::string>& footerLines, const std::vector<std::string>& htmlFooterLines,
                  bool html)
        : footer_(footerLines), html_(htmlFooterLines), htmlWanted_(html) {}

    // False once nothing later can change the result.
    bool Line(const std::string& head, std::int64_t offset, std::int64_t bodyEndAt, bool endsWithCrLf) {
        const LineInfo info = classifier_.Next(head);
        if (!info.body) return true;
        if (htmlWanted_ && bodyEndAt >= 0) {
            anyBodyEnd_ = true;
            if (info.plainText) {
                htmlOffset_ = offset + bodyEndAt;
                return false;
            }
        }
        if (!textDecided_ && ((head == "." && endsWithCrLf) || head.rfind("begin", 0) == 0)) {
            // The first such line decides; a footer that would land inside
            // an encoded part, or outside every part, is not written at all.
            textDecided_ = true;
            if (info.plainText) textOffset_ = offset;
            if (!htmlWanted_) return false;
        }
        return true;
    }

    // The text to put in at offset; false when the message stays as it is.
    bool Result(std::int64_t& offset, std::string& text) const {
        if (htmlWanted_ && htmlOffset_ >= 0) {
            offset = htmlOffset_;
            text = "<DIV>\r\n";
            if (!html_.empty()) {
                for (const auto& f : html_) text += smtp::DotStuff(f) + "\r\n";
            } else {
                for (const auto& f : footer_) text += "<BR>" + f + "\r\n";
            }
            text += "</DIV>";
            return true;
        }
        if (anyBodyEnd_ || textOffset_ < 0 || footer_.empty()) return false;
        offset = textOffset_;
        text.clear();
        for (const auto& f : footer_) text += smtp::DotStuff(f) + "\r\n";
        return true;
    }

private:
    const std::vector<std::string> footer_;
    const std::vector<std::string> html_;
    bool htmlWanted_;
    LineClassifier classifier_;
    bool anyBodyEnd_ = false;
    bool textDecided_ = false;
    std::int64_t htmlOffset_ = -1, textOffset_ = -1;
};

// Where "</BODY>" first stands in a line, ignoring case; -1 when nowhere.
std::int64_t BodyEndIn(const std::string& line) {
    const size_t at = Upper(line).find("</BODY>");
    return at == std::string::npos ? -1 : static_cast<std::int64_t>(at);
}

std::string WithFooter(const std::string& message, FooterPlanner& planner) {
    std::int64_t offset = 0;
    for (size_t start = 0;;) {
        const size_t crlf = message.find("\r\n", start);
        const std::string line = message.substr(start, crlf == std::string::npos ? std::string::npos : crlf - start);
        if (!planner.Line(line, offset, BodyEndIn(line), crlf != std::string::npos) || crlf == std::string::npos)
            break;
        start = crlf + 2;
        offset = static_cast<std::int64_t>(start);
    }
    std::string text;
    if (!planner.Result(offset, text)) return message;
    std::string out = message;
    out.insert(static_cast<size_t>(offset), text);
    return out;
}

// The lines of a message file for a FooterPlanner, read in pieces: a line
// longer than kMaxHeldLine is given by its first kMaxHeldLine bytes.
bool PlanFooterInFile(const std::string& file, FooterPlanner& planner) {
    constexpr size_t kMaxHeldLine = 1 << 20;
    static const std::string kBodyEnd = "</BODY>";
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::vector<char> buffer(1 << 16);
    std::string head;            // the line's first bytes
    std::string tail;            // its last bytes, upper case, for a "</BODY>" across pieces
    std::int64_t lineStart = 0, pos = 0, lineLength = 0, bodyEndAt = -1;
    bool cr = false, ok = true, more = true;
    auto endLine = [&](bool crlf) {
        // One wholly within the held bytes comes before any found later.
        const std::int64_t inHead = BodyEndIn(head);
        if (inHead >= 0) bodyEndAt = inHead;
        more = planner.Line(head, lineStart, bodyEndAt, crlf);
        head.clear();
        tail.clear();
        lineLength = 0;
        bodyEndAt = -1;
    };
    auto take = [&](char c) {
        if (head.size() < kMaxHeldLine) {
            head += c;
        } else if (bodyEndAt < 0) {
            // Past the held bytes "</BODY>" is looked for as they go by.
            if (tail.empty()) tail = Upper(head.substr(head.size() - (kBodyEnd.size() - 1)));
            tail += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            if (tail.size() > kBodyEnd.size()) tail.erase(0, 1);
            if (tail == kBodyEnd) bodyEndAt = lineLength + 1 - static_cast<std::int64_t>(kBodyEnd.size());
        }
        ++lineLength;
    };
    while (more) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n && more; ++i) {
            const char c = buffer[static_cast<size_t>(i)];
            ++pos;
            if (cr && c == '\n') {
                endLine(true);
                lineStart = pos;
                cr = false;
                continue;
            }
            if (cr) take('\r');
            cr = c == '\r';
            if (!cr) take(c);
        }
    }
    ::close(fd);
    if (!ok) return false;
    if (more) {
        if (cr) take('\r');
        endLine(false);
    }
    return true;
}

std::vector<std::string> MemoFooterLines() { return mailsettings::Current()->footerLines; }

std::vector<std::string> FileLines(const std::string& path);

// Whether InsertHtmlFooter changes a message at all.
bool FooterApplies() {
    if (!MemoFooterLines().empty()) return true;
    return platform::FileExists(ProgramDir + "footer.html") && !FileLines(ProgramDir + "footer.html").empty();
}

std::vector<std::string> FileLines(const std::string& path) {
    std::vector<std::string> lines;
    std::string text;
    if (!platform::ReadFile(path, text)) return lines;
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

}  // namespace

// --- the dialect's routines --------------------------------------------------

namespace smtp {

void SplitSmtpLine(std::string& buffer, std::string& command, std::string& argument) {
    size_t lf = buffer.find('\n');
    std::string line = buffer.substr(0, lf);
    buffer.erase(0, lf == std::string::npos ? std::string::npos : lf + 1);
    std::erase(line, '\r');
    size_t blank = line.find(' ');
    command = Lower(line.substr(0, blank));
    std::string rest = blank == std::string::npos ? std::string() : line.substr(blank + 1);
    size_t start = rest.find_first_not_of(' ');
    rest = start == std::string::npos ? std::string() : rest.substr(start);

    std::string lowerRest = Lower(rest);
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
    address = Lower(smtp::TrimBlanks(address));
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
    if (footerLines.empty()) return message;
    FooterPlanner planner(footerLines, {}, false);
    return WithFooter(message, planner);
}

std::string WithHtmlFooter(const std::string& message, const std::vector<std::string>& footerLines,
                           const std::vector<std::string>& htmlFooterLines) {
    if (footerLines.empty() && htmlFooterLines.empty()) return message;
    FooterPlanner planner(footerLines, htmlFooterLines, true);
    return WithFooter(message, planner);
}

}  // namespace smtp

bool TFrmSMTP::InsertHtmlFooter(const std::string& file) {
    std::vector<std::string> html;
    if (platform::FileExists(ProgramDir + "footer.html")) html = FileLines(ProgramDir + "footer.html");
    const std::vector<std::string> footer = MemoFooterLines();
    // Without a footer the message is not even read: it may be very large.
    if (footer.empty() && html.empty()) return platform::FileExists(file);
    // The message is only read to find the place; the footer goes in as
    // the file is streamed through a temp file.
    FooterPlanner planner(footer, html, true);
    if (!PlanFooterInFile(file, planner)) return false;
    std::int64_t offset = 0;
    std::string text;
    return !planner.Result(offset, text) || smtp::InsertIntoFile(file, offset, text);
}

bool TFrmSMTP::InsertTextFooter(const std::string& file) {
    const std::vector<std::string> footer = MemoFooterLines();
    if (footer.empty()) return platform::FileExists(file);
    FooterPlanner planner(footer, {}, false);
    if (!PlanFooterInFile(file, planner)) return false;
    std::int64_t offset = 0;
    std::string text;
    return !planner.Result(offset, text) || smtp::InsertIntoFile(file, offset, text);
}

// --- sessions -----------------------------------------------------------------

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
    bool Authenticated = false;       // may relay: logged on, or a local sender
    std::string User;                 // logged on as, the users table's spelling
    std::string LoginName;            // an AUTH LOGIN name not yet checked
    std::string From;                 // MAIL FROM of the current message
    std::vector<std::string> Recipients;  // accepted RCPT TO of the current message
    std::string MessageId;            // queue id of the message being received
    std::vector<std::string> Received;    // queue ids of the messages taken so far
    std::string Input;                // received; handled up to InputPos
    size_t InputPos = 0;
    bool Waiting = false;             // handling goes on in a later turn of the loop
    bool DiscardingLine = false;      // an over-long line is dropped up to its LF
    std::string DataTail;             // the last bytes of the DATA text
    std::unique_ptr<platform::WritableFile> DataFile;
    std::string DataPath;             // out/<id>.txo while receiving
    bool DataFailed = false;
    std::int64_t DataBytes = 0;       // DATA text received so far
    bool DataTooBig = false;
    std::unique_ptr<QTimer> IdleTimer;
    bool Quitting = false;
    bool Ended = false;

    ~SmtpSession() { Discard(); }
    // Drops a message that is still arriving: nothing of it stays behind.
    void Discard() {
        if (DataFile) DataFile->Close();
        DataFile.reset();
        if (!DataPath.empty()) platform::Env::Current()->Unlink(DataPath);
        DataPath.clear();
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
    session->Input += connection.ReceiveText(kReadBite);
    session->IdleTimer->setInterval(session->State == TSmtpState::ReceivingData ? SmtpDataTimeoutMs
                                                                                : SmtpIdleTimeoutMs);
    session->IdleTimer->start();
    PumpServerInput(connection.shared_from_this());
}

// Handles what has been read, then reads on while the socket holds more;
// every wait (the client's unread replies, the end of a turn) continues
// here from the event loop.
void TFrmSMTP::PumpServerInput(const platform::TcpConnectionPtr& connection) {
    auto s = SessionOf(*connection);
    if (!s || s->Quitting || s->Waiting || !connection->Connected()) return;
    HandleServerInput(connection, *s);
    if (s->Quitting || s->Waiting || s->InputPos < s->Input.size() || connection->BytesAvailable() == 0) return;
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
    if (FrmServers && FrmServers->CheckUserPassword(user, password, nullptr, &canonical)) {
        s.Authenticated = true;
        s.User = canonical;
        Reply(connection, kUserAccepted);
    } else {
        Reply(connection, kUserRejected);
    }
}

bool TFrmSMTP::AcceptsRecipient(SmtpSession& s, const std::string& address, bool& internalOnly) {
    std::vector<std::string> users;
    const bool local = IsLocalAddress(address, users);
    if (!local && !IsSafeListAddress(address) && WaitCode() == 3) {
        // Internal mail only: an outside address is taken only from a local
        // sender, who gets the message back; anyone else would lose it.
        std::vector<std::string> senders;
        if (!IsLocalAddress(s.From, senders)) {
            internalOnly = true;
            return false;
        }
    }
    return !mailsettings::Current()->smtpServerAuth || s.Authenticated || local || IsVendorAddress(address);
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
        {"helo", [](TFrmSMTP& f, const platform::TcpConnectionPtr& c, SmtpSession&,
                    const std::string&) { f.Reply(*c, kHelo); }},
        {"ehlo", [](TFrmSMTP& f, const platform::TcpConnectionPtr& c, SmtpSession&,
                    const std::string&) { f.Reply(*c, kEhlo); }},
        {"mail from",
         [](TFrmSMTP& f, const platform::TcpConnectionPtr& c, SmtpSession& s, const std::string& argument) {
             s.From = argument;
             std::vector<std::string> users;
             // A local sender may relay: the office trusts its own addresses.
             if (f.IsLocalAddress(argument, users)) s.Authenticated = true;
             f.Reply(*c, kSenderOk);
         }},
        {"auth", [](TFrmSMTP& f, const platform::TcpConnectionPtr& c, SmtpSession& s,
                    const std::string& argument) { f.StartAuth(*c, s, argument); }},
        {"rcpt to", [](TFrmSMTP& f, const platform::TcpConnectionPtr& c, SmtpSession& s,
                       const std::string& argument) { f.Reply(*c, f.HandleRecipients(s, argument)); }},
        {"data",
         [](TFrmSMTP& f, const platform::TcpConnectionPtr& c, SmtpSession& s, const std::string&) {
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
             s.Recipients.clear();
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
    std::string mechanism = Lower(argument.substr(0, blank));
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
    if (!s.DataFile && !s.DataFailed) {
        std::string id = smtp::CreateQueueFile(MakeQueueId(data), smtp::StateReceiving);
        if (!id.empty()) {
            s.DataPath = smtp::StoreFolder(smtp::FolderOut) + id + smtp::StateReceiving;
            if (!platform::Env::Current()->NewWritableFile(s.DataPath, platform::CreateMode::Append, s.DataFile).ok())
                s.DataFile.reset();
            s.MessageId = id;
        }
        if (!s.DataFile) {
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
    if (s.DataBytes > MaxMessageBytes && !s.DataTooBig) {
        // The rest is read up to the end marker and dropped; then "552".
        ServerLog("Message " + s.MessageId + " is over " + std::to_string(MaxMessageBytes) +
                  " bytes; refused");
        s.DataTooBig = true;
        s.Discard();
        s.DataFailed = true;
    }
    if (s.DataFile) {
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
        s.Recipients.clear();
        s.MessageId.clear();
        s.DataPath.clear();
    };
    if (s.DataFailed || file.empty()) {
        AbandonData(s);
        reset();
        return false;
    }
    const std::vector<std::string> recipients = s.Recipients;
    s.Received.push_back(id);
    const std::string from = s.From;
    const auto& hooks = smtp::deliveryHooks;

    if (hooks.notifyOutgoingRisk) hooks.notifyOutgoingRisk(file, from, recipients.empty() ? std::string() : recipients[0]);
    const auto mail = mailsettings::Current();
    const bool footerForAll = mail->footerAll;
    if (footerForAll) InsertHtmlFooter(file);
    AddMessageId(file);

    // Local copies are planned here and made by the committer, all of them
    // on disk, before the filters run on each.
    struct Copy {
        std::string address, user, path;
        bool filtered = true;  // the copy of all outgoing mail gets no filters
    };
    std::vector<Copy> copies;
    platform::Env& env = *platform::Env::Current();
    smtp::MessageKeeper keeper(env, id, file);
    std::set<std::string> reached;
    bool failed = false;
    auto copyTo = [&](const std::string& address, const std::string& user, bool filtered = true) {
        if (!reached.insert(Lower(user)).second) return;  // two addresses of one user: one copy
        if (!settings::IsSafeUserName(user)) {
            ServerLog("Message " + id + " not delivered to the unusable user name " + user);
            return;
        }
        copies.push_back({address, user, smtp::StoreFolder(smtp::FolderIn) + smtp::MailboxFileName(user, id), filtered});
    };
    int external = 0;
    std::vector<std::pair<std::string, std::string>> record;
    for (size_t k = 0; k < recipients.size(); ++k) {
        const std::string& address = recipients[k];
        if (IsSafeListAddress(address)) {
            if (hooks.importAddressesFromMessage) hooks.importAddressesFromMessage(file);
            continue;
        }
        std::vector<std::string> users;
        if (!IsLocalAddress(address, users)) {
            ++external;
            record.emplace_back("To" + std::to_string(external), address);
            if (hooks.addSpamAddress) hooks.addSpamAddress(address);
            continue;
        }
        for (const auto& u : users) copyTo(address, u);
    }
    // The copies made so far must not get the footer the queued message
    // gets: they are made now, the slow way, when there is one.
    std::vector<std::string> made;
    if (!footerForAll) {
        if (!copies.empty() && FooterApplies()) {
            for (const auto& c : copies) {
                if (!keeper.Copy(c.path)) {
                    ServerLog("Message " + id + " could not be stored for " + c.user);
                    failed = true;
                    break;
                }
                made.push_back(c.path);
            }
        }
        if (!failed) InsertHtmlFooter(file);
    }

    if (!failed && external > 0 && WaitCode() == 3) {
        // A mail that cannot be given back is refused, never dropped.
        failed = !keeper.Record(record) || !ReturnExternalMail(file, external, from);
        external = 0;
    }
    if (!failed && external > 0 && mail->copyOut) {
        const std::string c = mail->copyOutTo;
        if (!c.empty()) copyTo(std::string(), c, false);
    }
    commit::MessageFiles message;
    message.data = file;
    for (const auto& c : copies)
        if (std::find(made.begin(), made.end(), c.path) == made.end()) message.copies.push_back(c.path);
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
    // not remove it.
    s.DataPath.clear();
    reset();
    if (failed) {
        ServerLog("Message " + id + " not kept");
        keeper.Undo();
        env.Unlink(file);
        return false;
    }

    auto session = SessionOf(*connection);
    std::weak_ptr<platform::TcpConnection> weak = connection;
    auto done = [this, weak, session, id, file, queued = message.queued, copies = std::move(copies), mail,
                 envp = &env](platform::FsStatus status) {
        const bool ok = status.ok();
        if (!ok) {
            ServerLog("Message " + id + " not kept: " + status.Text());
            for (const auto& c : copies) envp->Unlink(c.path);
            smtp::WritePortsValue(id, std::nullopt);
            if (!queued.empty()) envp->Unlink(queued);
            envp->Unlink(file);
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
                if (!c.address.empty() && hooks.autoRespond) hooks.autoRespond(c.address, c.user, c.path);
                if (hooks.forwardMessage) hooks.forwardMessage(c.user, c.path);
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
            if (ok) SessionEnded(*session, id);
            if (FrmServers) FrmServers->RefreshMailCounts(true, true);
            return;
        }
        if (c) PumpServerInput(c);
    };
    s.Waiting = true;
    Commits().Submit([message = std::move(message)](commit::Committer& committer) {
        return commit::StoreMessage(committer, message);
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
    for (const auto& id : s->Received) SessionEnded(*s, id);
    connection.UserData().reset();
    if (FrmServers) FrmServers->RefreshMailCounts(true, true);
}

void TFrmSMTP::SessionEnded(SmtpSession& s, const std::string& id) {
    const std::string file = smtp::StoreFolder(smtp::FolderOut) + id + smtp::StateQueued;
    if (!platform::FileExists(file) || !smtp::deliveryHooks.applyRules) return;
    std::string user = s.User;
    if (user.empty()) {
        std::vector<std::string> users;
        if (IsLocalAddress(s.From, users) && !users.empty()) user = users.front();
    }
    smtp::deliveryHooks.applyRules(file, user, 99, true);
}

void TFrmSMTP::SMTPServerClientError(platform::TcpConnection&, int code) {
    ServerLog("Socket error number " + std::to_string(code));
}
