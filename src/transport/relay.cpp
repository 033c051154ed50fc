// Relay client over the outgoing queue.
// Placeholder until the relay lands: nothing is sent and the run ends at
// once, which closes the cycle.
#include "transport/smtp.h"
#include "shell/main.h"

void TFrmSMTP::StartDelivery() { EndDeliveryRun(); }

void TFrmSMTP::EndDeliveryRun() {
    if (FrmMain) FrmMain->EndCycle();
}

bool TFrmSMTP::Delivering() const { return false; }
