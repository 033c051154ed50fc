// POP3 collector of the provider accounts.
// Placeholder until the collector lands: nothing to collect, so the cycle
// goes straight on to the relay run.
#include "transport/servers.h"
#include "transport/smtp.h"

void TFrmServers::StartPopCollection() {
    if (FrmSMTP) FrmSMTP->StartDelivery();
}

bool TFrmServers::Collecting() const { return false; }
