// New-mail alerts: a user's desktop is told the mailbox count over a plain
// TCP connection to the address of the user's last POP3 login. Alerts wait
// in TblAlert, one row per address (the latest text wins), and go out one at
// a time; a desktop that is dead, silent or never reads costs at most the
// connect timeout and never holds up the alerts behind it.
#include "transport/servers.h"

#include "platform/inifile.h"
#include "transport/settings_file.h"
#include "transport/desktops.h"
#include "transport/globals.h"
#include "transport/folder_index.h"
#include "transport/mail_settings.h"
#include "transport/store.h"

namespace servers {

std::string AlertText(const std::string& user, std::int64_t count) {
    if (count == 0) return "0";
    if (count == 1) return user + ",You have 1 message.";
    return user + ",You have " + std::to_string(count) + " messages.";
}

}  // namespace servers

namespace {

bool AlerterOn() { return mailsettings::Current()->alerterOn; }

int AlerterPort() { return mailsettings::Current()->alerterPort; }

// Moves the table to the row of the address; false when there is none.
bool FindAlert(TvdlMemTable& table, const std::string& address) {
    for (table.First(); !table.Eof(); table.Next())
        if (table.FieldByName("Address").AsString() == address) return true;
    return false;
}

}  // namespace

void TFrmServers::QueueNewMailAlert(const std::string& user) {
    if (!AlerterOn() || user.empty()) return;
    const std::string ini = settings::IniPath();
    std::string address = desktops::Address(ini, user);
    if (address.empty()) return;

    std::int64_t count = smtp::KeptFolder(smtp::FolderIn).CountUser(user).count;
    const std::int64_t announced = desktops::AnnouncedCount(ini, user);
    if (count == announced) return;
    desktops::SetAnnouncedCount(ini, user, count);

    if (!TblAlert.Active()) return;
    if (FindAlert(TblAlert, address)) TblAlert.Edit();
    else TblAlert.Append();
    TblAlert.FieldByName("Address").SetAsString(address);
    TblAlert.FieldByName("Message").SetAsString(servers::AlertText(user, count));
    TblAlert.Post();
    SendQueuedAlerts();
}

void TFrmServers::SendQueuedAlerts() {
    if (!alertInFlight_.empty()) return;  // its end sends the next
    if (!AlerterOn() || !TblAlert.Active() || TblAlert.IsEmpty()) return;
    TblAlert.First();
    alertInFlight_ = TblAlert.FieldByName("Address").AsString();
    if (alertInFlight_.empty()) {
        TblAlert.Delete();
        SendQueuedAlerts();
        return;
    }
    AlertSocket.Abort();
    AlertSocket.SetHost("");
    AlertSocket.SetAddress(alertInFlight_);
    AlertSocket.SetPort(AlerterPort());
    AlertSocket.SetConnectTimeout(AlertConnectTimeoutMs);
    AlertSocket.Open();
}

void TFrmServers::AlertSocketConnect() {
    // The row may have been replaced by a later text meanwhile; that text
    // is the one to send.
    if (TblAlert.Active() && FindAlert(TblAlert, alertInFlight_)) {
        AlertSocket.SendText(TblAlert.FieldByName("Message").AsString());
        TblAlert.Delete();
    }
    // The desktop only listens; closing once the text is out means a peer
    // that never reads or never closes cannot hold the socket.
    AlertSocket.Close();
    FinishAlert();
}

void TFrmServers::AlertSocketDisconnect() { FinishAlert(); }

void TFrmServers::AlertSocketError(int code) {
    (void)code;
    // A desktop that is not there loses this alert; the others go on.
    if (TblAlert.Active() && FindAlert(TblAlert, alertInFlight_)) TblAlert.Delete();
    FinishAlert();
}

void TFrmServers::FinishAlert() {
    alertInFlight_.clear();
    SendQueuedAlerts();
}
