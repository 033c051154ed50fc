// The filters' calls into what the program shows, in one place.
#include "filters/shown.h"

#include "platform/dialogs.h"
#include "transport/globals.h"
#include "transport/logfile.h"
#include "transport/servers.h"

namespace filters {

void LogLine(const std::string& logName, const std::string& line) { procs::WriteLog(ProgramDir + logName, line); }

void MailCountsChanged() {
    if (FrmServers != nullptr) FrmServers->RefreshMailCounts(false);
}

void NewMail(const std::string& user) {
    if (FrmServers != nullptr) FrmServers->QueueNewMailAlert(user);
}

void Warn(const std::string& text) {
    platform::MessageBox(text, platform::MsgKind::Warning, platform::MsgButtons::Ok);
}

}  // namespace filters
