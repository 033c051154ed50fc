// The engine object that owns the SMTP server and the relay client: its
// creation, the crash-report mail filter and the tray icon routine.
#include "transport/smtp.h"

#include "transport/committer.h"

#include "codecs/details.h"
#include "crash/zel_except.h"
#include "filters/addinrule.h"
#include "filters/forward.h"
#include "filters/holiday.h"
#include "filters/spam.h"
#include "filters/virus.h"
#include "platform/dialogs.h"
#include "platform/env.h"
#include "platform/files.h"
#include "platform/inifile.h"
#include "transport/settings_file.h"
#include "transport/setup_hooks.h"
#include "transport/globals.h"
#include "transport/events.h"
#include "transport/folder_index.h"
#include "transport/mail_settings.h"
#include "transport/ports_file.h"
#include "transport/servers.h"

#include <QTimer>

#include <cctype>
#include <cstdio>
#include <set>

TFrmSMTP* FrmSMTP = nullptr;

namespace smtp {
namespace {

DeliveryHooks FilterUnits() {
    DeliveryHooks h;
    h.applyRules = [](const std::string& file, const std::string& user, int kind, bool isExternal) {
        if (AddInRule::LiveRules().empty()) return;
        AddInRule::ApplyRules(file, user, kind, isExternal, holiday::LoadHeaderLines(file));
    };
    h.checkIncomingAttachments = [](const std::string& file, const std::string& user) {
        virus::CheckIncomingAttachments(file, user, 1);
    };
    h.notifyOutgoingRisk = [](const std::string& file, const std::string& from, const std::string&) {
        if (mailsettings::Current()->virusCheckOut)
            virus::NotifyOutgoingRisk(from, details::SplitMessageParts(file));
    };
    h.autoRespond = [](const std::string& address, const std::string& user, const std::string& file,
                       const std::string& from) { holiday::AutoRespond(address, user, file, true, from); };
    h.forwardMessage = [](const std::string& user, const std::string& file, const std::string& from) {
        forward::ForwardMessage(user, file, from);
    };
    h.importAddressesFromMessage = [](const std::string& file) { spam::ImportAddressesFromMessage(file); };
    h.addSpamAddress = [](const std::string& address) {
        if (spam::Filter() && spam::Filter()->settings().addOutAddress)
            spam::AddSpamAddress(spam::SafeSender, address);
    };
    return h;
}

}  // namespace

DeliveryHooks deliveryHooks = FilterUnits();

void SetTrayIcon(int n) {
    events::Get().TrayImage(n);
}

std::string SmtpPortInUseText(int port) { return servers::PortInUseText(port, "SMTP"); }

}  // namespace smtp

namespace {

// Queue records whose message is gone (sent, deleted) and the sessions of an
// older layout are dropped; records of queued, failed and suspended
// messages are kept.
void DropStaleQueueRecords() {
    const std::string ports = smtp::PortsFileName();
    if (!platform::FileExists(ports)) return;
    // Every "<id>." that begins a name in out/, in lower case: one pass over
    // the folder and one lookup per section, all erasures in one write.
    std::set<std::string> ids;
    for (const auto& [name, size] : smtp::KeptFolder(smtp::FolderOut).Files()) {
        std::string lower = name;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (size_t dot = lower.find('.'); dot != std::string::npos; dot = lower.find('.', dot + 1))
            if (dot + 1 < lower.size()) ids.insert(lower.substr(0, dot));
    }
    smtp::PortsFile& file = smtp::Ports();
    std::set<std::string> stale;
    bool kept = false;
    for (const auto& section : file.ReadSections()) {
        std::string lower = section;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (ids.count(lower)) kept = true;
        else stale.insert(lower);
    }
    if (!kept) platform::Env::Current()->Unlink(ports);
    else file.EraseSections(stale);
}

}  // namespace

TFrmSMTP::TFrmSMTP(QObject* parent) : QObject(parent) {
    setObjectName("SMTP");
    RetryTimer = new QTimer(this);
    RetryTimer->setInterval(10000);
    DeliveryTimer = new QTimer(this);
    DeliveryTimer->setInterval(1000);
    TimeOut = new QTimer(this);
    TimeOut->setInterval(60000);
    connect(RetryTimer, &QTimer::timeout, this, [this] { RetryTimerTimer(false); });
    connect(TimeOut, &QTimer::timeout, this, [this] { RetryTimerTimer(true); });
    connect(DeliveryTimer, &QTimer::timeout, this, [this] { DeliveryTimerTimer(); });

    SMTPServer.OnAccept = [this](platform::TcpConnection& c) { return SMTPServerAccept(c); };
    SMTPServer.OnClientConnect = [this](platform::TcpConnection& c) { SMTPServerClientConnect(c); };
    SMTPServer.OnClientRead = [this](platform::TcpConnection& c) { SMTPServerClientRead(c); };
    SMTPServer.OnClientDisconnect = [this](platform::TcpConnection& c) { SMTPServerClientDisconnect(c); };
    SMTPServer.OnClientError = [this](platform::TcpConnection& c, int code) { SMTPServerClientError(c, code); };
    SMTPServer.OnAcceptTrouble = [this](const std::string& text) { ServerLog(text); };
    SMTPServer.SetMaxConnections(MaxServerConnections, "421 Too many connections, try again later\r\n");
    SMTPServer.SetMaxConnectionsPerClient(MaxClientConnections,
                                          "421 Too many connections from your address, try again later\r\n");

    SMTPClient.OnConnect = [this] { SMTPClientConnect(); };
    SMTPClient.OnRead = [this] { SMTPClientRead(); };
    SMTPClient.OnWrite = [this] { SMTPClientWrite(); };
    SMTPClient.OnDisconnect = [this] { SMTPClientDisconnect(); };
    SMTPClient.OnError = [this](int code, const std::string& text) { SMTPClientError(code, text); };

    FormCreate();
}

TFrmSMTP::~TFrmSMTP() {
    FormDestroy();
    // The workers finish what they took (records staged for ports.dat
    // among it) before the marks left for later are written.
    committer_.reset();
    // A run cut short by the exit: its removals in out/ reach the disk
    // before the records they end are erased, as at a run's own end.
    if (!smtp::FlushPorts(smtp::StoreFolder(smtp::FolderOut))) ServerLog("Could not write ports.dat");
    // Counts and cycles look for the relay through the global; a gone
    // object must not be found there.
    if (FrmSMTP == this) FrmSMTP = nullptr;
}

void TFrmSMTP::FormCreate() {
    events::Get().StartupProgress("Starting SMTP server...");
    // The first crash report of a run always passes the hourly limit.
    LastErrorMailTime = platform::Now() - std::chrono::hours(24);
    zelExcept::RegisterExceptionHandler(
        zelExcept::MethodKey(this, &TFrmSMTP::ErrorMailEvent),
        [this](zelExcept::TAction action, const zelExcept::THandlerInfo&, std::string& report, std::string&,
               bool& handled) { ErrorMailEvent(action, report, handled); },
        zelExcept::smMainOrExceptionThread);

    smtpPort_ = servers::ListenPortFromText(mailsettings::Read(ProgramDir, {}, std::string()).smtpLocalPort,
                                            settings::kDefaultSmtpPort);
    OpenSmtpServer(smtpPort_);

    // Saving the settings re-opens the server only when its port changed.
    setup::hooks.smtpServerPort = [this] { return SMTPServer.Active() ? smtpPort_ : 0; };
    setup::hooks.reopenSmtpServer = [this](int port) { return OpenSmtpServer(port); };
    setup::crashSettings.smtpPort = smtpPort_;
    setup::ApplyCrashSettings();

    // Leftovers of a crash go before the queue records are checked, so that
    // the records of messages never taken go with them.
    for (const auto& name : smtp::RemoveCrashLeftovers())
        ServerLog("Removed " + name + ", left over from an interrupted run");
    if (FrmServers) FrmServers->RefreshMailCounts(false, false);
    DropStaleQueueRecords();
}

void TFrmSMTP::FormDestroy() {
    zelExcept::UnregisterExceptionHandler(zelExcept::MethodKey(this, &TFrmSMTP::ErrorMailEvent));
    if (setup::hooks.smtpServerPort) {
        setup::hooks.smtpServerPort = nullptr;
        setup::hooks.reopenSmtpServer = nullptr;
    }
    RetryTimer->stop();
    TimeOut->stop();
    DeliveryTimer->stop();
    // The sockets go with the object: their destructors drop the
    // connections without running events on an object that is gone.
}

bool TFrmSMTP::OpenSmtpServer(int port) {
    smtpPort_ = port;
    platform::OpenResult result = SMTPServer.Open(port, servers::BindAddress());
    if (result == platform::OpenResult::Ok) return true;
    const std::string why = result == platform::OpenResult::AddressInUse ? std::string("port in use")
                                                                         : SMTPServer.ErrorText();
    ServerLog("SMTP server not started on port " + std::to_string(port) + ": " + why);
    std::fprintf(stderr, "Tarnwick: SMTP server not started on port %d: %s\n", port, why.c_str());
    platform::MessageBox(smtp::SmtpPortInUseText(port), platform::MsgKind::Error, platform::MsgButtons::Ok);
    return false;
}

void TFrmSMTP::ErrorMailEvent(int action, const std::string& report, bool& handled) {
    if (action != 0) return;
    if (report.find("ESocketError") != std::string::npos) {
        handled = true;
        return;
    }
    const platform::SystemTime now = platform::Now();
    if (now - std::chrono::hours(1) > LastErrorMailTime) {
        LastErrorMailTime = now;
        return;
    }
    handled = true;
}
