// POP3 collector of the provider accounts.
// Placeholder until the collector lands: nothing to collect, so the cycle
// goes straight on to the relay run.
#include "transport/servers.h"
#include "transport/smtp.h"

void TFrmServers::StartPopCollection() {
    if (FrmSMTP) FrmSMTP->StartDelivery();
}

bool TFrmServers::Collecting() const { return false; }
void TFrmServers::ConnectNextAccount() {}
void TFrmServers::POPClientConnect() {}
void TFrmServers::POPClientRead() {}
void TFrmServers::POPClientDisconnect() {}
void TFrmServers::POPClientError(int) {}
void TFrmServers::TimeOutTimerTimer() {}
void TFrmServers::NextAccountTimerTimer() {}
void TFrmServers::ClearUIDL(const std::string&) {}
bool TFrmServers::HasDownloaded(const std::string&) { return false; }
void TFrmServers::CloseTempFile() {}
