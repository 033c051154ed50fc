// Invisible window ("Port status") that owns the POP3 side of mail
// transport: the POP3 server, the collector and alert sockets with their
// timers, and the tables of local users, provider accounts, downloaded
// messages, seen Message-IDs and queued alerts. It also holds the one check
// of a local user's password that the POP3 server, SMTP AUTH and the web
// login share.
#pragma once

#include "platform/sockets.h"
#include "tables/memtable.h"

#include <QDialog>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QMenu;
class QTimer;

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

// "There is already an application or service using port ..." for the POP
// server.
std::string PopPortInUseText(int port);

// A unique id safe for UIDL: the stamp itself when it is 1..70 printable
// characters, else a stable hex digest of it.
std::string SafeUniqueId(const std::string& stamp);

// Lines of a TOP reply for a stored message: the header lines, an empty
// line, then the first `lines` body lines; the stored end marker is never
// part of the body. Each line ends CR LF; the closing "." is not included.
std::string TopText(const std::string& message, long lines);

}  // namespace servers

class TFrmServers : public QDialog {
    Q_OBJECT
public:
    explicit TFrmServers(QWidget* parent = nullptr);
    ~TFrmServers() override;

    // Components.
    platform::TcpServer PopServer;     // POP3 server for local users
    platform::TcpClient POPClient;     // collector; its Tag is the collector state
    platform::TcpClient AlertSocket;   // new-mail alerts
    TvdlMemTable TblUsers;             // users.dat: Name, Password; index ixName
    TvdlMemTable TblPop;               // pop.dat: provider accounts
    TvdlMemTable TblUIDL;              // uidl.dat: POP, UIDL, Received; index ixUIDL
    TvdlMemTable TblID;                // in memory: ID; index ixID
    TvdlMemTable TblAlert;             // in memory: Address, Message; index ixAddress
    QTimer* NextAccountTimer;          // 1000 ms pause between accounts
    QTimer* TimeOutTimer;              // collector timeout, [POP] Timeout seconds
    std::vector<std::string> Memo1;    // UIDL listing of the current account

    // Set-up: at creation, and again after the settings window closed.
    void FormCreate();
    // Rebuilds the main window's Send/Recv drop-down from TblPop.
    void BuildAccountMenu();
    void BuildAccountMenu(QMenu* menu);

    // True when user is in TblUsers and password equals the stored one,
    // both lower-cased. The result ("yes"/"no") is written to the session's
    // key "Log"; canonicalName gets the user name as the table holds it.
    bool CheckUserPassword(const std::string& user, const std::string& password,
                           servers::SessionSection* session = nullptr,
                           std::string* canonicalName = nullptr);

    // A connection's session values: no key erases the whole section.
    static void WriteSessionValue(servers::SessionSection& section, const std::optional<std::string>& key,
                                  const std::string& value = std::string());
    static std::string ReadSessionValue(const servers::SessionSection& section, const std::string& key);

    // Recipient of a failure notice whose sender is not local: the Default
    // user of the first POP account, or the first user when there are no
    // accounts; empty when neither exists.
    std::string NoticeFallbackUser();

    // Mailbox counts and new-mail alerts (not built yet: the hooks that the
    // POP3 server, the SMTP server and the collector call).
    void RefreshMailCounts(bool AutoSend, bool Unused = false);
    void QueueNewMailAlert(const std::string& user);

    // POP3 collection of the provider accounts: the first mail step of a
    // Send/Recv cycle. It hands over to the relay run (FrmSMTP->StartDelivery)
    // when every account is done.
    void StartPopCollection();
    // True from StartPopCollection until the hand-over to the relay run.
    bool Collecting() const;

    // POP3 server events.
    void PopServerClientConnect(platform::TcpConnection& connection);
    void PopServerClientRead(platform::TcpConnection& connection);
    void PopServerClientDisconnect(platform::TcpConnection& connection);
    void PopServerClientError(platform::TcpConnection& connection, int code);

    // The port the POP3 server was asked to listen on ([POP] LocalPort).
    int PopServerPort() const { return popPort_; }
    // Tuning of the POP3 server; tests shorten them.
    int PopIdleTimeoutMs = 10 * 60 * 1000;
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
    // Deletes the marked files; false when one could not be removed.
    bool PopPurgeDeleted(PopSession& session);

private:
    void PopProcessPending(const platform::TcpConnectionPtr& connection);
    void PopHandleCommand(const platform::TcpConnectionPtr& connection, PopSession& session,
                          const std::string& line);
    void PopSendAndContinue(const platform::TcpConnectionPtr& connection, const std::string& reply, int waitMs);
    void PopResume(const platform::TcpConnectionPtr& connection, int waitMs);
    void PopLog(const std::string& line);
    void LoadTables();

    int popPort_ = 110;
};

extern TFrmServers* FrmServers;
