// Servers object set-up: its tables, the POP3 listening socket, the account
// names of the Send/Recv drop-down, and the user/password check.
#include "transport/servers.h"

#include "codecs/qev_util.h"
#include "platform/dialogs.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/local_address.h"
#include "transport/committer.h"
#include "transport/settings_file.h"
#include "transport/setup_hooks.h"
#include "transport/table_files.h"
#include "transport/events.h"
#include "transport/globals.h"
#include "transport/logfile.h"
#include "transport/desktops.h"
#include "transport/engine_tables.h"
#include "transport/mail_settings.h"
#include "transport/smtp.h"

#include <QTimer>

#include <cstdio>
#include <cstdlib>

TFrmServers* FrmServers = nullptr;

namespace servers {

bool SessionSection::NoCase::operator()(const std::string& a, const std::string& b) const {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        int x = std::tolower(static_cast<unsigned char>(a[i]));
        int y = std::tolower(static_cast<unsigned char>(b[i]));
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

void SessionSection::Write(const std::string& key, const std::string& value) { values_[key] = value; }

std::string SessionSection::Read(const std::string& key) const {
    auto it = values_.find(key);
    return it == values_.end() ? std::string() : it->second;
}

void SessionSection::EraseKey(const std::string& key) { values_.erase(key); }

void SessionSection::Erase() { values_.clear(); }

std::string BindAddress() {
    const char* env = std::getenv("TARNWICK_BIND_ADDRESS");
    return env ? std::string(env) : std::string();
}

std::string SettingsFileProblemAtStart;

bool ConnectionAdmitted(const std::string& remoteAddress, const std::string& logFile) {
    const auto mail = mailsettings::Current();
    const bool admitted = mail->ipFilter ? smtp::IpFilterAdmits(remoteAddress, mail->ipFilterAddress)
                                         : platform::IsLocalNetworkAddress(remoteAddress);
    if (!admitted && !logFile.empty())
        procs::WriteLog(ProgramDir + logFile, "Connection from " + remoteAddress + " refused by the address filter");
    return admitted;
}

std::string PortInUseText(int port, const std::string& server) {
    return "There is already an application or service using port " + std::to_string(port) +
           ", necessary for the " + server + " server.\r\nIf you want to use Tarnwick as your " + server +
           " server then you will have to stop the other application and restart Tarnwick.";
}

std::string PopPortInUseText(int port) { return PortInUseText(port, "POP"); }

int ListenPortFromText(const std::string& text, int def) {
    if (text.empty() || text.size() > 5) return def;
    for (char c : text)
        if (c < '0' || c > '9') return def;
    int v = std::stoi(text);
    return v <= 65535 ? v : def;
}

}  // namespace servers

TFrmServers::TFrmServers(QObject* parent) : QObject(parent) {
    setObjectName("Port status");
    NextAccountTimer = new QTimer(this);
    NextAccountTimer->setInterval(1000);
    TimeOutTimer = new QTimer(this);
    messageDeadline_ = new QTimer(this);
    messageDeadline_->setSingleShot(true);

    PopServer.OnClientConnect = [this](platform::TcpConnection& c) { PopServerClientConnect(c); };
    PopServer.OnClientRead = [this](platform::TcpConnection& c) { PopServerClientRead(c); };
    PopServer.OnClientDisconnect = [this](platform::TcpConnection& c) { PopServerClientDisconnect(c); };
    PopServer.OnClientError = [this](platform::TcpConnection& c, int code) { PopServerClientError(c, code); };
    PopServer.OnAccept = [](platform::TcpConnection& c) {
        return servers::ConnectionAdmitted(c.RemoteAddress(), "popsvr.log");
    };
    PopServer.OnAcceptTrouble = [this](const std::string& text) { PopLog(text); };
    PopServer.SetMaxConnections(TFrmSMTP::MaxServerConnections, "-ERR too many connections, try again later\r\n");
    PopServer.SetMaxConnectionsPerClient(TFrmSMTP::MaxClientConnections, "-ERR [SYS/TEMP] too many connections\r\n");

    POPClient.OnConnect = [this] { POPClientConnect(); };
    POPClient.OnRead = [this] { POPClientRead(); };
    POPClient.OnDisconnect = [this] { POPClientDisconnect(); };
    POPClient.OnError = [this](int code, const std::string&) { POPClientError(code); };
    connect(TimeOutTimer, &QTimer::timeout, this, [this] { TimeOutTimerTimer(); });
    connect(NextAccountTimer, &QTimer::timeout, this, [this] { NextAccountTimerTimer(); });
    connect(messageDeadline_, &QTimer::timeout, this, [this] { MessageDeadlinePassed(); });

    AlertSocket.OnConnect = [this] { AlertSocketConnect(); };
    AlertSocket.OnDisconnect = [this] { AlertSocketDisconnect(); };
    AlertSocket.OnError = [this](int code, const std::string&) { AlertSocketError(code); };

    // Alias targets are checked against this object's copy of the users.
    // The settings window re-opens the POP3 server only when its port
    // changed, and clears an account's downloaded-message record.
    setup::hooks.popServerPort = [this] { return PopServer.Active() ? popPort_ : 0; };
    setup::hooks.reopenPopServer = [this](int port) {
        popPort_ = port;
        return PopServer.Open(port, servers::BindAddress()) == platform::OpenResult::Ok;
    };
    setup::hooks.hasDownloaded = [this](const std::string& account) { return HasDownloaded(account); };
    setup::hooks.forgetDownloaded = [this](const std::string& account) { ClearUIDL(account); };
    FormCreate();
}

TFrmServers::~TFrmServers() {
    // A QUIT's deletions finish (the committer finishes work it has taken);
    // their replies are dropped with the window.
    committer_.reset();
    // A uidl.dat write that waited for one on a worker would otherwise be
    // lost: that one's outcome never comes now.
    if (uidlAgain_) {
        uidlAgain_ = false;
        uidlWriting_ = false;
        SaveUidl();
    }
    // Desktop addresses of the last logins reach tarnwick.ini before the
    // program directory may go.
    desktops::Flush();
    // The rows came from this program directory; nothing may use them after.
    TblUsers.Close();
    TblPop.Close();
    TblUIDL.Close();
    setup::hooks.popServerPort = nullptr;
    setup::hooks.reopenPopServer = nullptr;
    setup::hooks.hasDownloaded = nullptr;
    setup::hooks.forgetDownloaded = nullptr;
    CloseTempFile();
    // PopServer goes with the object; its destructor drops the connections
    // without running any of their events.
    if (FrmServers == this) FrmServers = nullptr;
}

void TFrmServers::WriteSessionValue(servers::SessionSection& section, const std::optional<std::string>& key,
                                    const std::string& value) {
    if (key) section.Write(*key, value);
    else section.Erase();
}

std::string TFrmServers::ReadSessionValue(const servers::SessionSection& section, const std::string& key) {
    return section.Read(key);
}

void TFrmServers::FormCreate() {
    events::Get().StartupProgress("Starting POP server...");
    if (!servers::SettingsFileProblemAtStart.empty()) {
        // Every setting read as its default: the servers take the standard
        // ports, which is not what anyone meant. NUL bytes spoil only the
        // lines that hold them, so the rest is read and the ports may be
        // the configured ones or the standard ones.
        std::string text;
        if (servers::SettingsFileProblemAtStart == platform::IniFile::kHoldsNulBytes) {
            const MailSettings read = mailsettings::Read(ProgramDir, {}, std::string());
            text = std::string("The settings file ") + settings::kIniFileName +
                   " is damaged (it holds NUL bytes): Tarnwick reads it as far as it can, but a setting on a line "
                   "with a NUL byte may take its default or a wrong value. The SMTP server uses port " +
                   std::to_string(servers::ListenPortFromText(read.smtpLocalPort, settings::kDefaultSmtpPort)) +
                   ", the POP server port " +
                   std::to_string(servers::ListenPortFromText(read.popLocalPort, settings::kDefaultPopPort)) + ".";
        } else {
            text = std::string("The settings file ") + settings::kIniFileName + " could not be used (" +
                   servers::SettingsFileProblemAtStart +
                   "); Tarnwick runs with default settings, the servers on ports 25 and 110.";
        }
        servers::SettingsFileProblemAtStart.clear();
        PopLog(text);
        tablefiles::LogLine(text);
        platform::MessageBox(text, platform::MsgKind::Warning);
    }
    popPort_ = servers::ListenPortFromText(mailsettings::Read(ProgramDir, {}, std::string()).popLocalPort,
                                           settings::kDefaultPopPort);
    TimeOutTimer->setInterval(settings::PopTimeout() * 1000);

    // A changed port takes effect here: the listener is reopened when the
    // port differs from the one it listens on.
    if (!PopServer.Active() || (popPort_ != 0 && PopServer.Port() != popPort_)) {
        platform::OpenResult result = PopServer.Open(popPort_, servers::BindAddress());
        if (result != platform::OpenResult::Ok) {
            std::string why = result == platform::OpenResult::AddressInUse
                                  ? std::string("port in use")
                                  : PopServer.ErrorText();
            PopLog("POP server not started on port " + std::to_string(popPort_) + ": " + why);
            std::fprintf(stderr, "Tarnwick: POP server not started on port %d: %s\n", popPort_, why.c_str());
            platform::MessageBox(servers::PopPortInUseText(popPort_), platform::MsgKind::Error);
        }
    }

    LoadTables();
}

void TFrmServers::LoadTables() {
    tables::LoadUsers(ProgramDir);
    // The Send/Recv drop-down lists the accounts in the file's order.
    tables::LoadPopAccounts(ProgramDir, "");
    try {
        BuildAccountMenu();
    } catch (...) {
    }

    const tables::UidlLoad uidl = tables::LoadUidl(ProgramDir);
    if (!uidl.problem.empty()) {
        // Without the record, accounts that leave mail on the server fetch
        // it all again, which the user should hear of.
        const std::string text =
            "uidl.dat could not be read (" + uidl.problem + ")" +
            (uidl.setAside.empty() ? std::string(" and could not be renamed")
                                   : "; it was renamed to " + uidl.setAside.substr(ProgramDir.size())) +
            (uidl.kept > 0 ? ". The records of " + std::to_string(uidl.kept) +
                                 " messages before the damage were kept; other messages left on the server by your "
                                 "POP accounts will be downloaded again."
                           : ". Messages left on the server by your POP accounts will be downloaded again.");
        PopLog(text);
        tablefiles::LogLine(text);
        platform::MessageBox(text, platform::MsgKind::Warning);
    }
    if (!uidl.writeError.empty()) PopLog("uidl.dat not written: " + uidl.writeError);

    TblID.Close();
    TblID.FieldDefs().Clear();
    // A seen Message-ID is kept per user: "<user> <Message-ID>".
    TblID.FieldDefs().Add("ID", ftString, 330);
    TblID.IndexDefs().Clear();
    TblID.CreateTable();
    TblID.AddIndex("ixID", "ID", 0);
    TblID.Open();
    TblID.SetIndexName("ixID");

    TblAlert.Close();
    TblAlert.FieldDefs().Clear();
    // Wide enough for any IPv6 address text.
    TblAlert.FieldDefs().Add("Address", ftString, 64);
    TblAlert.FieldDefs().Add("Message", ftString, 128);
    TblAlert.IndexDefs().Clear();
    TblAlert.CreateTable();
    TblAlert.AddIndex("ixAddress", "Address", 0);
    TblAlert.Open();
    alertInFlight_.clear();
}

void TFrmServers::BuildAccountMenu() {
    std::vector<std::string> names;
    if (TblPop.Active()) {
        int mark = TblPop.GetBookmark();
        for (TblPop.First(); !TblPop.Eof(); TblPop.Next()) names.push_back(TblPop.FieldByName("Name").AsString());
        if (mark >= 0 && TblPop.BookmarkValid(mark)) TblPop.GotoBookmark(mark);
        else TblPop.First();
    }
    events::Get().AccountsChanged(names);
}

bool TFrmServers::CheckUserPassword(const std::string& user, const std::string& password,
                                    servers::SessionSection* session, std::string* canonicalName) {
    bool accepted = false;
    std::string name;
    try {
        if (TblUsers.Active() && !user.empty() && TblUsers.FindKey({user})) {
            name = TblUsers.FieldByName("Name").AsString();
            accepted = qev_util::LowerCase(TblUsers.FieldByName("Password").AsString()) == qev_util::LowerCase(password);
        }
    } catch (const std::exception& e) {
        PopLog(std::string("User check failed: ") + e.what());
        accepted = false;
    }
    if (session) session->Write("Log", accepted ? "yes" : "no");
    if (canonicalName) *canonicalName = accepted ? name : std::string();
    return accepted;
}

std::string TFrmServers::NoticeFallbackUser() {
    auto firstValue = [](TvdlMemTable& table, const char* field) {
        std::string value;
        if (!table.Active()) return value;
        int mark = table.GetBookmark();
        table.First();
        if (!table.Eof() && table.FindField(field)) value = table.FieldByName(field).AsString();
        if (mark >= 0 && table.BookmarkValid(mark)) table.GotoBookmark(mark);
        return value;
    };
    try {
        if (TblPop.Active() && !TblPop.IsEmpty()) return firstValue(TblPop, "Default");
        return firstValue(TblUsers, "Name");
    } catch (const std::exception&) {
        return std::string();
    }
}
