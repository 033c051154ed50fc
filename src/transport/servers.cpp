// Invisible window that owns the POP3 side of mail transport.
#include "transport/servers.h"

TFrmServers* FrmServers = nullptr;

TFrmServers::TFrmServers(QWidget* parent) : QDialog(parent) {}
