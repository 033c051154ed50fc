// POP3 server for local users. Each connection carries its own session in
// memory: line buffer, login, a snapshot of the mailbox taken at login, and
// the messages marked for deletion, which only that session's QUIT removes.
// Commands are handled one at a time in arrival order; a command whose reply
// must wait for earlier output (or for the delay after a wrong password)
// holds the later ones back until it is done.
#include "transport/committer.h"
#include "transport/servers.h"

#include "codecs/auth.h"
#include "codecs/qev_util.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/desktops.h"
#include "transport/globals.h"
#include "transport/logfile.h"
#include "transport/logins.h"
#include "transport/folder_index.h"
#include "transport/settings_file.h"
#include "transport/store.h"

#include <QPointer>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <deque>
#include <string_view>

namespace {

// Replies.
constexpr char kOk[] = "+OK\r\n";
constexpr char kErr[] = "-ERR\r\n";
constexpr char kNoSuchMessage[] = "-ERR no such message\r\n";
constexpr char kListing[] = "+OK Listing:\r\n";
constexpr char kHereItComes[] = "+OK Here it comes:\r\n";
constexpr char kLineTooLong[] = "-ERR line too long\r\n";
constexpr char kNotDeleted[] = "-ERR some deleted messages not removed\r\n";
constexpr char kLoginsBraked[] = "-ERR [SYS/TEMP] too many failed logins, try again later\r\n";
constexpr char kEndOfList[] = ".\r\n";
// Followed by the verb and argument of a command the server does not know.
constexpr char kUnknownCommand[] = "-ERR unknown params: ";

// Waits that follow or precede replies; they end early once the earlier
// output has been handed to the network.
constexpr int kShortWaitMs = 300;
constexpr int kRetrWaitMs = 1000;

constexpr size_t kMaxLine = 4096;
constexpr size_t kMaxPendingLines = 1000;
// Input is taken from the socket in bites of this size, and only while the
// client takes its replies: a client that writes without reading is held
// back by TCP instead of filling our memory.
constexpr size_t kReadBite = 64 * 1024;
constexpr std::int64_t kMaxUnreadReplies = 256 * 1024;
// Commands handled in one turn of the event loop; the rest wait for the
// next turn so that one client cannot keep the others waiting.
constexpr int kLinesPerTurn = 64;
// A stored message goes out in pieces of this size, each once the client
// has taken most of the one before.
constexpr size_t kSendChunk = 64 * 1024;

// A strictly decimal number; -1 when the text is not one.
long ParseNumber(const std::string& text) {
    if (text.empty() || text.size() > 9) return -1;
    long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v;
}

std::string FirstWord(const std::string& text, std::string* rest = nullptr) {
    size_t start = text.find_first_not_of(' ');
    if (start == std::string::npos) {
        if (rest) rest->clear();
        return std::string();
    }
    size_t end = text.find(' ', start);
    if (rest) {
        size_t next = end == std::string::npos ? std::string::npos : text.find_first_not_of(' ', end);
        *rest = next == std::string::npos ? std::string() : text.substr(next);
    }
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace

namespace servers {

std::string SafeUniqueId(const std::string& stamp) {
    bool printable = !stamp.empty() && stamp.size() <= 70;
    for (char c : stamp) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x21 || u > 0x7e) printable = false;
    }
    return printable ? stamp : auth::DigestToHex(auth::MD5Digest(stamp));
}

std::string TopText(const std::string& message, long lines) {
    std::string text = smtp::WireText(message, std::max(0L, lines));
    text.resize(text.size() - 3);  // the closing ".\r\n"
    return text;
}

PurgeOutcome PurgeFiles(platform::Env& env, const std::string& folder, const std::vector<std::string>& names,
                        commit::Committer& committer) {
    PurgeOutcome out;
    if (names.empty()) return out;
    for (const auto& name : names) {
        const platform::FsStatus s = env.Unlink(folder + name);
        // Gone already (another session's QUIT, a person in a shell): that
        // is what was asked for.
        if (!s.ok() && s.error != ENOENT) out.notRemoved.push_back(name);
    }
    // Without this a crash could bring removed messages back, and a client
    // that took "+OK" for their end would fetch them again.
    const platform::FsStatus synced = committer.SyncFolder(folder);
    if (!synced.ok()) out.syncError = synced.Text();
    return out;
}

}  // namespace servers

// Where a POP3 session stands.
enum class TPopState {
    Authorization,  // no good PASS yet: USER and PASS are taken
    Transaction,    // logged in: the session works on its mailbox snapshot
    Closed,         // QUIT, a broken limit or the end of the connection
};

struct TFrmServers::PopSession {
    TPopState State = TPopState::Authorization;
    std::string GivenUser;            // USER's name as the client gave it
    std::string Buffer;               // a line not yet ended by LF
    bool ReadPaused = false;          // input left unread until the replies are taken
    std::deque<std::string> Pending;  // lines received, not yet handled
    bool Busy = false;                // a reply is waiting; later lines wait too
    std::string User;                 // the user name as the users table holds it
    struct Message {
        std::string name;
        std::int64_t size = 0;
        bool marked = false;
    };
    std::vector<Message> Mailbox;     // taken at login, in file-name order
    int FailedPasses = 0;
    std::unique_ptr<QTimer> IdleTimer;
    // Input that ends a line only notes the time; the timer checks it when it
    // fires, so a busy connection does not restart a timer per command.
    std::chrono::steady_clock::time_point LastActive = std::chrono::steady_clock::now();

    bool LoggedIn() const { return State == TPopState::Transaction; }

    // Message n (1-based) of the snapshot; nullptr when there is none.
    Message* Find(const std::string& argument) {
        long n = ParseNumber(FirstWord(argument));
        if (!LoggedIn() || n < 1 || n > static_cast<long>(Mailbox.size())) return nullptr;
        return &Mailbox[static_cast<size_t>(n - 1)];
    }
    std::string UniqueId(const Message& m) const {
        std::string stamp = m.name.substr(User.size() + 1);
        stamp.resize(stamp.size() - std::string(smtp::MailboxSuffix).size());
        return servers::SafeUniqueId(stamp.substr(0, 255));
    }
};

void TFrmServers::PopLog(const std::string& line) { procs::WriteLog(ProgramDir + "popsvr.log", line); }

namespace {

std::shared_ptr<TFrmServers::PopSession>* SessionOf(platform::TcpConnection& connection) {
    return std::any_cast<std::shared_ptr<TFrmServers::PopSession>>(&connection.UserData());
}

}  // namespace

std::string TFrmServers::MailboxBusy(const std::string& user, int waitMs) {
    // A session works on the file names it listed at login: moved files
    // would vanish under it, and those it deletes at QUIT would stay.
    for (const auto& connection : PopServer.Connections()) {
        auto* slot = SessionOf(*connection);
        if (slot && *slot && (*slot)->LoggedIn() && qev_util::SameText((*slot)->User, user))
            return user + " is logged in over POP3 just now";
    }
    // A collection delivers to the default users it read at its start.
    if (collecting_) return "mail is being collected just now";
    const auto bound = std::chrono::milliseconds(waitMs);
    if (!Commits().WaitIdle(bound) || (committer_ && !committer_->WaitIdle(bound)))
        return "messages are still being stored";
    return std::string();
}

void TFrmServers::PopServerClientConnect(platform::TcpConnection& connection) {
    auto session = std::make_shared<PopSession>();
    session->IdleTimer = std::make_unique<QTimer>();
    session->IdleTimer->setSingleShot(true);
    session->IdleTimer->setInterval(PopIdleTimeoutMs);
    std::weak_ptr<platform::TcpConnection> weak = connection.shared_from_this();
    std::weak_ptr<PopSession> weakSession = session;
    QObject::connect(session->IdleTimer.get(), &QTimer::timeout, [this, weak, weakSession] {
        auto c = weak.lock();
        auto s = weakSession.lock();
        if (!c || !s) return;
        const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - s->LastActive)
                              .count();
        if (idle < PopIdleTimeoutMs) {
            s->IdleTimer->start(static_cast<int>(PopIdleTimeoutMs - idle));
            return;
        }
        PopLog("idle connection closed");
        c->Close();
    });
    session->IdleTimer->start();
    connection.UserData() = session;
    procs::TrimLogFile(ProgramDir + "popsvr.log");
    connection.SendText(kOk);
}

void TFrmServers::PopServerClientRead(platform::TcpConnection& connection) {
    auto* slot = SessionOf(connection);
    if (!slot || !*slot) {
        connection.ReceiveText();
        return;
    }
    PopSession& session = **slot;
    if (session.State == TPopState::Closed) {
        connection.ReceiveText();
        return;
    }
    // Unread replies or a full queue of commands: the input stays in the
    // socket until the queue has drained (PopProcessPending reads on).
    if (connection.PendingOutput() > kMaxUnreadReplies || session.Pending.size() >= kMaxPendingLines / 2) {
        session.ReadPaused = true;
        if (!session.Busy) PopResume(connection.shared_from_this(), 60000);
        return;
    }
    // Whole lines still held from the last read are queued before more is
    // read, so the held input never passes one read and one line.
    if (session.Buffer.find('\n') == std::string::npos) {
        std::string text = connection.ReceiveText(kReadBite);
        // Idle counts from the last whole line: bytes trickled without a
        // line end keep no connection open.
        if (text.find('\n') != std::string::npos) session.LastActive = std::chrono::steady_clock::now();
        session.Buffer += text;
    }
    size_t start = 0, lf;
    while (session.Pending.size() < kMaxPendingLines && (lf = session.Buffer.find('\n', start)) != std::string::npos) {
        session.Pending.push_back(session.Buffer.substr(start, lf + 1 - start));
        start = lf + 1;
    }
    session.Buffer.erase(0, start);
    // More may wait, in the socket or behind the lines just queued: it is
    // taken once these lines are done.
    const bool moreLines = session.Buffer.find('\n') != std::string::npos;
    session.ReadPaused = moreLines || connection.BytesAvailable() > 0;
    if (!moreLines && session.Buffer.size() > kMaxLine) {
        PopLog(session.LoggedIn() ? "<< " + smtp::Chomp(kLineTooLong) : std::string("disconnecting (0.9)"));
        session.State = TPopState::Closed;
        session.Pending.clear();
        connection.SendText(kLineTooLong);
        connection.Close();
        return;
    }
    PopProcessPending(connection.shared_from_this());
}

void TFrmServers::PopServerClientDisconnect(platform::TcpConnection& connection) {
    // Marks of a session that ended without QUIT die with it.
    if (auto* slot = SessionOf(connection); slot && *slot) {
        (*slot)->State = TPopState::Closed;
        (*slot)->IdleTimer.reset();
    }
    connection.UserData().reset();
}

void TFrmServers::PopServerClientError(platform::TcpConnection& connection, int code) {
    (void)connection;
    PopLog("Socket error number " + std::to_string(code) + ": " + platform::SocketErrorText(code));
}

void TFrmServers::PopProcessPending(const platform::TcpConnectionPtr& connection) {
    for (int handled = 0;; ++handled) {
        auto* slot = SessionOf(*connection);
        if (!slot || !*slot) return;
        std::shared_ptr<PopSession> session = *slot;
        if (session->Busy || session->State == TPopState::Closed || !connection->Connected()) return;
        if (session->Pending.empty() || connection->PendingOutput() > kMaxUnreadReplies) {
            if (session->ReadPaused && connection->PendingOutput() <= kMaxUnreadReplies) {
                // Room again: go on with the input left in the socket.
                std::weak_ptr<platform::TcpConnection> weak = connection;
                QTimer::singleShot(0, this, [this, weak] {
                    if (auto c = weak.lock(); c && c->Connected()) PopServerClientRead(*c);
                });
            } else if (connection->PendingOutput() > kMaxUnreadReplies) {
                PopResume(connection, 60000);
            }
            return;
        }
        if (handled == kLinesPerTurn) {
            PopResume(connection, 0);
            return;
        }
        std::string line = session->Pending.front();
        session->Pending.pop_front();
        PopHandleCommand(connection, *session, line);
    }
}

// Holds the later lines back until the output sent so far has left (at most
// waitMs), then goes on with them.
void TFrmServers::PopResume(const platform::TcpConnectionPtr& connection, int waitMs) {
    std::weak_ptr<platform::TcpConnection> weak = connection;
    if (auto* slot = SessionOf(*connection); slot && *slot) (*slot)->Busy = true;
    connection->WhenFlushed(
        [this, weak] {
            auto c = weak.lock();
            if (!c) return;
            auto* slot = SessionOf(*c);
            if (!slot || !*slot) return;
            (*slot)->Busy = false;
            PopProcessPending(c);
        },
        waitMs);
}

void TFrmServers::PopSendAndContinue(const platform::TcpConnectionPtr& connection, const std::string& reply,
                                     int waitMs) {
    connection->SendText(reply);
    if (waitMs > 0) PopResume(connection, waitMs);
}

namespace {

// Runs `action` after the earlier output has left (the wait before a reply).
template <typename F>
void Deferred(const platform::TcpConnectionPtr& connection, int waitMs, F action) {
    std::weak_ptr<platform::TcpConnection> weak = connection;
    if (auto* slot = SessionOf(*connection); slot && *slot) (*slot)->Busy = true;
    connection->WhenFlushed(
        [weak, action] {
            auto c = weak.lock();
            if (!c || !c->Connected()) return;
            auto* slot = SessionOf(*c);
            if (!slot || !*slot) return;
            std::shared_ptr<TFrmServers::PopSession> s = *slot;
            s->Busy = false;
            action(c, *s);
        },
        waitMs);
}

}  // namespace

void TFrmServers::PopHandleCommand(const platform::TcpConnectionPtr& connection, PopSession& session,
                                   const std::string& line) {
    std::string command, argument;
    procs::SplitCommand(line, command, argument);
    PopLog(command == "pass" ? std::string(">> pass ######") : ">> " + smtp::Chomp(line));

    using Handler = void (*)(TFrmServers&, const platform::TcpConnectionPtr&, PopSession&, const std::string& command,
                             const std::string& argument);
    struct Command {
        std::string_view verb;
        bool inAuthorization, inTransaction;
        Handler handle;
    };
    // A session that is not logged in works on an empty mailbox, so only
    // USER and PASS depend on the state.
    static constexpr Command kCommands[] = {
        {"user", true, false, &PopUser},
        {"pass", true, false, &PopPass},
        {"stat", true, true, &PopStatCommand},
        {"top", true, true, &PopTop},
        {"dele", true, true, &PopDele},
        {"quit", true, true, &PopQuit},
        {"retr", true, true, &PopRetr},
        {"list", true, true, &PopList},
        {"uidl", true, true, &PopList},
        {"rset", true, true, &PopRset},
        {"noop", true, true, &PopNoop},
    };
    for (const auto& c : kCommands) {
        if (c.verb != command) continue;
        if (!(session.State == TPopState::Transaction ? c.inTransaction : c.inAuthorization)) {
            PopLog("<< -ERR");
            connection->SendText(kErr);
            return;
        }
        c.handle(*this, connection, session, command, argument);
        return;
    }
    connection->SendText(kUnknownCommand + command + ", " + argument + "\r\n");
}

void TFrmServers::PopUser(TFrmServers& f, const platform::TcpConnectionPtr& connection, PopSession&,
                          const std::string&, const std::string& argument) {
    f.PopLog("<< +OK");
    TFrmServers* self = &f;
    Deferred(connection, kShortWaitMs, [self, argument](const platform::TcpConnectionPtr& c, PopSession& s) {
        s.GivenUser = argument;
        s.State = TPopState::Authorization;
        s.User.clear();
        c->SendText(kOk);
        self->PopProcessPending(c);
    });
}

void TFrmServers::PopPass(TFrmServers& f, const platform::TcpConnectionPtr& connection, PopSession&,
                          const std::string&, const std::string& argument) {
    TFrmServers* self = &f;
    Deferred(connection, kShortWaitMs, [self, argument](const platform::TcpConnectionPtr& c, PopSession& s) {
        std::string canonical;
        const std::string address = c->RemoteAddress();
        // Many connections guessing at once meet one brake for their
        // address; a refusal is no failure of the connection's own.
        if (logins::Refused("POP3", address, s.GivenUser)) {
            s.User.clear();
            self->PopLog("<< " + smtp::Chomp(kLoginsBraked));
            c->SendText(kLoginsBraked);
            self->PopProcessPending(c);
            return;
        }
        if (self->CheckUserPassword(s.GivenUser, argument, nullptr, &canonical)) {
            logins::Succeeded(address, s.GivenUser);
            s.User = canonical;
            s.State = TPopState::Transaction;
            s.Mailbox.clear();
            // The kept listing: a login no longer lists and stats in/.
            for (const auto& [name, size] : smtp::KeptFolder(smtp::FolderIn).UserFiles(canonical))
                s.Mailbox.push_back({name, size, false});
            desktops::SetAddress(settings::IniPath(), canonical, c->RemoteAddress());
            self->PopLog("<< +OK");
            c->SendText(kOk);
            self->PopProcessPending(c);
            return;
        }
        // A wrong password is answered late, and the third
        // one ends the connection.
        logins::Failed("POP3", address, s.GivenUser);
        s.User.clear();
        ++s.FailedPasses;
        s.Busy = true;
        std::weak_ptr<platform::TcpConnection> weak = c;
        QTimer::singleShot(self->PopFailedPassDelayMs, self, [self, weak] {
            auto conn = weak.lock();
            if (!conn || !conn->Connected()) return;
            auto* slot = SessionOf(*conn);
            if (!slot || !*slot) return;
            PopSession& ses = **slot;
            self->PopLog("<< -ERR");
            conn->SendText(kErr);
            ses.Busy = false;
            if (ses.FailedPasses >= self->PopMaxFailedPasses) {
                ses.State = TPopState::Closed;
                conn->Close();
                return;
            }
            self->PopProcessPending(conn);
        });
    });
}

void TFrmServers::PopStatCommand(TFrmServers& f, const platform::TcpConnectionPtr& connection, PopSession&,
                                 const std::string&, const std::string&) {
    TFrmServers* self = &f;
    Deferred(connection, kShortWaitMs, [self](const platform::TcpConnectionPtr& c, PopSession& s) {
        std::int64_t count = 0, bytes = 0;
        self->PopStat(s, count, bytes);
        std::string reply = "+OK " + std::to_string(count) + " " + std::to_string(bytes);
        self->PopLog("<< " + reply);
        c->SendText(reply + "\r\n");
        self->PopProcessPending(c);
    });
}

void TFrmServers::PopTop(TFrmServers& f, const platform::TcpConnectionPtr& connection, PopSession&,
                         const std::string&, const std::string& argument) {
    f.PopLog("<< +OK sending top " + argument);
    TFrmServers* self = &f;
    Deferred(connection, kShortWaitMs, [self, argument](const platform::TcpConnectionPtr& c, PopSession& s) {
        long lines = 0;
        std::string path = self->PopTopFile(s, argument, lines);
        if (path.empty()) {
            c->SendText(kNoSuchMessage);
            self->PopLog("<< " + smtp::Chomp(kNoSuchMessage));
            self->PopProcessPending(c);
            return;
        }
        c->SendText(kOk);
        self->PopSendStored(c, path, lines, [self, argument](const platform::TcpConnectionPtr& conn) {
            self->PopLog("<< sent top " + argument);
            self->PopProcessPending(conn);
        });
    });
}

void TFrmServers::PopDele(TFrmServers& f, const platform::TcpConnectionPtr& connection, PopSession& session,
                          const std::string&, const std::string& argument) {
    if (!f.PopMarkDeleted(session, argument)) {
        f.PopLog(std::string("<< ") + smtp::Chomp(kNoSuchMessage));
        connection->SendText(kNoSuchMessage);
        return;
    }
    f.PopLog("<< +OK");
    f.PopSendAndContinue(connection, kOk, kShortWaitMs);
}

void TFrmServers::PopQuit(TFrmServers& f, const platform::TcpConnectionPtr& connection, PopSession& session,
                          const std::string&, const std::string&) {
    const bool loggedIn = session.LoggedIn();
    std::vector<std::string> marked;
    for (const auto& m : session.Mailbox)
        if (m.marked) marked.push_back(m.name);
    const std::string user = session.User;
    session.State = TPopState::Closed;
    session.Pending.clear();
    session.GivenUser.clear();
    session.Mailbox.clear();
    if (!loggedIn) {
        f.PopLog("<< " + smtp::Chomp(kOk));
        connection->SendText(kOk);
        connection->Close();
        return;
    }
    // The deletions and the folder's sync run off the event loop, the sync
    // shared with whatever else the workers sync in that folder meanwhile;
    // "+OK" goes out only once they are on disk.
    session.Busy = true;
    std::weak_ptr<platform::TcpConnection> weak = connection;
    QPointer<TFrmServers> self(&f);
    platform::Env* env = platform::Env::Current();
    const std::string folder = smtp::StoreFolder(smtp::FolderIn);
    auto outcome = std::make_shared<servers::PurgeOutcome>();
    f.Commits().Submit(
        [env, folder, marked, outcome](commit::Committer& committer) {
            *outcome = servers::PurgeFiles(*env, folder, marked, committer);
            return platform::FsStatus{};
        },
        [self, outcome, user, weak](platform::FsStatus) {
            if (!self) return;
            self->PopLogPurge(*outcome);
            self->RefreshMailCounts(true);
            self->QueueNewMailAlert(user);
            const char* reply = outcome->ok() ? kOk : kNotDeleted;
            self->PopLog("<< " + smtp::Chomp(reply));
            auto c = weak.lock();
            if (!c || !c->Connected()) return;
            c->SendText(reply);
            c->Close();
        });
}

void TFrmServers::PopRetr(TFrmServers& f, const platform::TcpConnectionPtr& connection, PopSession& session,
                          const std::string&, const std::string& argument) {
    PopSession::Message* m = session.Find(argument);
    const std::string path = m ? smtp::StoreFolder(smtp::FolderIn) + m->name : std::string();
    if (!m || !platform::FileExists(path)) {
        f.PopLog(std::string("<< ") + smtp::Chomp(kNoSuchMessage));
        connection->SendText(kNoSuchMessage);
        return;
    }
    f.PopLog("<< +OK here comes " + argument);
    connection->SendText(kHereItComes);
    f.PopLog("<< Sending " + m->name);
    TFrmServers* self = &f;
    f.PopSendStored(connection, path, -1, [self](const platform::TcpConnectionPtr& c) { self->PopResume(c, kRetrWaitMs); });
}

void TFrmServers::PopList(TFrmServers& f, const platform::TcpConnectionPtr& connection, PopSession& session,
                          const std::string& command, const std::string& argument) {
    std::string reply = f.PopSendListing(session, command == "uidl", argument);
    f.PopLog(command == "list" ? "<< +OK " + argument : "<< " + smtp::Chomp(reply));
    connection->SendText(reply);
}

void TFrmServers::PopRset(TFrmServers& f, const platform::TcpConnectionPtr& connection, PopSession& session,
                          const std::string&, const std::string&) {
    f.PopUnmarkAll(session);
    connection->SendText(kOk);
}

void TFrmServers::PopNoop(TFrmServers&, const platform::TcpConnectionPtr& connection, PopSession&,
                          const std::string&, const std::string&) {
    connection->SendText(kOk);
}

void TFrmServers::PopStat(const PopSession& session, std::int64_t& count, std::int64_t& bytes) const {
    count = bytes = 0;
    if (!session.LoggedIn()) return;
    for (const auto& m : session.Mailbox) {
        ++count;
        bytes += m.size;
    }
}

std::string TFrmServers::PopTopFile(PopSession& session, const std::string& argument, long& lines) {
    std::string rest;
    FirstWord(argument, &rest);
    PopSession::Message* m = session.Find(argument);
    const std::string path = m ? smtp::StoreFolder(smtp::FolderIn) + m->name : std::string();
    if (!m || !platform::FileExists(path)) return std::string();
    std::string count = FirstWord(rest);
    lines = 0;
    if (!count.empty() && count.find_first_not_of("0123456789") == std::string::npos)
        lines = count.size() > 9 ? LONG_MAX : ParseNumber(count);  // a huge count: the whole body
    return path;
}

std::string TFrmServers::PopSendTop(PopSession& session, const std::string& argument) {
    long lines = 0;
    std::string path = PopTopFile(session, argument, lines);
    std::string message;
    if (path.empty() || !platform::ReadFile(path, message)) return kNoSuchMessage;
    return std::string(kOk) + servers::TopText(message, lines) + kEndOfList;
}

void TFrmServers::PopSendStored(const platform::TcpConnectionPtr& connection, const std::string& path,
                                long topLines,
                                std::function<void(const platform::TcpConnectionPtr&)> done) {
    struct Transfer {
        std::FILE* file = nullptr;
        smtp::WireWriter writer;
        std::function<void(const platform::TcpConnectionPtr&)> done;
        std::function<void(const platform::TcpConnectionPtr&)> step;
        explicit Transfer(long top) : writer(top) {}
        ~Transfer() {
            if (file) std::fclose(file);
        }
    };
    auto t = std::make_shared<Transfer>(topLines);
    t->file = std::fopen(path.c_str(), "rb");
    t->done = std::move(done);
    if (auto* slot = SessionOf(*connection); slot && *slot) (*slot)->Busy = true;
    std::weak_ptr<Transfer> weakT = t;
    t->step = [this, weakT](const platform::TcpConnectionPtr& c) {
        auto tr = weakT.lock();
        if (!tr) return;
        auto* slot = SessionOf(*c);
        if (!c->Connected() || !slot || !*slot) {
            tr->step = nullptr;  // ends the transfer
            return;
        }
        std::weak_ptr<platform::TcpConnection> weakC = c;
        auto keep = tr;
        auto waitForClient = [weakC, keep](platform::TcpConnection& conn) {
            conn.WhenFlushed(
                [weakC, keep] {
                    if (auto cc = weakC.lock(); cc && keep->step) {
                        auto step = keep->step;
                        step(cc);
                    }
                },
                60000);
        };
        if (c->PendingOutput() > static_cast<std::int64_t>(kSendChunk)) {
            waitForClient(*c);
            return;
        }
        std::string out;
        std::vector<char> buffer(kSendChunk);
        while (out.size() < kSendChunk && tr->file && !tr->writer.Ended()) {
            size_t n = std::fread(buffer.data(), 1, buffer.size(), tr->file);
            if (n == 0) {
                // A file that cannot be read further ends where it is; the
                // client still gets a whole reply.
                if (std::ferror(tr->file)) PopLog("Could not read the message file to the end");
                break;
            }
            tr->writer.Feed(buffer.data(), n, out);
        }
        const bool last = !tr->file || tr->writer.Ended() || std::feof(tr->file) || std::ferror(tr->file);
        if (last) tr->writer.Finish(out);
        c->SendText(out);
        if (last) {
            (*slot)->Busy = false;
            auto finish = std::move(tr->done);
            tr->step = nullptr;
            if (finish) finish(c);
            return;
        }
        waitForClient(*c);
    };
    auto step = t->step;
    step(connection);
}

std::string TFrmServers::PopSendListing(PopSession& session, bool uniqueIds, const std::string& argument) {
    auto value = [&](const PopSession::Message& m) {
        return uniqueIds ? session.UniqueId(m) : std::to_string(m.size);
    };
    if (!FirstWord(argument).empty()) {
        PopSession::Message* m = session.Find(argument);
        if (!m) return kNoSuchMessage;
        long n = static_cast<long>(m - session.Mailbox.data()) + 1;
        return "+OK " + std::to_string(n) + " " + value(*m) + "\r\n";
    }
    std::string reply = kListing;
    if (session.LoggedIn())
        for (size_t i = 0; i < session.Mailbox.size(); ++i)
            reply += std::to_string(i + 1) + " " + value(session.Mailbox[i]) + "\r\n";
    return reply + kEndOfList;
}

bool TFrmServers::PopMarkDeleted(PopSession& session, const std::string& argument) {
    PopSession::Message* m = session.Find(argument);
    if (m) m->marked = true;
    return m != nullptr;
}

void TFrmServers::PopUnmarkAll(PopSession& session) {
    for (auto& m : session.Mailbox) m.marked = false;
}

void TFrmServers::PopLogPurge(const servers::PurgeOutcome& outcome) {
    for (const auto& name : outcome.notRemoved) PopLog("Could not delete " + name);
    if (!outcome.syncError.empty()) PopLog("Could not make the deletions in the mailbox folder safe: " + outcome.syncError);
}

